// Progress report of the master loop.
//
// While a phase runs, rank 0 prints now and then one line that overwrites the
// previous one in place (it ends in a carriage return): the part of the phase
// done, the good-fit percentages so far, the rate in results per second and
// the estimated end time. The threshold `info_count` decides when the next
// line is due: the master loop asks for a report once the number of results
// received exceeds it, and every report moves it on by about
// `refresh_interval` seconds' worth of results at the current rate.
#ifndef ZORV_PROGRESS_H
#define ZORV_PROGRESS_H

#include <cstdint>
#include <cstdio>
#include <ctime>

#include "run/phase_counts.h"
#include "run/timer.h"

class ProgressReport {
public:
    // A phase of `phase_events` events, a line every `refresh_interval`
    // seconds' worth of results.
    ProgressReport(int64_t phase_events, double refresh_interval)
        : total_(phase_events), refresh_interval_(refresh_interval)
    {}

    // Starts the phase's stopwatch.
    void start() { timer_.start(); }
    Timer& timer() { return timer_; }

    // True when `received` results (of this run) call for a line.
    bool due(int64_t received) const { return received > info_count_; }

    // Stops the stopwatch and, unless no time has passed, moves the
    // threshold on and prints the line for `counts` (the whole phase) and
    // `received` (the results of this run, which give the rate).
    void info(GoodFitCounts const& counts, int64_t received);

    // The part of info() after the stopwatch, for a given calendar time `now`
    // and `elapsed` seconds since the phase started. Returns 0 without
    // touching the threshold or `out` when elapsed is exactly 0.0; otherwise
    // moves the threshold on, writes the line to `out`, flushes it and
    // returns 1.
    int report(FILE* out, GoodFitCounts const& counts, int64_t received, time_t now,
               double elapsed);

    int info_count() const { return info_count_; }
    void set_info_count(int n) { info_count_ = n; }

private:
    int64_t total_;
    double refresh_interval_;
    int info_count_ = 200;  // the first line comes after 200 results
    Timer timer_;
};

// Before the next output after a progress line: on a terminal, clears the
// rest of that line so that shorter text does not leave its tail standing
// ("\x1b[K"); to a file or a pipe it writes nothing.
void end_progress_line();

#endif
