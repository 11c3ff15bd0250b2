// zorv_mpi end to end, with three ranks, on raw files in which half the
// channels are made to produce NaN or infinity if anything lets it through:
// samples at the ends of the 16-bit range, all-equal samples, random bytes,
// alternating extremes, spikes, clipped pulses, pulses with a sample torn
// out. The run must finish cleanly, every record written must be finite, the
// four output files must agree record for record, and every event must be
// accounted for: the records and the summary are checked against the same
// analysis done here, in-process, event by event.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "physics/channel.h"
#include "io/kernel_file.h"
#include "io/settings.h"
#include "physics/test_hardening_traces.h"
#include "test_rng.h"
#include "test_util.h"
#include "physics/window.h"

namespace {

constexpr int kEvents = 400;
constexpr double kDecayStart[2] = {-0.0013, -0.0017};
constexpr double kBcg = -24000.0;

struct Session {
    std::vector<std::vector<int16_t>> records;
    std::vector<bool> troubled;  // a channel other than ordinary pulses
};

Session write_session(std::string const& name, uint64_t seed)
{
    Rng rng(seed);
    Session s;
    for (int e = 0; e < kEvents; ++e) {
        int a = draw_trace_kind(rng);
        int b = draw_trace_kind(rng);
        s.records.push_back(hardening_event(a, b, rng));
        s.troubled.push_back(a > kTwoPulses || b > kTwoPulses);
    }
    write_raw_file(name, 12, s.records);
    return s;
}

void write_setup()
{
    ASSERT_TRUE(write_text("win.txt", read_text(ZORV_SOURCE_DIR "/examples/win.txt")));
    char ini[1024];
    std::snprintf(ini, sizeof ini,
                  "infile_path = \"raw\"\n"
                  "abfile_path = \"ab\"\n"
                  "waveforms = %d\n"
                  "data_offset = 12\n"
                  "hist_overflow = 0.05\n"
                  "refresh_interval = 5\n"
                  "cal_sessions = 1 1\n"
                  "sessions = 2 2\n"
                  "decay_est = %.17g %.17g\n"
                  "bcg_est = %.17g %.17g\n",
                  kEvents, kDecayStart[0], kDecayStart[1], kBcg, kBcg);
    ASSERT_TRUE(write_text("zorv_mpi.ini", ini));
}

// What the workers of one phase answer, worked out here with the same code.
struct PhaseAnswers {
    int good[2] = {0, 0};
    int both = 0;
    int troubled = 0;  // of `both`, events with a troublesome channel
    // Per event good in both channels: its 18 doubles, then what each
    // channel's precision record must hold (the fit's iterations and
    // standard errors, as the fit reports them).
    std::vector<std::vector<double>> pairs;
};

PhaseAnswers analyse_phase(Session const& session, double const* decay, int lock_decay)
{
    static double table[kMaxKernel];
    int count = 0;
    EXPECT_EQ(read_kernel_file("win.txt", table, kMaxKernel, &count), 0);
    static SmoothingWindow* kernel = nullptr;
    if (!kernel) kernel = new SmoothingWindow(table, count);

    const double baseline[2] = {kBcg, kBcg};
    const EventSetup setup = make_event_setup(*kernel, baseline, decay, lock_decay == 1);

    PhaseAnswers phase;
    for (size_t e = 0; e < session.records.size(); ++e) {
        std::vector<double> result(18, 0.0);
        analyse_event(session.records[e].data(), setup, result.data());
        static ChannelDetail detail[2];
        for (int c = 0; c < 2; ++c) {
            double block[kBlockDoubles] = {};
            analyse_channel(session.records[e].data(), c, setup.channel[c], block, &detail[c]);
            result.push_back(detail[c].iterations);
            result.insert(result.end(), detail[c].standard_errors, detail[c].standard_errors + 8);
        }
        bool g0 = result[0] > 0.0, g1 = result[9] > 0.0;
        phase.good[0] += g0;
        phase.good[1] += g1;
        if (g0 && g1) {
            ++phase.both;
            phase.troubled += session.troubled[e];
            phase.pairs.push_back(result);
        }
    }
    std::sort(phase.pairs.begin(), phase.pairs.end());
    return phase;
}

bool finite_record(std::vector<double> const& r)
{
    for (double v : r)
        if (!std::isfinite(v)) return false;
    return true;
}

std::string decay_line(double v)
{
    char s[64];
    std::snprintf(s, sizeof s, "%.12f", v);
    return s;
}

}  // namespace

