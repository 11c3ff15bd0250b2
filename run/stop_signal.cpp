// Signal handlers that only record the signal.

#include "run/stop_signal.h"

#include <csignal>
#include <cstdio>
#include <initializer_list>

namespace {

// The first stop signal names the stop; a SIGTERM or SIGINT at any time
// means that the launcher is taking the job down.
volatile std::sig_atomic_t caught = 0;
volatile std::sig_atomic_t final_seen = 0;

bool is_final(int signo)
{
    return signo == SIGTERM || signo == SIGINT;
}

extern "C" void note_signal(int signo)
{
    if (caught == 0) caught = signo;
    if (is_final(signo)) final_seen = 1;
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
    final_seen = is_final(signo) ? 1 : 0;
}

bool stop_is_final()
{
    return final_seen != 0;
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
