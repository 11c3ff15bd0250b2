// The checkpoint file: what is written is read back exactly, a damaged file
// is refused, and a fingerprint names what changed. And the stop signals.

#include <gtest/gtest.h>

#include <unistd.h>

#include <csignal>
#include <cstring>
#include <string>

#include "run/checkpoint.h"
#include "run/stop_signal.h"
#include "test_util.h"

namespace {

Checkpoint sample()
{
    Checkpoint cp;
    cp.phase = Phase::kProcessing;
    cp.next_event = 12345;
    cp.pending = {7, 12340, 12344};
    cp.counts.counter_all = 12330;
    cp.counts.nbr_ok[0] = 12000;
    cp.counts.nbr_ok[1] = 11999;
    cp.counts.nbr_all_ok = 11900;
    cp.run_error = 1;
    cp.calibrated = true;
    cp.decay[0] = -0.0014998673061234567;
    cp.decay[1] = -1.0 / 3.0;
    cp.outputs = OutputSizes{{856800, 190400, 856800, 190401}};
    cp.fingerprint = {{"infile_path", "data dir/raw\n%x"}, {"waveforms", "10000"}};
    return cp;
}

}  // namespace

TEST(Checkpoint, ReadsBackWhatWasWritten)
{
    TempDir dir;
    Checkpoint cp = sample();
    ASSERT_EQ(write_checkpoint(cp), 0);
    EXPECT_FALSE(file_exists("zorv_mpi.checkpoint.tmp"));
    Checkpoint back;
    ASSERT_EQ(read_checkpoint(&back), 0);
    EXPECT_EQ(back.finished, false);
    EXPECT_EQ(back.phase, Phase::kProcessing);
    EXPECT_EQ(back.next_event, 12345);
    EXPECT_EQ(back.pending, cp.pending);
    EXPECT_EQ(back.counts.counter_all, 12330);
    EXPECT_EQ(back.counts.nbr_ok[1], 11999);
    EXPECT_EQ(back.counts.nbr_all_ok, 11900);
    EXPECT_EQ(back.run_error, 1);
    EXPECT_EQ(back.decay[0], cp.decay[0]);  // bit for bit
    EXPECT_EQ(back.decay[1], cp.decay[1]);
    EXPECT_EQ(back.outputs.bytes[3], 190401);
    EXPECT_EQ(back.fingerprint, cp.fingerprint);

    Checkpoint none;
    EXPECT_EQ(read_checkpoint(&none, "no_such_checkpoint"), -1);
}

// Whatever stands at the temporary name is replaced, never written through:
// a link there must not turn its target into checkpoint text.
TEST(Checkpoint, TemporaryFileIsNeverFollowed)
{
    TempDir dir;
    ASSERT_TRUE(write_text("rawcopy", "raw bytes"));
    ASSERT_EQ(symlink("rawcopy", "zorv_mpi.checkpoint.tmp"), 0);
    ASSERT_EQ(write_checkpoint(sample()), 0);
    EXPECT_EQ(read_text("rawcopy"), "raw bytes");
    EXPECT_FALSE(file_exists("zorv_mpi.checkpoint.tmp"));
    Checkpoint back;
    EXPECT_EQ(read_checkpoint(&back), 0);
}

TEST(Checkpoint, RefusesDamagedFiles)
{
    TempDir dir;
    ASSERT_EQ(write_checkpoint(sample()), 0);
    const std::string whole = read_text("zorv_mpi.checkpoint");
    auto without = [&](std::string const& line) {
        std::string text = whole;
        text.erase(text.find(line), line.size());
        return text;
    };
    // Cut short, a line missing, an unknown or repeated line, a bad number.
    for (std::string const& text :
         {whole.substr(0, whole.size() / 2), without("end\n"), without("calibrated "),
          without("zorv_mpi checkpoint 2\n"), whole + "phase calibration\n",
          std::string("zorv_mpi checkpoint 2\nstate running\nphase calibration\nnext_event 1x\n"),
          std::string("zorv_mpi checkpoint 1\nstate paused\n"), std::string()}) {
        ASSERT_TRUE(write_text("zorv_mpi.checkpoint", text));
        Checkpoint cp;
        std::string out = capture_stdout([&] { EXPECT_EQ(read_checkpoint(&cp), 1) << text; });
        EXPECT_EQ(out.rfind("Error: Checkpoint zorv_mpi.checkpoint is damaged (line ", 0), 0u) << out;
    }
}

