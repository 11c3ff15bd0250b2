// Stopwatch of a phase.
//
// A Timer remembers the time of its last start() and of its last stop() on
// the steady clock, which no change of the system's date can move; the *Diff
// methods return the time between the two.
#ifndef ZORV_TIMER_H
#define ZORV_TIMER_H

#include <chrono>

class Timer {
public:
    using Clock = std::chrono::steady_clock;

    void start() { start_at(Clock::now()); }
    // Starts as if start() had been called at t.
    void start_at(Clock::time_point t)
    {
        start_time_ = t;
        started_ = true;
    }
    // May be called any number of times; each call measures anew from the
    // last start().
    void stop()
    {
        stop_time_ = Clock::now();
        stopped_ = true;
    }

    bool started() const { return started_; }
    bool stopped() const { return stopped_; }

    // Time from the last start() to the last stop(); 0.0 unless both were
    // called.
    double secDiff() const { return diff<std::ratio<1>>(); }
    double msecDiff() const { return diff<std::milli>(); }
    double usecDiff() const { return diff<std::micro>(); }

private:
    template <class Unit>
    double diff() const
    {
        if (!started_ || !stopped_) return 0.0;
        return std::chrono::duration<double, Unit>(stop_time_ - start_time_).count();
    }

    bool started_ = false;
    bool stopped_ = false;
    Clock::time_point start_time_;
    Clock::time_point stop_time_;
};

// Seconds on the steady clock since an arbitrary fixed point: for deadlines
// and waits within one process.
inline double monotonic_seconds()
{
    return std::chrono::duration<double>(Timer::Clock::now().time_since_epoch()).count();
}

#endif
