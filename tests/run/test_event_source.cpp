// The events of a phase read from its session files: numbering across files,
// files that are missing, not regular or short, and a resumed phase.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <string>
#include <vector>

#include "run/event_source.h"
#include "test_util.h"

namespace {

// Record r of session s carries s * 100 + r in its first sample.
void write_session(int session, int records)
{
    std::vector<std::vector<int16_t>> recs;
    for (int r = 0; r < records; ++r) {
        recs.emplace_back(5000, 0);
        recs.back()[0] = static_cast<int16_t>(session * 100 + r);
    }
    write_raw_file("raw." + std::to_string(session), 12, recs);
}

struct Walk {
    std::vector<int> events;   // event numbers delivered
    std::vector<int> firsts;   // first sample of each record
    std::string output;
    bool lost = false;
};

// Raw files "raw.<session>" of three records behind a 12-byte header.
RunSettings raw_settings()
{
    RunSettings s;
    s.infile_path = "raw";
    s.waveforms = 3;
    s.data_offset = 12;
    return s;
}

Walk walk(int first, int last, int next = 0, std::vector<int> again = {})
{
    Walk w;
    const RunSettings s = raw_settings();
    w.output = capture_stdout([&] {
        EventSource source(s);
        source.begin({first, last}, next, again);
        int16_t record[5000];
        int e;
        while (source.next(record, &e)) {
            w.events.push_back(e);
            w.firsts.push_back(record[0]);
        }
        EXPECT_TRUE(source.exhausted());
        w.lost = source.lost();
    });
    return w;
}

}  // namespace

TEST(EventSource, WalksTheSessionsAndSkipsWhatCannotBeRead)
{
    TempDir dir;
    write_session(1, 3);
    write_session(3, 2);                 // short: two records of three
    mkdir("raw.4", 0755);                // a directory
    ASSERT_EQ(mkfifo("raw.5", 0644), 0);  // would block an open for reading
    write_session(6, 3);

    Walk w = walk(1, 6);
    EXPECT_EQ(w.events, (std::vector<int>{0, 1, 2, 6, 7, 15, 16, 17}));
    EXPECT_EQ(w.firsts, (std::vector<int>{100, 101, 102, 300, 301, 600, 601, 602}));
    EXPECT_EQ(w.output,
              "Processing file: raw.1\n"
              "ERROR: Cannot open file: raw.2 (No such file or directory)\n"
              "Processing file: raw.3\n"
              "Error: File raw.3 holds only 2 complete records behind its header, 3 expected; "
              "skipping the rest of it\n"
              "Error: Cannot read raw file raw.4: it is a directory\n"
              "Error: Cannot read raw file raw.5: it is not a regular file\n"
              "Processing file: raw.6\n");
    EXPECT_TRUE(w.lost);

    // Resumed in the middle of session 1 with events 0 and 2 in flight: those
    // come first, then reading goes on where it stopped.
    w = walk(1, 1, 2, {2, 0});
    EXPECT_EQ(w.events, (std::vector<int>{2, 0, 2}));
    EXPECT_EQ(w.firsts, (std::vector<int>{102, 100, 102}));
    EXPECT_EQ(w.output, "Processing file: raw.1\n");
    EXPECT_FALSE(w.lost);

    // Resumed at the end of the phase: nothing but what was in flight.
    w = walk(1, 1, 3, {1});
    EXPECT_EQ(w.events, (std::vector<int>{1}));
    EXPECT_EQ(w.output, "");
}
