// Decay-constant calibration, its file half: reads each channel's decay
// list, prints what it does, writes the decay histogram and takes the
// estimate (physics/decay_estimate.h, a function of the values alone).
#include "run/calibrate.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "io/output_file.h"
#include "physics/decay_estimate.h"

namespace {

// Appends up to `capacity` values read with "%lf" to v, which grows with
// the list: the buffer is as large as the list, not as the number of events
// the sessions could have delivered (which may be a thousand times more).
// Reading ends at the end of the file, at an item that is not a number, or
// at a NaN, which "%lf" accepts but which has no place in a sorted list; the
// values before are kept. Infinities are kept: they sort to the ends and
// land in the tail bins. Returns 0, or 1 when memory for the values runs out.
int read_decay_list(FILE* f, std::vector<double>& v, int capacity)
{
    double x;
    try {
        while (static_cast<int>(v.size()) < capacity && std::fscanf(f, "%lf", &x) == 1) {
            if (std::isnan(x)) break;
            v.push_back(x);
        }
    } catch (const std::bad_alloc&) {
        return 1;
    }
    return 0;
}

// Writes the 250 lines "centre count" to `name`. A file that cannot be
// created or written is reported; the estimate does not depend on it.
// Returns 0, or 1 after the report.
int write_decay_histogram(const char* name, double lo, double step, const int* hist)
{
    char const* refusal = nullptr;
    FILE* f = open_output_file(name, OutputMode::kTruncate, &refusal);
    if (f == nullptr) {
        std::printf("Error: Cannot create decay histogram %s (%s)\n", name,
                    refusal ? refusal : std::strerror(errno));
        return 1;
    }
    bool ok = true;
    for (int k = 0; k < kDecayBins; ++k) {
        if (std::fprintf(f, "%.10f %d\n", static_cast<double>(k) * step + lo, hist[k]) < 0)
            ok = false;
    }
    if (std::fclose(f) != 0) ok = false;
    if (!ok) {
        std::printf("Error: Cannot write decay histogram %s\n", name);
        return 1;
    }
    return 0;
}

// The channel keeps its decay rate when the list gives no estimate; the reason has been printed
// by the caller in the same line. Returns 1.
int keep_estimate(int c, double decay)
{
    std::printf(", channel %d keeps decay_est %.10f\n", c, decay);
    return 1;
}

// One channel: v is the value buffer, shared by the channels so that it is
// allocated once for the longer list; at most `capacity` values are read.
// *decay keeps its value when the list gives no estimate. Returns 0, or 1
// when it did not give one or its histogram could not be written.
int calibrate_channel(int c, std::vector<double>& v, int capacity, double hist_overflow,
                      double* decay)
{
    v.clear();

    const std::string list = decay_list_name(c);
    const std::string histogram = decay_histogram_name(c);
    char const* list_name = list.c_str();
    char const* hist_name = histogram.c_str();

    FILE* f = std::fopen(list_name, "r");
    if (f == nullptr) {
        std::printf("Error: Cannot open decay list %s", list_name);
        return keep_estimate(c, *decay);
    }
    std::printf("Reading decayfile...\n");
    const int read_status = read_decay_list(f, v, capacity);
    std::fclose(f);
    if (read_status != 0) {
        std::printf("Error: Out of memory after %zu values of decay list %s", v.size(), list_name);
        return keep_estimate(c, *decay);
    }
    const int n = static_cast<int>(v.size());
    std::printf("Waveforms read: %d\n", n);
    if (n == 0) {
        std::printf("Error: Decay list %s holds no values", list_name);
        return keep_estimate(c, *decay);
    }
    std::printf("Sorting...\n");
    // No NaN is read, so the order is total and any correct sort gives the
    // same sequence.
    std::sort(v.begin(), v.end());

    const DecayEstimate e = estimate_decay(v, hist_overflow);
    if (!e.has_range) {
        std::printf("Error: Decay list %s gives no histogram range (lo %.10f, hi %.10f)",
                    list_name, e.lo, e.hi);
        return keep_estimate(c, *decay);
    }
    std::printf("Binning...\n");
    std::printf("Writing histograms...\n");
    int status = write_decay_histogram(hist_name, e.lo, e.step, e.hist);

    *decay = e.maximum;
    std::printf("Channel %d decay: %.10f    (maximum)\n", c, e.maximum);
    if (!e.has_vertex) {
        const int b = e.fullest;
        std::printf("Channel %d decay: %.10f    (maximum kept: counts %d %d %d of bins %d to %d"
                    " lie on a line, no parabolic vertex)\n",
                    c, e.maximum, e.hist[b - 1], e.hist[b], e.hist[b + 1], b - 1, b + 1);
        return status;
    }
    *decay = e.vertex;
    std::printf("Channel %d decay: %.10f    (parabolic)\n", c, e.vertex);
    return status;
}

}  // namespace

int calibrate(RunSettings const& settings, double decay[2])
{
    // The largest number of events the calibration sessions can deliver
    // bounds the length of a decay list (a longer one is read that far).
    // Indices are 32-bit, so more than INT_MAX values cannot be sorted
    // anyway. It limits the reading, it is not allocated.
    int64_t capacity = phase_events(settings, settings.calibration_sessions());
    if (capacity <= 0) {
        std::printf(
            "Error: No room for decay values (waveforms %d, calibration sessions %d to %d),"
            " decay_est kept at %.10f and %.10f\n",
            settings.waveforms, settings.start_cal_session, settings.stop_cal_session, decay[0],
            decay[1]);
        std::fflush(stdout);
        return 1;
    }
    if (capacity > INT_MAX) capacity = INT_MAX;

    std::vector<double> v;
    int status = 0;
    for (int c = 0; c < 2; ++c)
        status |=
            calibrate_channel(c, v, static_cast<int>(capacity), settings.hist_overflow, &decay[c]);
    // The processing phase runs long; show the estimates now.
    std::fflush(stdout);
    return status;
}
