// Progress report of the master loop.
//
// While a phase runs, rank 0 prints now and then one line that overwrites the
// previous one in place (it ends in a carriage return): the part of the phase
// done, the good-fit percentages so far, the rate in results per second and
// the estimated end time. `info_count` decides when the next line is due: the
// master loop calls info() once the number of results received exceeds it,
// and every report moves it on by about `refresh_interval` seconds' worth of
// results at the current rate.
#ifndef ZORV_PROGRESS_H
#define ZORV_PROGRESS_H

#include <cstdio>
#include <ctime>

// Report for the phase over the sessions first .. last (inclusive): stops the
// global `timer`, and unless it was never started or no time has passed,
// moves `info_count` on and prints the progress line to standard output.
void info(int first, int last);

// The part of info() after the stopwatch, for a given calendar time `now` and
// `elapsed` seconds since the phase started. Returns 0 without touching
// `info_count` or `out` when elapsed is exactly 0.0; otherwise moves
// `info_count` on, writes the line to `out`, flushes it and returns 1.
int info_report(FILE* out, int first, int last, time_t now, double elapsed);

// Before the next output after a progress line: on a terminal, clears the
// rest of that line so that shorter text does not leave its tail standing
// ("\x1b[K"); to a file or a pipe it writes nothing.
void end_progress_line();

#endif
