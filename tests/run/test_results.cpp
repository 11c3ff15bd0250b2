// The master's bookkeeping of result messages: good-fit counts, and the
// result files and decay lists of events good in both channels.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "run/results.h"
#include "test_util.h"

namespace {

std::vector<double> result_message(double ssr0, double ssr1, double seed)
{
    std::vector<double> r(18, 0.0);
    r[0] = ssr0;
    r[9] = ssr1;
    for (int k = 1; k < 9; ++k) {
        if (ssr0 != 0.0) r[k] = seed + k;
        if (ssr1 != 0.0) r[9 + k] = -seed - k * 0.5;
    }
    r[2] = -0.0015 - seed * 1e-6;
    r[11] = -0.0016 - seed * 1e-6;
    return r;
}

// What the worker reports for two fitted channels.
const ChannelOutcome kFitted2[2] = {ChannelOutcome::kFitted, ChannelOutcome::kFitted};

}  // namespace

// Only events good in both channels are written, with the raw event they
// came from; every good channel and every outcome counts.
TEST(RecordResult, CountsGoodChannelsAndWritesCoincidentEventsInOrder)
{
    TempDir dir;
    PhaseOutputs outputs("out_", 5, 4);  // sessions 5, 6, ... of 4 events each
    ASSERT_EQ(outputs.open(), 0);

    std::vector<std::vector<double>> results = {
        result_message(10.0, 0.0, 1),           // channel 0 only
        result_message(0.0, 20.0, 2),           // channel 1 only
        result_message(30.0, 40.0, 3),          // both: written
        result_message(-1.0, 5.0, 4),           // negative is not good
        result_message(0.0 / 0.0, 5.0, 5),      // NaN is not good
        result_message(50.0, 60.0, 6),          // both: written
    };
    const ChannelOutcome no_peak = ChannelOutcome::kNoPeak;
    const ChannelOutcome outcomes[][2] = {{ChannelOutcome::kFitted, no_peak},
                                          {no_peak, ChannelOutcome::kFitted},
                                          {ChannelOutcome::kFitted, ChannelOutcome::kFitted},
                                          {no_peak, ChannelOutcome::kFitted},
                                          {no_peak, ChannelOutcome::kFitted},
                                          {ChannelOutcome::kFitted, ChannelOutcome::kFitted}};
    for (size_t e = 0; e < results.size(); ++e)
        EXPECT_EQ(outputs.record(results[e].data(), outcomes[e], static_cast<int>(e) + 1), 0);
    ASSERT_EQ(outputs.close(), 0);

    EXPECT_EQ(outputs.counts().counter_all, 6);
    EXPECT_EQ(outputs.counts().nbr_ok[0], 3);
    EXPECT_EQ(outputs.counts().nbr_ok[1], 5);
    EXPECT_EQ(outputs.counts().nbr_all_ok, 2);
    EXPECT_EQ(outputs.counts().outcomes[0][0], 3);
    EXPECT_EQ(outputs.counts().outcomes[0][static_cast<int>(no_peak)], 3);
    EXPECT_EQ(outputs.counts().outcomes[1][0], 5);
    // Events 3 and 6: record 3 of session 5, record 2 of session 6.
    EXPECT_EQ(read_text("events.txt"), "5 3\n6 2\n");

    auto ab0 = read_result_file("out_0.bin");
    auto ab1 = read_result_file("out_1.bin");
    EXPECT_EQ(file_size("out_0.bin"), 144);
    ASSERT_EQ(ab0.size(), 2u);
    ASSERT_EQ(ab1.size(), 2u);
    int written[2] = {2, 5};
    for (int i = 0; i < 2; ++i) {
        for (int k = 0; k < 9; ++k) {
            EXPECT_EQ(ab0[i][k], results[written[i]][k]);
            EXPECT_EQ(ab1[i][k], results[written[i]][9 + k]);
        }
    }
    EXPECT_EQ(read_text("decay0.txt"), "-0.001503000000\n-0.001506000000\n");
    EXPECT_EQ(read_text("decay1.txt"), "-0.001603000000\n-0.001606000000\n");
}

// Each phase starts its files anew.
TEST(RecordResult, EachPhaseTruncatesItsFiles)
{
    TempDir dir;
    PhaseOutputs outputs("ab");
    auto both = result_message(1.0, 2.0, 7);
    ASSERT_EQ(outputs.open(), 0);
    outputs.record(both.data(), kFitted2, 0);
    outputs.record(both.data(), kFitted2, 0);
    ASSERT_EQ(outputs.close(), 0);
    EXPECT_EQ(read_lines("decay1.txt").size(), 2u);

    ASSERT_EQ(outputs.open(), 0);
    outputs.record(both.data(), kFitted2, 0);
    ASSERT_EQ(outputs.close(), 0);
    EXPECT_EQ(outputs.counts().counter_all, 1);
    EXPECT_EQ(file_size("ab0.bin"), 72);
    EXPECT_EQ(file_size("ab1.bin"), 72);
    EXPECT_EQ(read_lines("decay0.txt").size(), 1u);
}