// A checkpoint of an earlier version names fewer outputs: those it does not
// name (the provenance list, the precision files) are of unknown size.
TEST(Checkpoint, ReadsTheOutputsOfEarlierVersions)
{
    TempDir dir;
    ASSERT_EQ(write_checkpoint(sample()), 0);
    const std::string whole = read_text("zorv_mpi.checkpoint");
    const size_t at = whole.find("outputs "), end = whole.find('\n', at);
    const std::string body_before = whole.substr(0, at), rest = whole.substr(end + 1);
    for (std::string line : {"outputs 72 16 72 16", "outputs 72 16 72 16 8"}) {
        std::string body = body_before + line + "\n" + rest.substr(0, rest.find("checksum "));
        uint64_t h = 14695981039346656037ULL;  // FNV-1a, as the file's checksum
        for (unsigned char ch : body) h = (h ^ ch) * 1099511628211ULL;
        char sum[24];
        std::snprintf(sum, sizeof sum, "%016llx", static_cast<unsigned long long>(h));
        ASSERT_TRUE(write_text("zorv_mpi.checkpoint", body + "checksum " + sum + "\nend\n"));
        Checkpoint cp;
        ASSERT_EQ(read_checkpoint(&cp), 0) << body;
        const bool events = line.size() > 20;
        EXPECT_EQ(cp.outputs.bytes[3], 16);
        EXPECT_EQ(cp.outputs.bytes[kEventsList], events ? 8 : kUnknownSize);
        EXPECT_EQ(cp.outputs.bytes[kPrecisionFile0], kUnknownSize);
        EXPECT_EQ(cp.outputs.bytes[kPrecisionFile0 + 1], kUnknownSize);
    }
}

TEST(Checkpoint, FingerprintNamesWhatDiffers)
{
    TempDir dir;
    RunSettings s;
    s.infile_path = "raw";
    s.abfile_path = "ab";
    s.waveforms = 10;
    s.start_session = s.stop_session = 2;
    s.start_cal_session = s.stop_cal_session = 1;
    double kernel[3] = {1.0, 2.0, 1.0};
    ASSERT_TRUE(write_text("raw.1", "0123456789"));
    // The run has opened raw.1 and raw.3 (which was missing), not yet raw.2.
    Fingerprint then = run_fingerprint(s, kernel, 3);
    add_to_fingerprint(&then, {{raw_file_item("raw.1"), raw_file_state("raw.1")},
                               {raw_file_item("raw.3"), raw_file_state("raw.3")}});
    EXPECT_EQ(then.back().second, "missing");
    EXPECT_EQ(compare_fingerprints(then, run_fingerprint(s, kernel, 3)), 0);
    // A session that appears before the run reaches it does no harm.
    ASSERT_TRUE(write_text("raw.2", "x"));
    EXPECT_EQ(compare_fingerprints(then, run_fingerprint(s, kernel, 3)), 0);
    // Settings that do not change results are not part of it.
    s.refresh_interval = 7.0;
    s.checkpoint_interval = 1.0;
    s.resume = 1;
    EXPECT_EQ(compare_fingerprints(then, run_fingerprint(s, kernel, 3)), 0);

    auto message = [&](Fingerprint const& now) {
        return capture_stdout([&] { EXPECT_EQ(compare_fingerprints(then, now), 1); });
    };
    const std::string head = "Error: Checkpoint zorv_mpi.checkpoint belongs to another run: ";
    s.waveforms = 11;
    EXPECT_EQ(message(run_fingerprint(s, kernel, 3)), head + "waveforms was 10, is now 11\n");
    s.waveforms = 10;
    kernel[1] = 2.5;
    EXPECT_EQ(message(run_fingerprint(s, kernel, 3))
                  .rfind(head + "kernel win.txt was 3 coefficients, ", 0),
              0u);
    kernel[1] = 2.0;
    ASSERT_TRUE(write_text("raw.3", "x"));  // missing when the run tried it
    EXPECT_EQ(message(run_fingerprint(s, kernel, 3)),
              head + "raw file raw.3 was missing, is now " + raw_file_state("raw.3") + "\n");
    std::remove("raw.3");
    ASSERT_TRUE(write_text("raw.1", "01234567890"));  // changed after it was read
    EXPECT_EQ(
        message(run_fingerprint(s, kernel, 3)).rfind(head + "raw file raw.1 was size 10, ", 0), 0u);
}

// The first stop signal names the stop; SIGTERM at any time makes it final,
// and a file-size limit's SIGXFSZ no longer ends the process.
TEST(StopSignal, FirstSignalNamesTheStopAndTermMakesItFinal)
{
    install_stop_handlers();
    set_stop_signal(0);
    std::raise(SIGXFSZ);
    EXPECT_EQ(stop_signal(), 0);
    std::raise(SIGUSR1);
    EXPECT_EQ(stop_signal(), SIGUSR1);
    EXPECT_FALSE(stop_is_final());
    std::raise(SIGTERM);
    std::raise(SIGUSR2);
    EXPECT_EQ(stop_signal(), SIGUSR1);
    EXPECT_TRUE(stop_is_final());
    EXPECT_STREQ(stop_signal_name(), "SIGUSR1");
    set_stop_signal(0);
}

