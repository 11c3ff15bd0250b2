// Graceful stop on a signal.
//
// A batch system ends a job by a signal: Open MPI's mpiexec forwards SIGUSR1
// and SIGUSR2 to every rank and lets the job go on, and passes SIGTERM (also
// for its own SIGINT) to every rank before it kills them about a second
// later. None of these should cost the work already done, so every rank
// catches all four and only notes which one came; rank 0 turns that into a
// clean stop between two results (stop handing out events, collect the ones
// in flight, write them, checkpoint), and a worker finishes the event in
// hand as if nothing had happened.
#ifndef ZORV_STOP_SIGNAL_H
#define ZORV_STOP_SIGNAL_H

// Exit status of every rank after a graceful stop: the run is incomplete but
// resumable. 75 is EX_TEMPFAIL of <sysexits.h>, "try again later".
constexpr int kStoppedStatus = 75;

// Catches SIGTERM, SIGINT, SIGUSR1 and SIGUSR2 for the rest of the process,
// and ignores SIGXFSZ so that a file-size limit shows as a write error.
void install_stop_handlers();

// The first signal that asked for a stop, or 0 when none has come.
int stop_signal();

// Pretends that `signo` arrived (0 forgets it again); for tests.
void set_stop_signal(int signo);

// True when the launcher is about to kill the job: after SIGTERM or SIGINT
// (whether it came first or after another stop signal) there is no time for
// the launcher's own shutdown handshake, only for our files.
bool stop_is_final();

// "SIGTERM", "SIGINT", "SIGUSR1", "SIGUSR2", or "signal N".
char const* stop_signal_name();

#endif
