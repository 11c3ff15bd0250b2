// Waiting for results without taking a core from the workers and without
// keeping them waiting.
//
// Open MPI's blocking receive polls in a busy loop, so a master that only
// waits would take a whole core from the workers when the node runs one
// worker per core next to it. The master instead posts a non-blocking
// receive for a result message (and, where workers read the raw files, one
// for a read failure) and tests it. (A matched probe would do with one
// receive, but Open MPI answers it more slowly: with one worker that cost a
// quarter of the throughput.) A fixed pause between tests trades one cost
// for the other: a
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

#include "mpi/result_wait.h"

#include <sched.h>
#include <sys/prctl.h>
#include <time.h>

#include <chrono>

#include "mpi/protocol.h"

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

ResultWait::ResultWait(int most_doubles, bool failures)
    : results_(static_cast<size_t>(most_doubles)), failure_text_(kReadFailureChars),
      kinds_(failures ? 2 : 1)
{
    // The slack belongs to the thread; rank 0 waits on one thread only.
    prctl(PR_SET_TIMERSLACK, kTimerSlackNs, 0, 0, 0);
}

ResultWait::~ResultWait()
{
    for (MPI_Request& r : requests_) {
        if (r == MPI_REQUEST_NULL) continue;
        MPI_Cancel(&r);
        MPI_Wait(&r, MPI_STATUS_IGNORE);
    }
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

int ResultWait::receive(double const** results, std::string* failure, MPI_Status* status)
{
    if (requests_[0] == MPI_REQUEST_NULL)
        MPI_Irecv(results_.data(), static_cast<int>(results_.size()), MPI_DOUBLE, MPI_ANY_SOURCE,
                  kWorkTag, MPI_COMM_WORLD, &requests_[0]);
    if (kinds_ == 2 && requests_[1] == MPI_REQUEST_NULL)
        MPI_Irecv(failure_text_.data(), kReadFailureChars, MPI_CHAR, MPI_ANY_SOURCE,
                  kReadFailureTag, MPI_COMM_WORLD, &requests_[1]);
    int which = MPI_UNDEFINED;
    int done = 0;
    // The completed receive is freed by the test; the other stays posted.
    // Without read failures there is one receive, and MPI_Test answers
    // sooner than MPI_Testany.
    auto test = [&]() {
        if (kinds_ == 2) {
            MPI_Testany(2, requests_, &which, &done, status);
        } else {
            which = 0;
            MPI_Test(&requests_[0], &done, status);
        }
    };
    auto finish = [&]() {
        if (which == 0) {
            *results = results_.data();
            return kWorkTag;
        }
        int n = 0;
        MPI_Get_count(status, MPI_CHAR, &n);
        failure->assign(failure_text_.data(), static_cast<size_t>(n));
        return kReadFailureTag;
    };
    test();
    if (done) {
        remember_wait(0);
        return finish();
    }
    const long start = now_ns();
    const long quickest = quickest_wait();
    const long first = quickest / 8 * 7;
    if (first > kSpinNs) sleep_until(start + first);
    // Spinning pays only where results come quickly; a long wait that has
    // outlasted its first sleep goes straight on to the pauses.
    const long spin_end = quickest < kSpinNs ? start + kSpinNs : 0;
    for (;;) {
        test();
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
    return finish();
}