// Files that cannot be created or written are named with the reason, never
// written blindly; after a write error the five files end at the last whole
// event and the events that could not be written are handed back.
TEST(RecordResult, ReportsFilesThatCannotBeCreatedOrWritten)
{
    TempDir dir;
    std::string out = capture_stdout([] { EXPECT_EQ(PhaseOutputs("missing_dir/ab").open(), 1); });
    EXPECT_EQ(out, "Error: Cannot create result file: missing_dir/ab0.bin (No such file or directory)\n");

    // A full disk: the result file of channel 1 is the device /dev/full is
    // (an output is never written through a link, so not a link to it).
    struct stat full;
    if (stat("/dev/full", &full) != 0 || mknod("ab1.bin", S_IFCHR | 0666, full.st_rdev) != 0)
        GTEST_SKIP() << "no /dev/full, or no right to make a device";
    PhaseOutputs outputs("ab");
    ASSERT_EQ(outputs.open(), 0);
    auto both = result_message(1.0, 2.0, 8);
    int status = 0;
    out = capture_stdout([&] {
        // Booked as the master does until the first error: enough events
        // for a batch to be written.
        for (int e = 0; e < 2000 && status == 0; ++e)
            status |= outputs.record(both.data(), kFitted2, e);
        status |= outputs.close();
    });
    EXPECT_EQ(status, 1);
    EXPECT_EQ(out, "Error: Cannot write to file: ab1.bin (No space left on device)\n");
    // Not one event reached all five files, so none is in any of them, and
    // every event booked before the error is to be done again.
    EXPECT_EQ(file_size("ab0.bin"), 0);
    EXPECT_EQ(file_size("decay0.txt"), 0);
    EXPECT_EQ(file_size("decay1.txt"), 0);
    std::vector<int> lost = outputs.unwritten_events();
    ASSERT_GT(lost.size(), 100u);
    ASSERT_LT(lost.size(), 2000u);
    for (size_t i = 0; i < lost.size(); ++i) EXPECT_EQ(lost[i], static_cast<int>(i));
    EXPECT_EQ(outputs.counts().counter_all, 0);
    EXPECT_EQ(outputs.counts().nbr_ok[0], 0);
    EXPECT_EQ(outputs.counts().nbr_all_ok, 0);
}

// The sizes of a checkpoint are checked before anything is touched, then the
// files are cut back to them and continued.
TEST(RecordResult, ContinuesFilesCutBackToTheCheckpoint)
{
    TempDir dir;
    PhaseOutputs outputs("ab");
    auto both = result_message(1.0, 2.0, 9);
    ASSERT_EQ(outputs.open(), 0);
    for (int e = 0; e < 3; ++e) outputs.record(both.data(), kFitted2, e);
    ASSERT_EQ(outputs.flush(true), 0);
    OutputSizes at_checkpoint = outputs.written_sizes();
    GoodFitCounts counts_at_checkpoint = outputs.counts();
    EXPECT_EQ(at_checkpoint.bytes[0], 3 * 72);
    EXPECT_EQ(at_checkpoint.bytes[3], 3 * 16);
    for (int e = 3; e < 5; ++e) outputs.record(both.data(), kFitted2, e);
    ASSERT_EQ(outputs.close(), 0);
    ASSERT_EQ(file_size("ab1.bin"), 5 * 72);

    OutputSizes too_long = at_checkpoint;
    too_long.bytes[2] = 6 * 72;
    std::string out = capture_stdout([&] { EXPECT_EQ(outputs.check(too_long), 1); });
    EXPECT_EQ(out, "Error: ab1.bin holds 360 bytes, fewer than the 432 of the checkpoint\n");
    EXPECT_EQ(file_size("ab1.bin"), 5 * 72);

    ASSERT_EQ(outputs.check(at_checkpoint), 0);
    ASSERT_EQ(outputs.reopen(at_checkpoint, counts_at_checkpoint), 0);
    outputs.record(both.data(), kFitted2, 3);
    ASSERT_EQ(outputs.close(), 0);
    EXPECT_EQ(outputs.counts().counter_all, 4);
    EXPECT_EQ(file_size("ab0.bin"), 4 * 72);
    EXPECT_EQ(read_lines("decay1.txt").size(), 4u);

    // Stopped before the phase made its outputs: files recorded empty may be
    // missing and are made anew.
    std::remove("ab0.bin");
    std::remove("decay1.txt");
    ASSERT_EQ(outputs.check(OutputSizes{{0, 0, 0, 0}}), 0);
    ASSERT_EQ(outputs.reopen(OutputSizes{{0, 0, 0, 0}}, GoodFitCounts()), 0);
    ASSERT_EQ(outputs.close(), 0);
    EXPECT_EQ(file_size("ab0.bin"), 0);
    EXPECT_EQ(file_size("decay1.txt"), 0);

    // A folder by an output's name is named as such.
    std::remove("ab0.bin");
    ASSERT_EQ(mkdir("ab0.bin", 0755), 0);
    out = capture_stdout([&] { EXPECT_EQ(outputs.check(OutputSizes{{0, 0, 0, 0}}), 1); });
    EXPECT_EQ(out, "Error: Cannot continue ab0.bin: it is a directory\n");
}

