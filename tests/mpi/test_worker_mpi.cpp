// zorv_mpi end to end on raw files of known pulses: calibration with the
// decay rate free, processing with it held at the calibrated value, and the
// result files checked against the truth.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "test_sessions.h"
#include "test_util.h"

namespace {

bool fittable(Truth const& t)
{
    return t.kind == 0 || t.kind == 1;
}

// The calibrated decay rate of channel c, as printed.
double parabolic_estimate(std::string const& out, int c)
{
    std::string key = "Channel " + std::to_string(c) + " decay: ";
    size_t p = out.find(key);
    p = out.find(key, out.find("(maximum)", p));
    return p == std::string::npos ? 0.0 : std::stod(out.substr(p + key.size()));
}

struct RunOutput {
    CommandResult r;
    std::vector<std::vector<double>> ab0, ab1;
};

RunOutput run_zorv(int ranks, std::string const& dir)
{
    RunOutput run;
    run.r = run_mpi(ranks, ZORV_MPI_EXE, dir);
    run.ab0 = read_result_file("ab0.bin");
    run.ab1 = read_result_file("ab1.bin");
    return run;
}

// Index of the processing-phase event whose channel A pulse lies nearest to
// the fitted position.
int match_event(Session const& s, std::vector<double> const& rec)
{
    int best = -1;
    for (int e = 0; e < kEvents; ++e) {
        if (!fittable(s.a[e]) || !fittable(s.b[e])) continue;
        if (best < 0 || std::fabs(s.a[e].t1 - rec[4]) < std::fabs(s.a[best].t1 - rec[4])) best = e;
    }
    return best;
}

void expect_matches(Truth const& t, std::vector<double> const& rec, int e)
{
    // Noise of 20 on pulses of 15,000 and more: the fit is good to a few
    // parts in ten thousand in amplitude and a few hundredths of a sample.
    EXPECT_NEAR(rec[1], t.a1, 0.002 * t.a1 + 10.0) << "event " << e;
    EXPECT_NEAR(rec[4], t.t1, 0.05) << "event " << e;
    EXPECT_NEAR(rec[5], t.width, 0.02) << "event " << e;
    EXPECT_NEAR(rec[3], kBaseline, 5.0) << "event " << e;
    if (t.kind == 1) {
        EXPECT_NEAR(rec[7], t.a2, 0.002 * t.a2 + 10.0) << "event " << e;
        EXPECT_NEAR(rec[8], t.t2, 0.05) << "event " << e;
    } else {
        EXPECT_EQ(rec[7], 0.0);
        EXPECT_EQ(rec[8], 1500.0);
    }
}

}  // namespace

TEST(WorkerMpi, BothPhasesRecoverTheKnownPulses)
{
    TempDir dir;
    write_setup();
    write_session("raw.1", 11);
    Session s = write_session("raw.2", 22);
    int expected = 0;
    for (int e = 0; e < kEvents; ++e) expected += fittable(s.a[e]) && fittable(s.b[e]);

    RunOutput r3 = run_zorv(3, dir.path());
    std::string const& out = r3.r.output;
    EXPECT_EQ(r3.r.status, 0) << out;

    // Every event good in both channels, and nothing else, is written.
    ASSERT_EQ(static_cast<int>(r3.ab0.size()), expected) << out;
    EXPECT_EQ(file_size("ab0.bin"), 72L * expected);
    EXPECT_EQ(file_size("ab1.bin"), 72L * expected);
    EXPECT_EQ(static_cast<int>(read_lines("decay0.txt").size()), expected);
    EXPECT_EQ(static_cast<int>(read_lines("decay1.txt").size()), expected);
    char all[64];
    std::snprintf(all, sizeof all, ", All %3.2f%%\n", 100.0 * expected / kEvents);
    EXPECT_NE(out.find(all), std::string::npos) << out;

    // The calibration found the true decay rate from poor start values.
    EXPECT_EQ(read_lines("decay_hist0.txt").size(), 250u);
    EXPECT_EQ(read_lines("decay_hist1.txt").size(), 250u);
    double est[2] = {parabolic_estimate(out, 0), parabolic_estimate(out, 1)};
    EXPECT_NEAR(est[0], kLambda, 2e-6) << out;
    EXPECT_NEAR(est[1], kLambda, 2e-6) << out;

    // Processing phase: the decay rate is held, the pulses are recovered.
    std::vector<int> seen(kEvents, 0);
    for (size_t i = 0; i < r3.ab0.size(); ++i) {
        auto const& ra = r3.ab0[i];
        auto const& rb = r3.ab1[i];
        EXPECT_EQ(ra[2], r3.ab0[0][2]);
        EXPECT_EQ(rb[2], r3.ab1[0][2]);
        EXPECT_NEAR(ra[2], est[0], 1e-10);
        EXPECT_NEAR(rb[2], est[1], 1e-10);
        int e = match_event(s, ra);
        ASSERT_GE(e, 0);
        ++seen[e];
        expect_matches(s.a[e], ra, e);
        expect_matches(s.b[e], rb, e);
    }
    for (int e = 0; e < kEvents; ++e) EXPECT_LE(seen[e], 1) << "event " << e;

    // One worker or two: the same records, only their order may differ.
    RunOutput r2 = run_zorv(2, dir.path());
    EXPECT_EQ(r2.r.status, 0);
    auto sorted = [](std::vector<std::vector<double>> v) {
        std::sort(v.begin(), v.end());
        return v;
    };
    EXPECT_EQ(sorted(r2.ab0), sorted(r3.ab0));
    EXPECT_EQ(sorted(r2.ab1), sorted(r3.ab1));
}

