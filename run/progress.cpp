// Progress line of the master loop.
//
//   rate       = received / elapsed                     (results per second)
//   info_count = trunc(info_count + trunc(rate) * refresh_interval)
//   end        = trunc(now + (total - counter_all) / rate)
//
// with total the events of the phase, and the line
//   "Done: %3.1f%%, Good waveforms: %3.1f%% %3.1f%%, All %3.1f%%,
//    Waveforms per second: %4.1f, Estimated time <ctime(end), 24 chars>\r"
// with the percentages of total, and of counter_all for the good fits.
// counter_all counts the whole phase, also what a run before an interruption
// did; the rate counts only the results of this run since the phase (re)started,
// which in an uninterrupted phase are the same.
#include "run/progress.h"

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

// A progress line is on the screen and the cursor stands at its start. The
// console is one per process, and so is this.
static bool line_open = false;

// Length of a ctime text without its line break.
constexpr int kTimeText = 24;

// info_count + t * refresh_interval, truncated toward zero. The sum is clamped
// to the int range: a huge rate times a long interval must not overflow the
// conversion, it only means "no report for a very long time".
static int next_threshold(int count, double t, double interval)
{
    double v = static_cast<double>(count) + t * interval;
    if (std::isnan(v)) return count;
    if (v >= static_cast<double>(INT_MAX)) return INT_MAX;
    if (v <= static_cast<double>(INT_MIN)) return INT_MIN;
    return static_cast<int>(v);
}

// The 24-character local-time text of calendar time t (double seconds,
// truncated toward zero). Before any result has arrived the rate is 0 and t
// is infinite; a time that ctime cannot render gives "unknown" padded to the
// same width, so the line keeps its layout.
static void end_time_text(double t, char text[kTimeText + 1])
{
    const char* unknown = "unknown                 ";
    std::strcpy(text, unknown);
    // Up to the year 5000 or so: far beyond any run, within every ctime.
    if (!std::isfinite(t) || std::fabs(t) > 1e11) return;
    time_t end = static_cast<time_t>(t);
    const char* s = std::ctime(&end);
    if (s == nullptr || std::strlen(s) < static_cast<size_t>(kTimeText)) return;
    std::memcpy(text, s, kTimeText);  // drop the line break
    text[kTimeText] = '\0';
}

int ProgressReport::report(FILE* out, GoodFitCounts const& counts, int64_t received, time_t now,
                           double elapsed)
{
    if (elapsed == 0.0) return 0;

    const double all = static_cast<double>(counts.counter_all);
    const double rate = static_cast<double>(received) / elapsed;

    info_count_ = next_threshold(info_count_, std::trunc(rate), refresh_interval_);

    const double dtotal = static_cast<double>(total_);

    char when[kTimeText + 1];
    end_time_text(static_cast<double>(now) + (dtotal - all) / rate, when);

    std::fprintf(out, "Done: %3.1f%%, Good waveforms:", 100.0 * all / dtotal);
    std::fprintf(out, " %3.1f%%", 100.0 * static_cast<double>(counts.nbr_ok[0]) / all);
    std::fprintf(out, " %3.1f%%", 100.0 * static_cast<double>(counts.nbr_ok[1]) / all);
    std::fprintf(out, ", All %3.1f%%, Waveforms per second: %4.1f, Estimated time %s\r",
                 100.0 * static_cast<double>(counts.nbr_all_ok) / all, rate, when);
    std::fflush(out);
    if (out == stdout) line_open = true;
    return 1;
}

// True when what rank 0 prints ends up on a terminal. Open MPI hands every
// rank a pseudo-terminal of its own whatever the launcher's output is, so
// the rank's own descriptor says little: what counts is the standard output
// of the launcher, the first ancestor (past wrappers such as time(1) that
// share the rank's terminal) whose standard output is another device.
static bool output_is_terminal()
{
    struct stat own;
    if (!isatty(STDOUT_FILENO) || fstat(STDOUT_FILENO, &own) != 0) return false;
    pid_t pid = getppid();
    for (int depth = 0; depth < 8 && pid > 1; ++depth) {
        char path[64];
        std::snprintf(path, sizeof path, "/proc/%d/fd/1", static_cast<int>(pid));
        struct stat theirs;
        if (stat(path, &theirs) != 0) return false;
        if (!S_ISCHR(theirs.st_mode) || theirs.st_rdev != own.st_rdev) {
            char target[256];
            const ssize_t n = readlink(path, target, sizeof target - 1);
            if (n <= 0) return false;
            target[n] = '\0';
            return std::strncmp(target, "/dev/pts/", 9) == 0 ||
                   std::strncmp(target, "/dev/tty", 8) == 0;
        }
        // The same terminal as ours: a wrapper between the launcher and us.
        std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
        FILE* f = std::fopen(path, "r");
        if (!f) return false;
        char line[512];
        const bool got = std::fgets(line, sizeof line, f) != nullptr;
        std::fclose(f);
        char const* close = got ? std::strrchr(line, ')') : nullptr;
        int parent = 0;
        if (!close || std::sscanf(close + 1, " %*c %d", &parent) != 1) return false;
        pid = parent;
    }
    return false;
}

void end_progress_line()
{
    // Only a terminal shows the overwritten text; a log file or a pipe keeps
    // its bytes exactly as they were.
    if (line_open && output_is_terminal()) std::fputs("\x1b[K", stdout);
    line_open = false;
}

void ProgressReport::info(GoodFitCounts const& counts, int64_t received)
{
    timer_.stop();
    time_t now = std::time(nullptr);
    if (!timer_.started()) return;
    report(stdout, counts, received, now, timer_.secDiff());
}
