// zorv_event: raw events analysed exactly as a worker analyses them.
//
//   zorv_event [--traces] SESSION RECORD [SESSION RECORD ...]
//
// Run in a run folder, it reads zorv_mpi.ini and win.txt as a run does and,
// for an event of the processing phase, the calibrated decay rates the run
// held (from its summary, or from its checkpoint). It prints a JSON array,
// one object per event: its session, record and phase, and per channel what
// became of it (with the run summary's names), the peaks found, the 9
// numbers a result record holds (zeros when the channel was not fitted,
// printed so that they read back to the same doubles), the fit's standard
// errors and iterations, and with --traces the smoothed trace and the fitted
// model. The analysis is the worker's own code, so a fitted channel's numbers
// equal its record in the result file bit for bit.
//
// Messages go to standard error; the exit status is 0, 1 when the setup or
// an event cannot be read, 2 for a usage error.

#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fit/pulse_model.h"
#include "formats/record_format.h"
#include "formats/run_files.h"
#include "io/config.h"
#include "io/datafile.h"
#include "io/input_file.h"
#include "io/kernel_file.h"
#include "io/settings.h"
#include "physics/channel.h"
#include "physics/window.h"
#include "run/checkpoint.h"
#include "zorv_version.h"

namespace {

constexpr char kUsage[] =
    "Usage: zorv_event [--traces] SESSION RECORD [SESSION RECORD ...]\n"
    "Analyses raw events of the run in the current folder exactly as a zorv_mpi\n"
    "worker does, and prints a JSON array with one object per event.\n"
    "\n"
    "  --traces     also print each channel's smoothed trace and fitted model\n"
    "  --help       print this help and exit\n"
    "  --version    print the version and exit\n"
    "\n"
    "It reads zorv_mpi.ini, win.txt and the raw files; for the processing phase\n"
    "the calibrated decay rates from zorv_mpi.summary.json or zorv_mpi.checkpoint.\n"
    "Exit status: 0 success, 1 a file or an event cannot be read, 2 usage error.\n";

// Runs fn with standard output set aside: the configuration reader echoes
// the file on standard output, which here holds the JSON. What it printed
// goes to standard error when fn fails, so that the message is seen.
template <typename Fn>
int quietly(Fn fn)
{
    std::fflush(stdout);
    FILE* aside = std::tmpfile();
    const int saved = dup(1);
    if (aside) dup2(fileno(aside), 1);
    const int status = fn();
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    if (aside && status != 0) {
        std::rewind(aside);
        char chunk[4096];
        size_t n;
        while ((n = std::fread(chunk, 1, sizeof chunk, aside)) > 0) std::fwrite(chunk, 1, n, stderr);
    }
    if (aside) std::fclose(aside);
    return status;
}

std::string number(double v)
{
    if (!std::isfinite(v)) return "null";
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", v);
    return text;
}

std::string numbers(double const* v, int n)
{
    std::string out = "[";
    for (int i = 0; i < n; ++i) out += (i ? ", " : "") + number(v[i]);
    return out + "]";
}

// The decay rates the processing phase held: the run summary's, or the
// checkpoint's. False when neither has them.
bool calibrated_decay(double decay[2])
{
    if (FILE* f = std::fopen(kSummaryName, "r")) {
        std::string text;
        char chunk[4096];
        size_t n;
        while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) text.append(chunk, n);
        std::fclose(f);
        const size_t at = text.find("\"decay_rates\": [");
        if (at != std::string::npos &&
            std::sscanf(text.c_str() + at, "\"decay_rates\": [%lf, %lf]", &decay[0], &decay[1]) == 2)
            return true;
    }
    Checkpoint cp;
    if (quietly([&] { return read_checkpoint(&cp) == 0 ? 0 : 1; }) == 0 && cp.calibrated) {
        decay[0] = cp.decay[0];
        decay[1] = cp.decay[1];
        return true;
    }
    return false;
}

bool in(SessionRange r, long long session)
{
    return session >= r.first && session <= r.last;
}

// Reads record `record` of session `session`'s raw file. False after a
// message.
bool read_raw_event(RunSettings const& s, long long session, long long record, int16_t* samples)
{
    const std::string name = raw_file_name(s.infile_path, session);
    char const* refusal = nullptr;
    FILE* f = open_input_file(name.c_str(), "rb", &refusal);
    if (!f) {
        std::fprintf(stderr, "zorv_event: cannot read raw file %s (%s)\n", name.c_str(),
                     refusal ? refusal : std::strerror(errno));
        return false;
    }
    const bool ok = record >= 0 && record < s.waveforms &&
                    seek_record(f, s.data_offset, static_cast<int>(record)) == 0 &&
                    read_event_record(f, samples) == 1;
    std::fclose(f);
    if (!ok)
        std::fprintf(stderr, "zorv_event: raw file %s holds no record %lld\n", name.c_str(), record);
    return ok;
}