// A session that appears while the run is under way, before the run reaches
// it, does not keep the run from resuming. The run (processing sessions 2
// and 3, raw.3 not there yet) is ended in session 2 by a write error under
// a file-size limit of 4 KiB, which the calibration's 30 records stay below;
// then raw.3 appears and the resume finishes with the records of a run that
// had every file from the start.
TEST(WorkerMpi, SessionThatAppearsBeforeItIsReachedDoesNoHarm)
{
    TempDir dir;
    const std::string reference = dir.file("reference");
    ASSERT_EQ(mkdir(reference.c_str(), 0755), 0);
    write_setup("sessions = 2 3\ncheckpoint_interval = 0.001\nresume = 1\n");
    write_session("raw.1", 11);
    write_session("raw.2", 22);
    write_session("raw.3", 33);
    // Channel B quiet (at its baseline) after event 30 of the calibration.
    std::vector<unsigned char> raw1 = read_bytes("raw.1");
    for (size_t e = 30; e < kEvents; ++e)
        for (size_t k = 0; k < 2500; ++k) {
            const int16_t flat = static_cast<int16_t>(kBaseline);
            std::memcpy(&raw1[12 + 10000 * e + 4 * k + 2], &flat, 2);
        }
    ASSERT_TRUE(write_text("raw.1", std::string(raw1.begin(), raw1.end())));
    for (char const* f : {"win.txt", "zorv_mpi.ini", "raw.1", "raw.2", "raw.3"})
        ASSERT_TRUE(write_text(reference + "/" + f, read_text(f)));
    ASSERT_EQ(run_mpi(3, ZORV_MPI_EXE, reference).status, 0);

    ASSERT_EQ(rename("raw.3", "raw.3.later"), 0);
    // The limit for rank 0 alone, and over TCP: Open MPI's shared-memory
    // segments are files that a limit of 4 KiB would not let it make.
    CommandResult limited =
        run_command("cd '" + dir.path() +
                    "' && OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1 "
                    "OMPI_MCA_mpi_yield_when_idle=1 OMPI_MCA_btl=self,tcp timeout 120 " ZORV_MPIEXEC
                    " --oversubscribe -n 1 sh -c 'ulimit -f 8 && exec \"$0\"' " ZORV_MPI_EXE
                    " : -n 2 " ZORV_MPI_EXE " 2>/dev/null");
    EXPECT_NE(limited.output.find("The run ended early in the processing phase"), std::string::npos)
        << limited.output;
    EXPECT_EQ(limited.output.find("raw.3"), std::string::npos) << limited.output;
    ASSERT_EQ(rename("raw.3.later", "raw.3"), 0);

    RunOutput resumed = run_zorv(3, dir.path());
    EXPECT_EQ(resumed.r.status, 0) << resumed.r.output;
    EXPECT_NE(resumed.r.output.find("Resuming the processing phase"), std::string::npos);
    auto sorted = [](std::vector<std::vector<double>> v) {
        std::sort(v.begin(), v.end());
        return v;
    };
    EXPECT_EQ(sorted(resumed.ab0), sorted(read_result_file(reference + "/ab0.bin")));
    EXPECT_EQ(sorted(resumed.ab1), sorted(read_result_file(reference + "/ab1.bin")));
}
