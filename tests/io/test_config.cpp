// Configuration reader: console echo, stored values, every error message,
// and the checks made after the file has been read.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <future>
#include <map>
#include <string>
#include <vector>

#include "io/config.h"
#include "test_util.h"

namespace {

struct ReadResult {
    int status;
    std::string output;
    RunSettings s;
};

ReadResult read_config(std::string const& text)
{
    write_text("zorv_mpi.ini", text);
    ReadResult r{-1, "", {}};
    r.output = capture_stdout([&] { r.status = initialize(&r.s); });
    return r;
}

const std::string kHead = "Reading configuration file: zorv_mpi.ini\n";

// The line of context after each error.
const std::string kEntry =
    "zorv_mpi.ini:1: an entry is \"key = value\", '=' standing alone between blanks\n";
const std::string kComment =
    "zorv_mpi.ini:1: a comment is \"# = text\", '=' standing alone between blanks\n";

std::string takes(int line, std::string const& key)
{
    static std::map<std::string, std::string> const what = {
        {"infile_path", "a path in double quotes, the raw files' name before \".SESSION\""},
        {"abfile_path", "a path in double quotes, the result files' name before \"0.bin\""},
        {"waveforms", "an integer, the event records in each raw file"},
        {"sessions", "two integers, first and last session"},
        {"decay_est", "two reals, the decay rate of channel A and of channel B"},
    };
    return "zorv_mpi.ini:" + std::to_string(line) + ": " + key + " takes " + what.at(key) + "\n";
}

std::string kNoKey(int line)
{
    return "zorv_mpi.ini:" + std::to_string(line) +
           ": the keys are infile_path abfile_path waveforms data_offset hist_overflow "
           "refresh_interval sessions cal_sessions decay_est bcg_est resume checkpoint_interval "
           "events_per_message worker_reads, and # for a comment\n";
}

}  // namespace

// A realistic file: comments, remarks behind values, numbers echoed as read.
TEST(Initialize, EchoesEveryEntryAndStoresTheValues)
{
    TempDir dir;
    ReadResult r = read_config(
        "# = zorv_mpi settings for the synthetic files\n"
        "infile_path = \"data/synth\"   raw files data/synth.1, data/synth.2\n"
        "abfile_path = \"out/ab\"\n"
        "waveforms = 10000 per file\n"
        "data_offset = 12\n"
        "hist_overflow = 0.05\n"
        "refresh_interval = 5.0 seconds\n"
        "sessions = 2 3\n"
        "cal_sessions = 1\t1 calibration\n"
        "decay_est = -0.0015 -1.5e-3 both channels\n"
        "bcg_est = -28000 -27990.5\n"
        "resume = 1 after a stop\n"
        "checkpoint_interval = 30.0\n"
        "events_per_message = 32\n"
        "worker_reads = 1\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output,
              kHead +
                  "  # = zorv_mpi settings for the synthetic files\n"
                  "  infile_path = \"data/synth\"   raw files data/synth.1, data/synth.2\n"
                  "  abfile_path = \"out/ab\"\n"
                  "  waveforms = 10000 per file\n"
                  "  data_offset = 12\n"
                  "  hist_overflow = 0.05\n"
                  "  refresh_interval = 5 seconds\n"
                  "  sessions = 2 3\n"
                  "  cal_sessions = 1 1 calibration\n"
                  "  decay_est = -0.0015 -0.0015 both channels\n"
                  "  bcg_est = -28000 -27990.5\n"
                  "  resume = 1 after a stop\n"
                  "  checkpoint_interval = 30\n"
                  "  events_per_message = 32\n"
                  "  worker_reads = 1\n"
                  "End of configuration file\n");
    EXPECT_EQ(r.s.infile_path, "data/synth");
    EXPECT_EQ(r.s.abfile_path, "out/ab");
    EXPECT_EQ(r.s.waveforms, 10000);
    EXPECT_EQ(r.s.data_offset, 12);
    EXPECT_EQ(r.s.hist_overflow, 0.05);
    EXPECT_EQ(r.s.refresh_interval, 5.0);
    EXPECT_EQ(r.s.start_session, 2);
    EXPECT_EQ(r.s.stop_session, 3);
    EXPECT_EQ(r.s.start_cal_session, 1);
    EXPECT_EQ(r.s.stop_cal_session, 1);
    EXPECT_EQ(r.s.decay_est[0], -0.0015);
    EXPECT_EQ(r.s.decay_est[1], -0.0015);
    EXPECT_EQ(r.s.bcg_est[0], -28000.0);
    EXPECT_EQ(r.s.bcg_est[1], -27990.5);
    EXPECT_EQ(r.s.resume, 1);
    EXPECT_EQ(r.s.checkpoint_interval, 30.0);
    EXPECT_EQ(r.s.events_per_message, 32);
    EXPECT_EQ(r.s.worker_reads, 1);
}

