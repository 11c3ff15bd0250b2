// Raw event records by event number (io/raw_reader): the records asked for,
// in the order asked, across files; and the refusals, each naming the file.
#include "io/raw_reader.h"
#include "test_util.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <vector>

#include "formats/record_format.h"
#include "io/input_file.h"

namespace {

constexpr int kHeader = 12;

// Record `k` of the test's raw files: every value k, except value i = k + i
// for the first few, so that a record read from the wrong offset shows.
std::vector<int16_t> record(int k)
{
    std::vector<int16_t> r(kRecordShorts, static_cast<int16_t>(k));
    for (int i = 0; i < 8; ++i) r[i] = static_cast<int16_t>(k + i);
    r.back() = static_cast<int16_t>(-k);
    return r;
}

// "raw.<session>" holding the records first, first + 1, ... (count of them).
void write_session(int session, int first, int count)
{
    std::vector<std::vector<int16_t>> records;
    for (int k = 0; k < count; ++k) records.push_back(record(first + k));
    write_raw_file("raw." + std::to_string(session), kHeader, records);
}

std::string state_of(std::string const& name)
{
    struct stat st;
    return stat(name.c_str(), &st) == 0 ? file_state(st) : "missing";
}

struct Files {
    RunSettings settings;
    Files()
    {
        settings.infile_path = "raw";
        settings.waveforms = 4;
        settings.data_offset = kHeader;
        write_session(1, 0, 4);   // events 0 .. 3
        write_session(2, 40, 3);  // events 4 .. 6, one record short
        write_text("raw.3", "");  // nothing behind a header it lacks
        EXPECT_EQ(mkdir("raw.4", 0700), 0);
    }
};

}  // namespace

// Events out of order, runs of them, and runs that cross into the next file.
TEST(RawReader, ReadsTheRecordsAskedFor)
{
    TempDir dir;
    Files f;
    RawEventReader reader(f.settings);
    for (int s = 1; s <= 2; ++s) reader.expect(s, state_of("raw." + std::to_string(s)));
    std::vector<std::vector<int>> const asks = {{2}, {3, 0, 1}, {1, 2, 3, 4, 5}, {6, 0, 5}};
    for (auto const& events : asks) {
        std::vector<int16_t> got(events.size() * kRecordShorts);
        std::string why;
        ASSERT_EQ(
            reader.read({1, 2}, events.data(), static_cast<int>(events.size()), got.data(), &why),
            0)
            << why;
        for (size_t i = 0; i < events.size(); ++i) {
            const int k = events[i] < 4 ? events[i] : 40 + events[i] - 4;
            EXPECT_EQ(std::vector<int16_t>(got.begin() + i * kRecordShorts,
                                           got.begin() + (i + 1) * kRecordShorts),
                      record(k))
                << "event " << events[i];
        }
    }
}

// A record the file does not hold, a file rank 0 did not name or saw in
// another state, a missing file and a folder: each refused, naming the file.
TEST(RawReader, RefusesNamingTheFile)
{
    TempDir dir;
    Files f;
    std::string const one = state_of("raw.1"), three = state_of("raw.3"), four = state_of("raw.4");
    struct Case {
        int event;          // of the phase over sessions 1 .. 5
        long long session;  // told to expect ...
        std::string state;  // ... this state
        std::string why;
    };
    std::vector<Case> const cases = {
        {7, 2, state_of("raw.2"),
         "raw file raw.2 (it holds only 3 complete records behind its header, "
         "event 7 is record 3)"},
        {9, 3, three,
         "raw file raw.3 (it holds only 0 complete records behind its header, "
         "event 9 is record 1)"},
        {1, 0, "",
         "raw file raw.1 (it is not the file rank 0 read: " + one + " here, not named by rank 0)"},
        {1, 1, "size 8, modified 0.000000000",
         "raw file raw.1 (it is not the file rank 0 read: " + one +
             " here, size 8, modified 0.000000000 on rank 0)"},
        {12, 4, four, "raw file raw.4 (it is a directory)"},
        {16, 5, "", "raw file raw.5 (No such file or directory)"},
    };
    for (Case const& c : cases) {
        RawEventReader reader(f.settings);
        if (c.session > 0) reader.expect(c.session, c.state);
        std::vector<int16_t> got(kRecordShorts);
        std::string why;
        EXPECT_EQ(reader.read({1, 5}, &c.event, 1, got.data(), &why), 1) << c.why;
        EXPECT_EQ(why, c.why);
    }
}
