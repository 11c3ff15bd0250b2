// Waiting for results without taking a core from the workers and without
// keeping them waiting.
//
// Open MPI's blocking receive polls in a busy loop, so a master that only
// waits would take a whole core from the workers when the node runs one
// worker per core next to it. The master instead posts a non-blocking receive
// and tests it. A fixed pause between tests trades one cost for the other: a
// long one delays every result by up to a pause (with one worker, every
// event), a short one wakes the master so often that it might as well spin,
// for a sleep and a wake-up cost some microseconds of CPU each (on a virtual
// machine over ten). So the wait follows the waits themselves:
//   - results rarely come sooner than the quickest of the recent waits (one
//     quicker than all of the last 16): the master sleeps through seven
//     eighths of that in one go;
//   - where results come within microseconds (the quickest recent wait is
//     below 30 us), it tests for 30 us without sleeping, yielding the core to
//     anything else that wants it: a sleep and a wake-up would cost more
//     than the wait (with quiet events every result comes this way);
//   - then it tests with pauses of a sixteenth of the time waited so far,
//     between 10 and 50 microseconds: a late result waits at most 50 us, and
//     a long wait costs a wake-up every 50 us at most.
// Sleeps are absolute deadlines with a timer slack of 1 us (the kernel's
// default of 50 us would stretch every short pause). A signal that interrupts
// a sleep only brings the next test forward; no signal is blocked.

#include "result_wait.h"

#include <sched.h>
#include <sys/prctl.h>
#include <time.h>

#include <chrono>

#include "protocol.h"

namespace {

constexpr long kSpinNs = 30000;       // testing without sleeping, after the first sleep
constexpr long kMinPauseNs = 10000;   // shortest pause between two tests after that
constexpr long kMaxPauseNs = 50000;   // longest pause: the most a late result waits
constexpr long kTimerSlackNs = 1000;  // how late the kernel may wake us

// Nanoseconds on the steady clock, which is CLOCK_MONOTONIC on Linux: the
// clock that clock_nanosleep below sleeps on.
long now_ns()
{
    return static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                 std::chrono::steady_clock::now().time_since_epoch())
                                 .count());
}

// Sleeps until the monotonic clock reads deadline, or until a signal.
void sleep_until(long deadline)
{
    const timespec t = {deadline / 1000000000L, deadline % 1000000000L};
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr);
}

}  // namespace

ResultWait::ResultWait()
{
    // The slack belongs to the thread; rank 0 waits on one thread only.
    prctl(PR_SET_TIMERSLACK, kTimerSlackNs, 0, 0, 0);
}

// The quickest of the remembered waits; 0 before any.
long ResultWait::quickest_wait() const
{
    const int n = waits_seen_ < kHistory ? waits_seen_ : kHistory;
    long q = n > 0 ? recent_waits_[0] : 0;
    for (int i = 1; i < n; ++i)
        if (recent_waits_[i] < q) q = recent_waits_[i];
    return q;
}

void ResultWait::remember_wait(long ns)
{
    recent_waits_[waits_seen_ % kHistory] = ns;
    ++waits_seen_;
}

void ResultWait::receive(double* buffer, int count, MPI_Status* status)
{
    MPI_Request request;
    MPI_Irecv(buffer, count, MPI_DOUBLE, MPI_ANY_SOURCE, kWorkTag, MPI_COMM_WORLD, &request);
    int done = 0;
    MPI_Test(&request, &done, status);
    if (done) {
        remember_wait(0);
        return;
    }
    const long start = now_ns();
    const long quickest = quickest_wait();
    const long first = quickest / 8 * 7;
    if (first > kSpinNs) sleep_until(start + first);
    // Spinning pays only where results come quickly; a long wait that has
    // outlasted its first sleep goes straight on to the pauses.
    const long spin_end = quickest < kSpinNs ? start + kSpinNs : 0;
    for (;;) {
        MPI_Test(&request, &done, status);
        if (done) break;
        const long t = now_ns();
        if (t < spin_end) {
            sched_yield();
            continue;
        }
        long pause = (t - start) / 16;
        if (pause < kMinPauseNs) pause = kMinPauseNs;
        if (pause > kMaxPauseNs) pause = kMaxPauseNs;
        sleep_until(t + pause);
    }
    remember_wait(now_ns() - start);
}
