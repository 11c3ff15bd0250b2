// Signal handlers that only record the signal.

#include "stop_signal.h"

#include <csignal>
#include <cstdio>
#include <initializer_list>

namespace {

volatile std::sig_atomic_t caught = 0;

extern "C" void note_signal(int signo)
{
    caught = signo;
}

}  // namespace

void install_stop_handlers()
{
    struct sigaction action = {};
    action.sa_handler = note_signal;
    sigemptyset(&action.sa_mask);
    // SA_RESTART: a read or write that the signal interrupts goes on, so no
    // file operation of the run has to deal with EINTR.
    action.sa_flags = SA_RESTART;
    for (int signo : {SIGTERM, SIGINT, SIGUSR1, SIGUSR2}) sigaction(signo, &action, nullptr);
    // A file-size limit (ulimit -f) would otherwise kill rank 0 in the middle
    // of a write; ignored, it is an ordinary write error that leaves the
    // outputs aligned.
    std::signal(SIGXFSZ, SIG_IGN);
}

int stop_signal()
{
    return caught;
}

void set_stop_signal(int signo)
{
    caught = signo;
}

bool stop_is_final()
{
    return caught == SIGTERM || caught == SIGINT;
}

char const* stop_signal_name()
{
    switch (caught) {
    case SIGTERM: return "SIGTERM";
    case SIGINT: return "SIGINT";
    case SIGUSR1: return "SIGUSR1";
    case SIGUSR2: return "SIGUSR2";
    }
    static char text[32];
    std::snprintf(text, sizeof text, "signal %d", static_cast<int>(caught));
    return text;
}
