// Wall-clock stopwatch: start and stop times from gettimeofday, differences
// from the low 32 bits of each field,
//   s = (int32)(stop.sec - start.sec),  u = (int32)(stop.usec - start.usec),
//   secDiff = s + u 1e-6,  msecDiff = s 1e3 + u 1e-3,  usecDiff = s 1e6 + u.
// The microsecond difference may be negative (stop in an earlier fraction of
// a second than start); the sum with the seconds takes care of it.
#include "timer.h"

#include <sys/time.h>

Timer timer;

// Current wall-clock time; gettimeofday with no time zone cannot fail with a
// valid pointer.
static wall_time now_wall()
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    wall_time w;
    w.tv_sec = static_cast<int64_t>(tv.tv_sec);
    w.tv_usec = static_cast<int64_t>(tv.tv_usec);
    return w;
}

// b - a on the low 32 bits, as a signed 32-bit value. The subtraction is done
// unsigned, where wrapping is defined, and reinterpreted as two's complement.
static int32_t diff32(int64_t a, int64_t b)
{
    uint32_t d = static_cast<uint32_t>(b) - static_cast<uint32_t>(a);
    return static_cast<int32_t>(d);
}

Timer::Timer() : started(false), stopped(false), start_time(), stop_time() {}

void Timer::start()
{
    started = true;
    start_time = now_wall();
}

void Timer::stop()
{
    stopped = true;
    stop_time = now_wall();
}

void Timer::diffParts(double* s, double* u) const
{
    *s = static_cast<double>(diff32(start_time.tv_sec, stop_time.tv_sec));
    *u = static_cast<double>(diff32(start_time.tv_usec, stop_time.tv_usec));
}

double Timer::secDiff() const
{
    if (!started || !stopped) return 0.0;
    double s, u;
    diffParts(&s, &u);
    return s + u * 1e-6;
}

double Timer::msecDiff() const
{
    if (!started || !stopped) return 0.0;
    double s, u;
    diffParts(&s, &u);
    return s * 1000.0 + u * 0.001;
}

double Timer::usecDiff() const
{
    if (!started || !stopped) return 0.0;
    double s, u;
    diffParts(&s, &u);
    return s * 1000000.0 + u;
}