// Layout freedoms: empty file, numbers on a later line, repeated keys,
// a file without a final line break.
TEST(Initialize, AcceptsTheLayoutFreedomsOfScanf)
{
    TempDir dir;
    ReadResult r = read_config("");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, kHead + "End of configuration file\n");
    EXPECT_EQ(r.s.waveforms, 0);
    EXPECT_EQ(r.s.infile_path, "");

    r = read_config("waveforms =\n\n  250 later line\nwaveforms = 300");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, kHead + "  waveforms = 250 later line\n  waveforms = 300\nEnd of configuration file\n");
    EXPECT_EQ(r.s.waveforms, 300);

    r = read_config("sessions = 4\n 7\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.s.start_session, 4);
    EXPECT_EQ(r.s.stop_session, 7);

    // A quoted path may hold blanks and even a line break.
    r = read_config("infile_path = \t\"a b\nc\"\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.s.infile_path, "a b\nc");
}

// Every message of the failure table, after the partial echo of its entry.
TEST(Initialize, ReportsEachErrorAfterThePartialEcho)
{
    TempDir dir;
    {
        ReadResult r{0, "", {}};
        r.output = capture_stdout([&] { r.status = initialize(&r.s); });
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.output, kHead + "Error: Cannot open inifile: zorv_mpi.ini\n");
    }

    ReadResult r = read_config("#comment without blank\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output, kHead + "  #comment\nError: Missing '=' sign\n" + kComment);

    r = read_config("waveforms=10\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output, kHead + "  waveforms=10\nError: Missing '=' sign\n" + kEntry);

    r = read_config("waveforms");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output, kHead + "  waveforms\nError: Missing '=' sign\n" + kEntry);

    r = read_config("Waveforms = 10\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output, kHead + "  Waveforms =\nError: Unknown description: Waveforms\n"
                                "zorv_mpi.ini:1: did you mean 'waveforms'?\n");

    r = read_config("waveforms = ten\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output, kHead + "  waveforms =\nError: Cannot read value\n" + takes(1, "waveforms"));

    r = read_config("decay_est = -0.001 oops\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output, kHead + "  decay_est = -0.001\nError: Cannot read value\n" + takes(1, "decay_est"));
    EXPECT_EQ(r.s.decay_est[0], -0.001);  // stored before the error, stays stored

    r = read_config("sessions = 1\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output, kHead + "  sessions =\nError: Cannot read value\n" + takes(1, "sessions"));

    r = read_config("infile_path =\n\"next/line\"\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output, kHead + "  infile_path =\nError: Unexpected character: \n\n\nError: Cannot read value\n" +
                            takes(1, "infile_path"));

    r = read_config("abfile_path = out\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output, kHead + "  abfile_path =\nError: Unexpected character: o\n\nError: Cannot read value\n" +
                            takes(1, "abfile_path"));

    r = read_config("abfile_path = \"never closed\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output, kHead + "  abfile_path =\nError: Unexpected end of file\n\nError: Cannot read value\n" +
                            takes(1, "abfile_path"));

    // Entries before the failing one are echoed and kept.
    r = read_config("waveforms = 5\n# = ok\nbogus = 1\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output, kHead + "  waveforms = 5\n  # = ok\n  bogus =\nError: Unknown description: bogus\n" +
                            kNoKey(3));
    EXPECT_EQ(r.s.waveforms, 5);
}

// The line after an error: the entry's line, counted through comments,
// blank lines, CRLF ends and a byte-order mark, and what would be right:
// the closest key when one is a slip away, else the list of keys.
TEST(Initialize, SaysWhereAndWhatAfterEachError)
{
    struct Row {
        char const* text;
        std::string context;  // the last line of the output
    };
    std::vector<Row> const rows = {
        {"waveforms = 5\n# = ok\n\nWavefroms = 1\n", "zorv_mpi.ini:4: did you mean 'waveforms'?"},
        {"sesions = 1 2\n", "zorv_mpi.ini:1: did you mean 'sessions'?"},
        {"cal_session = 1 2\n", "zorv_mpi.ini:1: did you mean 'cal_sessions'?"},
        {"CHECKPOINT_INTERVAL = 5\n", "zorv_mpi.ini:1: did you mean 'checkpoint_interval'?"},
        {"worker_read = 1\n", "zorv_mpi.ini:1: did you mean 'worker_reads'?"},
        {"bcg = 1 2\n", kNoKey(1).substr(0, kNoKey(1).size() - 1)},
        {"ab = 1\n", kNoKey(1).substr(0, kNoKey(1).size() - 1)},
        {"\xEF\xBB\xBF# = a\r\n\r\nresume = x\r\n",
         "zorv_mpi.ini:3: resume takes an integer, 1 to continue from the checkpoint or 0"},
        {"sessions =\n\n 4 x\n", "zorv_mpi.ini:1: sessions takes two integers, first and last session"},
        {"waveforms = 3\n  waveforms\n", "zorv_mpi.ini:2: an entry is \"key = value\", '=' standing alone "
                                          "between blanks"},
    };
    TempDir dir;
    for (Row const& row : rows) {
        ReadResult r = read_config(row.text);
        EXPECT_EQ(r.status, 1) << row.text;
        std::string const last = row.context + "\n";
        ASSERT_GE(r.output.size(), last.size()) << row.text;
        EXPECT_EQ(r.output.substr(r.output.size() - last.size()), last) << row.text;
    }
}

// The keys the file set, once each in the order of their first entry:
// comments are none, and a key the file leaves out runs with its default.
TEST(Initialize, RecordsWhichKeysTheFileSet)
{
    TempDir dir;
    ReadResult r = read_config("# = a\nwaveforms = 3\nbcg_est = 0 0\nwaveforms = 4\nresume = 0\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.s.keys_set, (std::vector<std::string>{"waveforms", "bcg_est", "resume"}));
    EXPECT_TRUE(r.s.sets("bcg_est"));
    EXPECT_FALSE(r.s.sets("decay_est"));
    EXPECT_TRUE(read_config("").s.keys_set.empty());
}

// A folder or a FIFO by the name of the file is refused at once, by name:
// fopen would take the folder for an empty file and wait on the FIFO.
TEST(Initialize, RefusesWhatIsNotARegularFile)
{
    TempDir dir;
    ASSERT_EQ(mkdir("zorv_mpi.ini", 0700), 0);
    ReadResult r{-1, "", {}};
    r.output = capture_stdout([&] { r.status = initialize(&r.s); });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output, kHead + "Error: Cannot open inifile: zorv_mpi.ini (it is a directory)\n");

    ASSERT_EQ(rmdir("zorv_mpi.ini"), 0);
    ASSERT_EQ(mkfifo("zorv_mpi.ini", 0600), 0);
    r.output = capture_stdout([&] { r.status = initialize(&r.s); });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output, kHead + "Error: Cannot open inifile: zorv_mpi.ini (it is not a regular file)\n");
}

// Nothing longer than the 256-byte buffers is ever stored.
TEST(Initialize, RefusesTokensAndPathsLongerThanTheBuffers)
{
    TempDir dir;
    std::string long_key(300, 'k');
    ReadResult r = read_config(long_key + " = 1\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output, kHead + "  " + std::string(255, 'k') + "\nError: Token longer than 255 characters\n" +
                            "zorv_mpi.ini:1: a key is one word of at most 255 characters\n");

    r = read_config("infile_path = \"" + std::string(255, 'p') + "\"\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.s.infile_path.size(), 255u);

    r = read_config("infile_path = \"" + std::string(256, 'p') + "\"\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output, kHead + "  infile_path =\nError: Quoted string longer than 255 characters\n"
                                "\nError: Cannot read value\n" + takes(1, "infile_path"));
    EXPECT_EQ(r.s.infile_path.size(), 255u);
}

// A value must be a whole word: text glued to it, an integer outside 32 bits
// and a real that is not finite are refused at the entry, after its partial
// echo. Each failing row also goes through zorv_mpi (hence the suite name of
// the MPI tests), at the end of a file that would otherwise run: it must stop
// there and write nothing.
TEST(InitializeMpi, RefusesValuesThatAreNotExactlyWhatIsWritten)
{
    struct Row {
        char const* text;
        char const* output;  // behind the first line
        int status;
    };
    std::string const bad = "\nError: Cannot read value\n";
    std::vector<Row> const rows = {
        // glued text, every kind of value
        {"waveforms = 10,000\n", "  waveforms =", 1},
        {"waveforms = 3e2\n", "  waveforms =", 1},
        {"data_offset = 1.5\n", "  data_offset =", 1},
        {"data_offset = 0x10\n", "  data_offset =", 1},
        {"resume = 1;\n", "  resume =", 1},
        {"waveforms = 10x", "  waveforms =", 1},
        {"hist_overflow = 0.05%\n", "  hist_overflow =", 1},
        {"refresh_interval = 5s\n", "  refresh_interval =", 1},
        {"checkpoint_interval = 1e+ 5\n", "  checkpoint_interval =", 1},
        {"sessions = 2 2,3\n", "  sessions =", 1},
        {"cal_sessions = 1,2 3\n", "  cal_sessions =", 1},
        {"decay_est = -0.0015x -0.0015\n", "  decay_est =", 1},
        {"bcg_est = 0 0;\n", "  bcg_est = 0", 1},
        {"infile_path = \"raw\".zvx\n", "  infile_path =", 1},
        {"events_per_message = 32x\n", "  events_per_message =", 1},
        {"worker_reads = 1.0\n", "  worker_reads =", 1},
        // integers outside 32 bits, every integer key
        {"waveforms = 99999999999\n", "  waveforms =", 1},
        {"waveforms = 4294967596\n", "  waveforms =", 1},
        {"data_offset = -2147483649\n", "  data_offset =", 1},
        {"resume = 2147483648\n", "  resume =", 1},
        {"sessions = 1 4294967297\n", "  sessions =", 1},
        {"cal_sessions = 99999999999999999999999 1\n", "  cal_sessions =", 1},
        // reals that overflow, or are not finite as written
        {"hist_overflow = 1e400\n", "  hist_overflow =", 1},
        {"refresh_interval = inf\n", "  refresh_interval =", 1},
        {"checkpoint_interval = -1e309\n", "  checkpoint_interval =", 1},
        {"decay_est = -0.0015 1e400\n", "  decay_est = -0.0015", 1},
        {"bcg_est = -1e400 0\n", "  bcg_est =", 1},
        {"bcg_est = nan 0\n", "  bcg_est =", 1},
        // still read: the extremes of 32 bits, underflow to 0, CRLF line
        // ends, a byte-order mark in front of the first key
        {"sessions = -2147483648 2147483647\n", "  sessions = -2147483648 2147483647\n", 0},
        {"hist_overflow = 1e-400 rounds to 0\n", "  hist_overflow = 0 rounds to 0\n", 0},
        {"waveforms = 10\r\nbcg_est = 1\r\n 2\r\n", "  waveforms = 10\r\n  bcg_est = 1 2\r\n", 0},
        {"\xEF\xBB\xBFwaveforms = 10\n", "  waveforms = 10\n", 0},
    };

    TempDir dir;
    std::string const runnable =
        "infile_path = \"raw\"\nabfile_path = \"ab\"\nwaveforms = 3\ndata_offset = 12\n"
        "hist_overflow = 0.05\nrefresh_interval = 1\nsessions = 2 2\ncal_sessions = 1 1\n"
        "decay_est = -0.0015 -0.0015\nbcg_est = 0 0\n";
    std::string kernel;
    for (int i = 0; i < 17; ++i) kernel += std::to_string(i) + " 1\n";

    std::vector<std::future<CommandResult>> runs(rows.size());
    // After the error, one line: the entry's line and what its key takes.
    auto context = [](Row const& row, int line) {
        std::string key = row.text;
        key = key.substr(0, key.find(' '));
        return "zorv_mpi.ini:" + std::to_string(line) + ": " + key + " takes ";
    };
    auto ends_with_one_line = [](std::string const& text, std::string const& head) {
        size_t at = text.rfind(head);
        return at != std::string::npos && text.find('\n', at + head.size()) == text.size() - 1;
    };
    for (size_t i = 0; i < rows.size(); ++i) {
        Row const& row = rows[i];
        std::string expected =
            row.output + (row.status ? bad + context(row, 1) : "End of configuration file\n");
        ReadResult r = read_config(row.text);
        EXPECT_EQ(r.status, row.status) << row.text;
        if (row.status == 0) {
            EXPECT_EQ(r.output, kHead + expected) << row.text;
            continue;
        }
        EXPECT_EQ(r.output.rfind(kHead + expected, 0), 0u) << row.text << r.output;
        EXPECT_TRUE(ends_with_one_line(r.output, expected)) << row.text << r.output;
        std::string run_dir = dir.file(("run" + std::to_string(i)).c_str());
        ASSERT_EQ(mkdir(run_dir.c_str(), 0700), 0);
        write_text(run_dir + "/win.txt", kernel);
        write_text(run_dir + "/zorv_mpi.ini", runnable + row.text);
        runs[i] = std::async(std::launch::async, [run_dir] { return run_mpi(2, ZORV_MPI_EXE, run_dir); });
    }
    for (size_t i = 0; i < rows.size(); ++i) {
        if (!runs[i].valid()) continue;
        CommandResult r = runs[i].get();
        // The row is the file's eleventh line.
        std::string tail = std::string(rows[i].output) + bad + context(rows[i], 11);
        std::string run_dir = dir.file(("run" + std::to_string(i)).c_str());
        EXPECT_NE(r.status, 0) << rows[i].text;
        EXPECT_TRUE(ends_with_one_line(r.output, tail)) << rows[i].text << r.output;
        for (char const* out : {"/ab0.bin", "/ab1.bin", "/decay0.txt", "/decay1.txt", "/fit.txt"})
            EXPECT_FALSE(file_exists(run_dir + out)) << rows[i].text << out;
    }
}

TEST(CompareStr, IsExactWholeStringEquality)
{
    EXPECT_TRUE(compare_str("waveforms", "waveforms"));
    EXPECT_FALSE(compare_str("waveforms", "waveform"));
    EXPECT_FALSE(compare_str("waveform", "waveforms"));
    EXPECT_FALSE(compare_str("Waveforms", "waveforms"));
    EXPECT_TRUE(compare_str("", ""));
}

// The settings later stages rely on are checked once the file is read.
TEST(ValidateConfig, RefusesUnusableSettingsWithOneMessage)
{
    RunSettings s;
    auto usable = [&s] {
        s = RunSettings();
        s.waveforms = 100;
        s.data_offset = 12;
        s.infile_path = "raw";
        s.abfile_path = "ab";
        s.hist_overflow = 0.05;
        s.start_session = 2;
        s.stop_session = 2;
        s.start_cal_session = 1;
        s.stop_cal_session = 1;
    };
    auto check = [&s](std::string const& expected) {
        int status = -1;
        std::string out = capture_stdout([&] { status = validate_config(s); });
        EXPECT_EQ(status, expected.empty() ? 0 : 1) << expected;
        EXPECT_EQ(out, expected);
    };

    usable();
    check("");

    usable();
    s.start_session = 3;
    s.start_cal_session = 2;  // both reversed: the processing range is named
    check("Error: Stop_session number must be larger than start_session number\n");
    usable();
    s.start_cal_session = 2;
    check("Error: Stop_cal_session number must be larger than start_cal_session number\n");
    usable();
    s.waveforms = 0;
    check("Error: waveforms must be at least 1 (it is 0)\n");
    usable();
    s.data_offset = -1;
    check("Error: data_offset must not be negative (it is -1)\n");
    usable();
    s.infile_path.clear();
    check("Error: infile_path is not set\n");
    usable();
    s.abfile_path.clear();
    check("Error: abfile_path is not set\n");
    usable();
    s.hist_overflow = 0.5;
    check("Error: hist_overflow must lie in 0 <= hist_overflow < 0.5 (it is 0.5)\n");
    usable();
    s.hist_overflow = -0.01;
    check("Error: hist_overflow must lie in 0 <= hist_overflow < 0.5 (it is -0.01)\n");
    usable();
    s.resume = 2;
    check("Error: resume must be 0 or 1 (it is 2)\n");
    usable();
    s.checkpoint_interval = -1.0;
    check("Error: checkpoint_interval must lie in 0 <= checkpoint_interval <= 1e9 seconds (it is -1)\n");
    struct Farm {
        int events_per_message, worker_reads;
        char const* message;
    } const farms[] = {
        {0, 0, "Error: events_per_message must lie in 1 .. 4096 (it is 0)\n"},
        {-5, 0, "Error: events_per_message must lie in 1 .. 4096 (it is -5)\n"},
        {4097, 0, "Error: events_per_message must lie in 1 .. 4096 (it is 4097)\n"},
        {4096, 2, "Error: worker_reads must be 0 or 1 (it is 2)\n"},
        {1, -1, "Error: worker_reads must be 0 or 1 (it is -1)\n"},
        {4096, 1, ""},
    };
    for (Farm const& f : farms) {
        usable();
        s.events_per_message = f.events_per_message;
        s.worker_reads = f.worker_reads;
        check(f.message);
    }
    usable();
    s.resume = 1;
    s.checkpoint_interval = 0.0;
    check(
        "Error: resume = 1 needs a checkpoint, and checkpoint_interval = 0 keeps none; set "
        "checkpoint_interval above 0\n");
    usable();
    s.waveforms = 1000000000;
    s.stop_session = 4;
    check("Error: Sessions 2 to 4 hold 3000000000 events, more than 2147483647\n");
    usable();
    s.infile_path = std::string(252, 'r');
    s.stop_session = 10;  // "rrr...r.10" is 255 characters: still fits
    check("");
    s.stop_session = 100;
    check("Error: Raw file name for session 100 is longer than 255 characters\n");
    usable();
    s.abfile_path = std::string(251, 'a');
    check("Error: Result file name is longer than 255 characters\n");
}
