// Wall-clock stopwatch.
//
// A Timer remembers the wall-clock time of its last start() and of its last
// stop(); the *Diff methods return the time between the two. The global
// `timer` measures the current phase of the run: the master loop starts it,
// and every progress report stops it and reads the seconds since the start.
//
// The difference arithmetic works on the low 32 bits of the seconds and of
// the microseconds, each subtracted as a 32-bit signed integer. A run lasts
// hours, not decades: the 32-bit difference is exact for any interval below
// about 68 years, even when the low word of the seconds wraps in between.
#ifndef ZORV_TIMER_H
#define ZORV_TIMER_H

#include <cstdint>

// Seconds and microseconds as gettimeofday fills them, kept as 64-bit
// integers whatever the width of time_t and suseconds_t on the platform.
struct wall_time {
    int64_t tv_sec;
    int64_t tv_usec;
};

class Timer {
public:
    // Public so that tests (and nothing else) can set the two times directly.
    bool started;         // start() was called at least once
    bool stopped;         // stop() was called at least once
    wall_time start_time; // time of the last start()
    wall_time stop_time;  // time of the last stop()

    // Both flags cleared; the times are not set.
    Timer();

    void start();
    // May be called any number of times; each call measures anew from the
    // last start().
    void stop();

    // Time from start_time to stop_time; 0.0 unless both flags are set.
    double secDiff() const;
    double msecDiff() const;
    double usecDiff() const;

private:
    // s and u: the second and microsecond differences (stop minus start),
    // each a 32-bit signed difference of the low 32 bits.
    void diffParts(double* s, double* u) const;
};

// Stopwatch of the current phase.
extern Timer timer;

#endif