TEST(HardeningMpi, TroublesomeSamplesGiveFiniteRecordsAndLoseNothing)
{
    TempDir dir;
    write_setup();
    auto const cal = write_session("raw.1", 101);
    auto const proc = write_session("raw.2", 202);

    CommandResult r = run_mpi(3, ZORV_MPI_EXE, dir.path());
    std::string const& out = r.output;
    EXPECT_EQ(r.status, 0) << out;
    ASSERT_NE(out.find("Good waveforms:"), std::string::npos) << out;

    // Calibration phase: as many decay values as events good in both
    // channels, for each channel.
    PhaseAnswers expected_cal = analyse_phase(cal, kDecayStart, 0);
    ASSERT_GT(expected_cal.both, 10);
    EXPECT_EQ(count_of(out, "Waveforms read: " + std::to_string(expected_cal.both) + "\n"), 2)
        << out;

    // Processing phase: the six files agree record for record, and every
    // value written is finite, with a sum of squares above 0.
    auto ab0 = read_result_file("ab0.bin");
    auto ab1 = read_result_file("ab1.bin");
    auto err0 = read_result_file("ab0.err.bin");
    auto err1 = read_result_file("ab1.err.bin");
    ASSERT_EQ(err0.size(), ab0.size());
    ASSERT_EQ(err1.size(), ab0.size());
    auto decay0 = read_lines("decay0.txt");
    auto decay1 = read_lines("decay1.txt");
    ASSERT_EQ(ab0.size(), ab1.size());
    EXPECT_EQ(file_size("ab0.bin"), 72L * static_cast<long>(ab0.size()));
    EXPECT_EQ(file_size("ab1.bin"), 72L * static_cast<long>(ab1.size()));
    ASSERT_EQ(decay0.size(), ab0.size());
    ASSERT_EQ(decay1.size(), ab1.size());
    ASSERT_FALSE(ab0.empty());
    std::vector<std::vector<double>> pairs;
    for (size_t i = 0; i < ab0.size(); ++i) {
        EXPECT_TRUE(finite_record(ab0[i])) << "record " << i;
        EXPECT_TRUE(finite_record(ab1[i])) << "record " << i;
        EXPECT_GT(ab0[i][0], 0.0);
        EXPECT_GT(ab1[i][0], 0.0);
        EXPECT_EQ(decay0[i], decay_line(ab0[i][2])) << "record " << i;
        EXPECT_EQ(decay1[i], decay_line(ab1[i][2])) << "record " << i;
        EXPECT_GT(err0[i][0], 0.0) << "record " << i;
        EXPECT_EQ(err0[i][2], 0.0) << "record " << i;  // the decay rate is held
        std::vector<double> pair = ab0[i];
        for (auto const* r : {&ab1[i], &err0[i], &err1[i]}) pair.insert(pair.end(), r->begin(), r->end());
        pairs.push_back(pair);
    }

    // The decay rate is held at the calibrated value, so every record
    // carries it exactly; with it the phase can be worked out here.
    double const calibrated[2] = {ab0[0][2], ab1[0][2]};
    PhaseAnswers expected = analyse_phase(proc, calibrated, 1);

    // Nothing lost and nothing mixed up: the same records, each with its
    // fit's iterations and standard errors beside it, in any order.
    std::sort(pairs.begin(), pairs.end());
    EXPECT_EQ(static_cast<int>(pairs.size()), expected.both);
    EXPECT_TRUE(pairs == expected.pairs);

    // The summary counts every event of the phase.
    char summary[128];
    std::snprintf(summary, sizeof summary, "Good waveforms: %3.2f%% %3.2f%%, All %3.2f%%\n",
                  100.0 * expected.good[0] / kEvents, 100.0 * expected.good[1] / kEvents,
                  100.0 * static_cast<double>(ab0.size()) / kEvents);
    EXPECT_NE(out.find(summary), std::string::npos) << out;

    // The troublesome channels did reach the fitter and the files: some
    // records belong to events with a channel that is not an ordinary pulse.
    EXPECT_GT(expected.troubled, 0);
    EXPECT_GT(expected_cal.troubled, 0);
    std::printf("calibration: %d records (%d troubled); processing: %d records (%d troubled), "
                "good %d and %d of %d events\n",
                expected_cal.both, expected_cal.troubled, expected.both, expected.troubled,
                expected.good[0], expected.good[1], kEvents);
}