// Record i of each precision file belongs to record i of its result file;
// continued from a checkpoint of a version without them, the records already
// written get a precision record of NaN (unknown), the new ones their own.
TEST(RecordResult, PrecisionFilesStayAlignedWithTheResults)
{
    TempDir dir;
    PhaseOutputs outputs("ab");
    auto both = result_message(1.0, 2.0, 9);
    std::vector<double> precision(18);
    for (int k = 0; k < 18; ++k) precision[static_cast<size_t>(k)] = 100 + k;
    ASSERT_EQ(outputs.open(), 0);
    outputs.record(both.data(), kFitted2, 0, precision.data());
    ASSERT_EQ(outputs.close(), 0);
    OutputSizes older = outputs.written_sizes();
    older.bytes[kPrecisionFile0] = older.bytes[kPrecisionFile0 + 1] = kUnknownSize;
    ASSERT_EQ(outputs.check(older), 0);
    ASSERT_EQ(outputs.reopen(older, outputs.counts()), 0);
    outputs.record(both.data(), kFitted2, 1, precision.data());
    outputs.record(both.data(), kFitted2, 2);  // no precision given: unknown
    ASSERT_EQ(outputs.close(), 0);
    for (int c = 0; c < 2; ++c) {
        const auto records = read_result_file(c ? "ab1.err.bin" : "ab0.err.bin");
        ASSERT_EQ(records.size(), 3u);
        for (size_t i = 0; i < 3; ++i)
            for (int k = 0; k < 9; ++k) {
                const double v = records[i][static_cast<size_t>(k)];
                if (i == 1) EXPECT_EQ(v, 100 + 9 * c + k);
                else EXPECT_TRUE(std::isnan(v)) << "record " << i;
            }
    }
}

// A resume finds each raw event named once in events.txt, among those read
// before next_event, and none that the checkpoint keeps to be done.
TEST(RecordResult, ProvenanceListAgreesWithTheCheckpoint)
{
    struct Case {
        int next_event;
        std::vector<int> pending;
        char const* events;  // events.txt, when not as written
        char const* expected;  // nullptr: accepted
    } const cases[] = {
        {3, {}, nullptr, nullptr},
        {4, {3}, nullptr, nullptr},
        {3, {1}, nullptr, "event 5 1 has a record, yet the checkpoint keeps it to be done (line 2)"},
        {2, {}, nullptr, "event 5 2 was not read yet (line 3)"},
        {3, {}, "5 0\n5 0\n5 2\n", "it names event 5 0 twice (line 2)"},
        {3, {}, "5 0\n5 1\n4 2\n", "event 4 2 was not read yet (line 3)"},
        {3, {}, "- -\n5 1\n5 2\n", nullptr},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.expected ? c.expected : "accepted");
        TempDir dir;
        PhaseOutputs outputs("ab", 5, 10);
        auto both = result_message(1.0, 2.0, 9);
        ASSERT_EQ(outputs.open(), 0);
        for (int e = 0; e < 3; ++e) outputs.record(both.data(), kFitted2, e);
        ASSERT_EQ(outputs.close(), 0);
        if (c.events) write_text("events.txt", c.events);
        int status = -1;
        const std::string out = capture_stdout(
            [&] { status = outputs.check(outputs.written_sizes(), nullptr, c.next_event, c.pending); });
        EXPECT_EQ(status, c.expected ? 1 : 0) << out;
        if (c.expected) {
            EXPECT_EQ(out, std::string("Error: Cannot continue: events.txt does not agree with the "
                                       "checkpoint: ") + c.expected + "\n");
        }
    }
}