namespace {

// A checkpoint of the processing phase that holds together: 10 events read,
// 6 booked, 2 pending, 2 skipped (so the run records an error).
Checkpoint consistent()
{
    Checkpoint cp;
    cp.phase = Phase::kProcessing;
    cp.next_event = 10;
    cp.pending = {3, 7};
    cp.counts.counter_all = 6;
    cp.counts.nbr_ok[0] = 5;
    cp.counts.nbr_ok[1] = 4;
    cp.counts.nbr_all_ok = 3;
    cp.counts.outcomes[0][0] = 5;
    cp.counts.outcomes[0][1] = 1;
    cp.counts.outcomes[1][0] = 4;
    cp.counts.outcomes[1][1] = 2;
    cp.skipped = 2;
    cp.run_error = 1;
    cp.calibrated = true;
    cp.decay[0] = cp.decay[1] = -0.0015;
    cp.outputs = OutputSizes{{3 * 72, 48, 3 * 72, 48, 12, 3 * 72, 3 * 72}};
    return cp;
}

}  // namespace

// Each rule refuses on its own: a checkpoint that breaks one of them, and no
// other, is refused with the line that names it.
TEST(Checkpoint, EachRuleOfAConsistentStateRefusesOnItsOwn)
{
    struct Case {
        char const* expected;  // nullptr: accepted
        void (*change)(Checkpoint&);
    } const cases[] = {
        {nullptr, [](Checkpoint&) {}},
        {"next_event 11 lies outside the phase's 10 events", [](Checkpoint& c) { c.next_event = 11; }},
        {"pending event 10 is not below next_event 10", [](Checkpoint& c) { c.pending = {3, 10}; }},
        {"pending event 3 is named twice", [](Checkpoint& c) { c.pending = {3, 3}; }},
        {"do not nest", [](Checkpoint& c) { c.counts.nbr_all_ok = 5; }},
        {"the outcomes of a channel do not add up",
         [](Checkpoint& c) { c.counts.outcomes[1][1] = 1; }},
        {"the calibration's outcomes do not add up",
         [](Checkpoint& c) { c.calibration.counter_all = 1; }},
        {"6 results, 2 pending and 1 skipped events do not make next_event 10",
         [](Checkpoint& c) { c.skipped = 1; }},
        {"2 events were skipped, yet the run records no error",
         [](Checkpoint& c) { c.run_error = 0; }},
        // A file of the first version keeps no count of skipped events: a
        // next_event raised beyond what was booked and pending is one.
        {nullptr, [](Checkpoint& c) { c.skipped = -1; }},
        {"2 events were skipped, yet the run records no error",
         [](Checkpoint& c) { c.skipped = -1, c.run_error = 0; }},
        {nullptr, [](Checkpoint& c) { c.skipped = -1, c.run_error = 0, c.next_event = 8; }},
        {"an output size is negative", [](Checkpoint& c) { c.outputs.bytes[1] = -1; }},
        {"result files of 216 and 144 bytes", [](Checkpoint& c) { c.outputs.bytes[2] = 144; }},
        {"a precision file of 144 bytes beside result files of 216",
         [](Checkpoint& c) { c.outputs.bytes[6] = 144; }},
        {nullptr, [](Checkpoint& c) { c.outputs.bytes[5] = kUnknownSize; }},  // an older file
        {"the result files hold 3 records, the counters 2",
         [](Checkpoint& c) { c.counts.nbr_all_ok = 2; }},
        {"the processing phase has no calibrated decay rates",
         [](Checkpoint& c) { c.calibrated = false; }},
        {"the calibrated decay rates", [](Checkpoint& c) { c.decay[1] = 0.0 / 0.0; }},
    };
    for (Case const& c : cases) {
        Checkpoint cp = consistent();
        c.change(cp);
        int status = -1;
        const std::string out = capture_stdout([&] { status = check_checkpoint(cp, 10, "cp"); });
        SCOPED_TRACE(c.expected ? c.expected : "accepted");
        EXPECT_EQ(status, c.expected ? 1 : 0) << out;
        if (c.expected) {
            EXPECT_NE(out.find(c.expected), std::string::npos) << out;
            EXPECT_EQ(out.rfind("Error: Checkpoint cp does not hold together: ", 0), 0u);
        }
    }
}