std::string channel_json(int16_t const* samples, int c, ChannelSetup const& setup, bool traces)
{
    double block[kBlockDoubles] = {};
    ChannelDetail detail;
    const ChannelOutcome outcome = analyse_channel(samples, c, setup, block, &detail);
    std::string json = "{\"outcome\": \"" + std::string(outcome_key(outcome)) + "\", \"peaks\": " +
                       numbers(detail.positions, std::min(detail.peaks, kMaxPeaks)) +
                       ", \"result\": " + numbers(block, kBlockDoubles) +
                       ", \"standard_errors\": " + numbers(detail.standard_errors, 8) +
                       ", \"iterations\": " + std::to_string(detail.iterations);
    if (traces) {
        std::vector<double> model(kSamples, 0.0);
        if (outcome == ChannelOutcome::kFitted || outcome == ChannelOutcome::kNoResiduals) {
            double p[8];
            std::copy(block + 1, block + 9, p);
            for (int k = 0; k < kSamples; ++k) model[static_cast<size_t>(k)] = zorv_fit::f(k, p);
        }
        json += ", \"smoothed\": " + numbers(detail.trace, kSamples) +
                ", \"model\": " + numbers(model.data(), kSamples);
    }
    return json + "}";
}

}  // namespace

int main(int argc, char** argv)
{
    bool traces = false;
    std::vector<long long> pairs;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--version") {
            std::printf("zorv_event %s\n", ZORV_VERSION);
            return 0;
        }
        if (arg == "--traces") {
            traces = true;
            continue;
        }
        char* end = nullptr;
        errno = 0;
        const long long v = std::strtoll(argv[i], &end, 10);
        if (arg.empty() || *end != '\0' || errno != 0) {
            std::fprintf(stderr, "zorv_event: '%s' is not a whole number\n%s", argv[i], kUsage);
            return 2;
        }
        pairs.push_back(v);
    }
    if (pairs.empty() || pairs.size() % 2 != 0) {
        std::fprintf(stderr, "zorv_event: give a session and a record for each event\n%s", kUsage);
        return 2;
    }

    RunSettings settings;
    double kernel[kMaxKernel];
    int count = 0;
    if (quietly([&] {
            return read_kernel_file(kKernelName, kernel, kMaxKernel, &count) == 0 &&
                           initialize(&settings) == 0 && validate_config(settings) == 0
                       ? 0
                       : 1;
        }))
        return 1;
    const SmoothingWindow window(kernel, count);
    double held[2] = {0.0, 0.0};
    const bool calibrated = calibrated_decay(held);

    std::vector<int16_t> samples(kRecordShorts);
    std::string out = "[";
    for (size_t i = 0; i < pairs.size(); i += 2) {
        const long long session = pairs[i], record = pairs[i + 1];
        // A session of both ranges belongs to the processing phase once the
        // run has calibrated.
        const bool processing = in(settings.processing_sessions(), session) &&
                                (calibrated || !in(settings.calibration_sessions(), session));
        if (!processing && !in(settings.calibration_sessions(), session)) {
            std::fprintf(stderr, "zorv_event: session %lld is in neither phase's sessions\n",
                         session);
            return 1;
        }
        if (processing && !calibrated) {
            std::fprintf(stderr,
                         "zorv_event: the decay rates the processing phase holds are not known "
                         "yet (neither %s nor %s has them)\n",
                         kSummaryName, kCheckpointName);
            return 1;
        }
        if (!read_raw_event(settings, session, record, samples.data())) return 1;
        double const* decay = processing ? held : settings.decay_est;
        const EventSetup setup = make_event_setup(window, settings.bcg_est, decay, processing);
        out += std::string(i ? ",\n " : "") + "{\"session\": " + std::to_string(session) +
               ", \"record\": " + std::to_string(record) + ", \"phase\": \"" +
               phase_name(processing ? Phase::kProcessing : Phase::kCalibration) +
               "\", \"channels\": [" + channel_json(samples.data(), 0, setup.channel[0], traces) +
               ", " + channel_json(samples.data(), 1, setup.channel[1], traces) + "]}";
    }
    out += "]\n";
    std::fputs(out.c_str(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}
