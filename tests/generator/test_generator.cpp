// zorv_gen: the single-pulse model, parameter draws, samples and events, and
// one run of the real program with every fact its files must show.
#include "generator/random.h"
#include "generator/synth.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "test_util.h"

using zorv_synth::f;

namespace fs = std::filesystem;

namespace {

void reseed()
{
    generator_state = 1;
    normal_state = 0;
    normal_value = 0.0;
}

// Lehmer state after k steps from the seed 1, by plain 64-bit arithmetic.
std::int64_t state_after(int k)
{
    std::int64_t s = 1;
    for (int i = 0; i < k; ++i)
        s = s * 69621 % 2147483647;
    return s;
}

struct RunResult {
    int status;
    std::string console;
    std::string errors;  // standard error
};

// Runs zorv_gen in dir with the arguments args (shell words), its console
// and standard error captured and removed from dir.
RunResult run_zorv_gen(TempDir const& dir, std::string const& args = "")
{
    std::string out = dir.file("console.out");
    std::string err = dir.file("console.err");
    std::string cmd = "cd '" + dir.path() + "' && '" ZORV_GEN_EXE "' " + args + " > '" + out +
                      "' 2> '" + err + "'";
    int rc = std::system(cmd.c_str());
    RunResult r;
    r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    r.console = read_text(out);
    r.errors = read_text(err);
    fs::remove(out);
    fs::remove(err);
    return r;
}

// --- Single-pulse model -------------------------------------------------------

// Long after the pulse the erf term is -1: f = A exp((x - t) l + l^2 s^2 / 2)
// + B + C exp(l x).
TEST(SinglePulse, AfterThePulse)
{
    double p[6] = {1000.0, -0.01, 5.0, 100.0, 2.0, 3.0};
    double expected = 1000.0 * std::exp(-1.0 + 0.5 * 1e-4 * 4.0) + 5.0 + 3.0 * std::exp(-2.0);
    EXPECT_NEAR(f(200.0, p), expected, 1e-9);
}

// Long before the pulse only baseline and tail remain.
TEST(SinglePulse, BeforeThePulse)
{
    double p[6] = {1000.0, -0.01, 5.0, 500.0, 2.0, 3.0};
    EXPECT_NEAR(f(10.0, p), 5.0 + 3.0 * std::exp(-0.1), 1e-12);
}

// Without amplitude and tail the model is the baseline.
TEST(SinglePulse, BaselineOnly)
{
    double p[6] = {0.0, -0.0015, -28000.0, 1250.0, 3.0, 0.0};
    EXPECT_EQ(f(1250.0, p), -28000.0);
}

// At the position, with l s^2 small, the pulse is about half its amplitude:
// erf(-l s / sqrt 2) ~ 0 and exp(l^2 s^2 / 2) ~ 1.
TEST(SinglePulse, HalfHeightAtPosition)
{
    double p[6] = {1000.0, -1e-4, 0.0, 100.0, 1.0, 0.0};
    EXPECT_NEAR(f(100.0, p), 500.0, 0.1);
}

// The tail is measured from x = 0, not from the pulse position.
TEST(SinglePulse, TailFromZero)
{
    double p[6] = {0.0, -0.5, 0.0, 1000.0, 2.0, 10.0};
    EXPECT_NEAR(f(2.0, p), 10.0 * std::exp(-1.0), 1e-12);
}

// --- Parameter draws ----------------------------------------------------------

// From the seed 1 the first uniform (3.24e-05) picks the 15330 line: three
// uniforms and four normals, that is 3 + 4 = 7 steps, nothing left cached.
// The next set's first uniform is about 0.45 and picks the 38236 line.
TEST(GenerateParams, SeedOneTakesBothLines)
{
    reseed();
    double a[6];
    generate_params(a);
    EXPECT_NEAR(a[0], 15330.0, 15330.0 * 0.015);
    EXPECT_EQ(generator_state, state_after(7));
    EXPECT_EQ(normal_state, 0);

    double u = static_cast<double>(state_after(8)) / 2147483647.0;
    EXPECT_GT(u, 0.3);
    EXPECT_LT(u, 0.5);
    EXPECT_NEAR(u, 0.45, 0.05);

    double b[6];
    generate_params(b);
    EXPECT_NEAR(b[0], 38236.0, 38236.0 * 0.0075);
    EXPECT_EQ(generator_state, state_after(14));

    for (double* p : {a, b}) {
        EXPECT_NEAR(p[1], -0.0015, 0.0015 * 0.0025);
        EXPECT_NEAR(p[2], -28000.0, 28000.0 * 0.25);
        EXPECT_NEAR(p[3], 1250.0, 1250.0 * 0.25);
        EXPECT_GT(p[4], 1.0);
        EXPECT_LT(p[4], 5.0);
        EXPECT_GT(p[5], 0.0);
        EXPECT_LT(p[5], 10000.0);
    }
}

// The continuum takes four uniforms and three normals: 4 + 4 = 8 steps, and
// the third normal leaves its partner cached.
TEST(GenerateParams, ContinuumDrawCount)
{
    // A seed whose first uniform is at least 0.5.
    std::int32_t seed = 1;
    while (static_cast<double>(static_cast<std::int64_t>(seed) * 69621 % 2147483647) / 2147483647.0 < 0.5)
        ++seed;
    reseed();
    generator_state = seed;
    double p[6];
    generate_params(p);
    EXPECT_GE(p[0], 12000.0);
    EXPECT_LE(p[0], 42000.0);
    EXPECT_EQ(normal_state, 1);
    std::int64_t s = seed;
    for (int i = 0; i < 8; ++i)
        s = s * 69621 % 2147483647;
    EXPECT_EQ(generator_state, s);
}

// Over many draws the amplitude comes 30 % from the low line, 20 % from the
// high line, 50 % from the continuum, and width and tail stay in range.
TEST(GenerateParams, Mixture)
{
    reseed();
    const int N = 20000;
    int low = 0, high = 0, flat = 0;
    for (int i = 0; i < N; ++i) {
        double p[6];
        generate_params(p);
        if (std::fabs(p[0] / 15330.0 - 1.0) < 0.02)
            ++low;
        else if (std::fabs(p[0] / 38236.0 - 1.0) < 0.01)
            ++high;
        else
            ++flat;
        ASSERT_GE(p[4], 1.0);
        ASSERT_LE(p[4], 5.0);
        ASSERT_GE(p[5], 0.0);
        ASSERT_LE(p[5], 10000.0);
        ASSERT_LT(p[1], 0.0);
    }
    // The continuum also puts a few values near the lines (about 1 % of it).
    EXPECT_NEAR(low / double(N), 0.3 + 0.5 * 613.0 / 30000.0, 0.015);
    EXPECT_NEAR(high / double(N), 0.2 + 0.5 * 764.0 / 30000.0, 0.015);
    EXPECT_NEAR(flat / double(N), 0.5 * (1.0 - 1377.0 / 30000.0), 0.015);
}

// --- Samples ------------------------------------------------------------------

// Truncation toward zero, then the low 16 bits: -32800 is stored as 32736.
TEST(Sample, TruncationAndWrap)
{
    EXPECT_EQ(to_sample(-32800.0), 32736);
    EXPECT_EQ(to_sample(-32800.9), 32736);
    EXPECT_EQ(to_sample(1.9), 1);
    EXPECT_EQ(to_sample(-1.9), -1);
    EXPECT_EQ(to_sample(-0.5), 0);
    EXPECT_EQ(to_sample(32767.9), 32767);
    EXPECT_EQ(to_sample(-32768.9), -32768);
    EXPECT_EQ(to_sample(32768.0), -32768);
    EXPECT_EQ(to_sample(-32769.0), 32767);
    EXPECT_EQ(to_sample(70000.0), 70000 - 65536);
}

// Little-endian bytes: -1000 is 0x18 0xFC, 1000 is 0xE8 0x03.
TEST(Sample, RecordBytes)
{
    std::vector<std::int16_t> s(kRecordShorts, 0);
    s[0] = -1000;
    s[1] = 1000;
    s[4999] = -2;
    std::vector<unsigned char> r(kRecordBytes);
    encode_event(s.data(), r.data());
    EXPECT_EQ(r[0], 0x18);
    EXPECT_EQ(r[1], 0xFC);
    EXPECT_EQ(r[2], 0xE8);
    EXPECT_EQ(r[3], 0x03);
    EXPECT_EQ(r[9998], 0xFE);
    EXPECT_EQ(r[9999], 0xFF);
}

// --- Events -------------------------------------------------------------------

// The example event from the seed 1: first line 0 -21533 -21309. Both sets
// come from the lines (7 steps each) and the 5,000 noise draws are 2,500
// pairs: 5,014 steps, nothing cached, so the next phase starts clean.
TEST(Event, ExampleEventFromSeedOne)
{
    reseed();
    std::vector<std::int16_t> s(kRecordShorts);
    make_event(s.data());
    EXPECT_EQ(s[0], -21533);
    EXPECT_EQ(s[1], -21309);
    EXPECT_EQ(generator_state, state_after(5014));
    EXPECT_EQ(normal_state, 0);
}

// Noise is drawn A, B, A, B: with the noise removed, the samples follow the
// two pulse shapes; the residuals have standard deviation 50.
TEST(Event, NoiseAroundTheModel)
{
    reseed();
    double a[6], b[6];
    generate_params(a);
    generate_params(b);
    reseed();
    std::vector<std::int16_t> s(kRecordShorts);
    make_event(s.data());
    double sa = 0.0, sb = 0.0;
    for (int j = 0; j < kSamples; ++j) {
        double ra = s[2 * j] - f(j, a);
        double rb = s[2 * j + 1] - f(j, b);
        sa += ra * ra;
        sb += rb * rb;
    }
    EXPECT_NEAR(std::sqrt(sa / kSamples), 50.0, 3.0);
    EXPECT_NEAR(std::sqrt(sb / kSamples), 50.0, 3.0);
}

// --- The program --------------------------------------------------------------

// --help and -h, also beside another argument, print what a run writes and
// where, and write nothing: a run would put 200 MB over files of those names.
TEST(ZorvGen, HelpWritesNothing)
{
    for (char const* args : {"--help", "-h", "foo -h"}) {
        TempDir dir;
        RunResult r = run_zorv_gen(dir, args);
        EXPECT_EQ(r.status, 0) << args;
        EXPECT_EQ(r.console,
                  "Usage: zorv_gen [-o DIR]\n"
                  "\n"
                  "Writes four files into the current folder (DIR with -o), over any files of\n"
                  "these names (about 200 MB, a few seconds):\n"
                  "  zorv_gen_test.txt     test of the random number generator: 1,601 lines\n"
                  "                        \"position uniform-count normal-count\"\n"
                  "  zorv_gen_example.txt  one example event: 2,500 lines \"sample A B\"\n"
                  "  synth-1.zvx           10,000 synthetic events in the raw layout zorv_mpi\n"
                  "                        reads: 100,000,012 bytes, a 12-byte header of zeros,\n"
                  "                        then records of 10,000 bytes\n"
                  "  synth-1.sgl           a second copy of synth-1.zvx, byte for byte\n"
                  "\n"
                  "Every run writes the same bytes (seed 1).\n"
                  "\n"
                  "Options:\n"
                  "  -o, --output DIR  write the files into DIR instead, made if missing\n"
                  "  -h, --help        print this text and exit; writes nothing\n"
                  "  --version         print the version and exit\n"
                  "\n"
                  "Exit status: 0 written, 1 a file that could not be written, 2 bad command line.\n")
            << args;
        EXPECT_EQ(r.errors, "") << args;
        EXPECT_TRUE(fs::is_empty(dir.path())) << args;
    }
}

// One real run (it writes 200 MB): console, the four files and everything
// they must hold. It writes into a folder of its own, which -o makes, and
// nothing beside it.
TEST(ZorvGen, RealRun)
{
    TempDir top;
    RunResult r = run_zorv_gen(top, "-o out");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.console,
              "Testing random number generator...\n"
              "Generating synthetic data:\n"
              "synth-1.zvx, synth-1.sgl\n");
    EXPECT_EQ(r.errors, "");
    std::vector<std::string> names;
    for (auto const& entry : fs::directory_iterator(top.path())) names.push_back(entry.path().filename());
    EXPECT_EQ(names, std::vector<std::string>{"out"});
    struct OutDir {
        std::string path;
        std::string file(char const* name) const { return path + "/" + name; }
    } const dir{top.file("out")};

    // Generator test histogram: 1,601 lines of position and two counts.
    {
        std::ifstream in(dir.file("zorv_gen_test.txt"));
        std::string line;
        int n = 0;
        double sum0 = 0.0, sum1 = 0.0;
        int first_nonzero = -1, last_nonzero = -1;
        while (std::getline(in, line)) {
            if (n == 0) {
                EXPECT_EQ(line, "-8.000000 0.000000 0.000000");
            }
            if (n == 800) {
                EXPECT_EQ(line.rfind("0.000000 ", 0), 0u) << line;
            }
            if (n == 1600) {
                EXPECT_EQ(line.rfind("8.000000 ", 0), 0u) << line;
            }
            double x, c0, c1;
            std::istringstream ls(line);
            ASSERT_TRUE(ls >> x >> c0 >> c1) << line;
            EXPECT_TRUE(ls.eof() || (ls >> std::ws).eof());
            sum0 += c0;
            sum1 += c1;
            if (c0 != 0.0) {
                if (first_nonzero < 0)
                    first_nonzero = n;
                last_nonzero = n;
            }
            ++n;
        }
        EXPECT_EQ(n, 1601);
        EXPECT_EQ(sum0, 1000000.0);
        EXPECT_EQ(sum1, 1000000.0);
        EXPECT_GE(first_nonzero, 800);
        EXPECT_LE(last_nonzero, 900);
        // 10,000 uniforms per bin of 0.01 on average: the end bins are half bins.
        EXPECT_EQ(first_nonzero, 800);
        EXPECT_EQ(last_nonzero, 900);
    }

    // Example event: 2,500 lines "j a b".
    std::vector<std::int16_t> example;
    {
        std::ifstream in(dir.file("zorv_gen_example.txt"));
        std::string line;
        int n = 0;
        while (std::getline(in, line)) {
            if (n == 0) {
                EXPECT_EQ(line, "0 -21533 -21309");
            }
            int j, a, b;
            std::istringstream ls(line);
            ASSERT_TRUE(ls >> j >> a >> b) << line;
            EXPECT_EQ(j, n);
            example.push_back(static_cast<std::int16_t>(a));
            example.push_back(static_cast<std::int16_t>(b));
            ++n;
        }
        EXPECT_EQ(n, 2500);
    }
    ASSERT_EQ(example.size(), 5000u);

    // Synthetic files: 12 + 10,000 x 10,000 bytes, identical, 12 zero bytes,
    // then the example event, then the events of the same stream.
    std::string zvx = dir.file("synth-1.zvx");
    std::string sgl = dir.file("synth-1.sgl");
    EXPECT_EQ(fs::file_size(zvx), 100000012u);
    EXPECT_EQ(fs::file_size(sgl), 100000012u);

    std::ifstream fz(zvx, std::ios::binary);
    std::ifstream fs_(sgl, std::ios::binary);
    std::vector<char> hz(12), hs(12);
    fz.read(hz.data(), 12);
    fs_.read(hs.data(), 12);
    EXPECT_EQ(hz, std::vector<char>(12, 0));
    EXPECT_EQ(hs, std::vector<char>(12, 0));

    // The program's events regenerated here from the seed 1.
    reseed();
    std::vector<std::int16_t> s(kRecordShorts);
    std::vector<unsigned char> expected(kRecordBytes);
    std::vector<char> rz(kRecordBytes), rs(kRecordBytes);
    int mismatched = 0, different_copies = 0, wrapped_events = 0;
    for (int e = 0; e < 10000; ++e) {
        fz.read(rz.data(), kRecordBytes);
        fs_.read(rs.data(), kRecordBytes);
        ASSERT_TRUE(fz && fs_) << "event " << e;
        if (rz != rs)
            ++different_copies;
        make_event(s.data());
        encode_event(s.data(), expected.data());
        if (std::memcmp(expected.data(), rz.data(), kRecordBytes) != 0) ++mismatched;
        if (e == 0) {
            // First 10,012 bytes: header plus the example event, A then B.
            for (int k = 0; k < 5000; ++k) {
                auto lo = static_cast<unsigned char>(rz[2 * k]);
                auto hi = static_cast<unsigned char>(rz[2 * k + 1]);
                auto v = static_cast<std::int16_t>(static_cast<std::uint16_t>(lo | hi << 8));
                ASSERT_EQ(v, example[k]) << "sample " << k;
            }
        }
        // A wrapped sample shows as a jump of more than half the 16-bit
        // range between neighbours of the same channel.
        bool wrapped = false;
        for (int k = 2; k < 5000 && !wrapped; ++k) {
            auto v = [&](int i) {
                return static_cast<std::int16_t>(static_cast<std::uint16_t>(
                    static_cast<unsigned char>(rz[2 * i]) | static_cast<unsigned char>(rz[2 * i + 1]) << 8));
            };
            if (std::abs(v(k) - v(k - 2)) > 32768)
                wrapped = true;
        }
        if (wrapped)
            ++wrapped_events;
    }
    EXPECT_EQ(different_copies, 0);
    EXPECT_EQ(mismatched, 0);
    // A baseline 3.4 standard deviations low happens in a few of 20,000 channels.
    EXPECT_GE(wrapped_events, 1);
    EXPECT_LE(wrapped_events, 20);
    char extra;
    EXPECT_FALSE(fz.read(&extra, 1));
}

// --- Output failures ----------------------------------------------------------

// The test histogram file cannot be created: message, status 1, nothing else.
TEST(ZorvGenFailure, TestFileCannotBeOpened)
{
    TempDir dir;
    fs::create_directory(dir.file("zorv_gen_test.txt"));
    RunResult r = run_zorv_gen(dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.console,
              "Testing random number generator...\n"
              "Error: Cannot open file 'zorv_gen_test.txt' for writing\n");
    EXPECT_FALSE(fs::exists(dir.file("zorv_gen_example.txt")));
    EXPECT_FALSE(fs::exists(dir.file("synth-1.zvx")));
}

// The example file lands on a full disk.
TEST(ZorvGenFailure, ExampleFileDiskFull)
{
    if (!fs::exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    TempDir dir;
    fs::create_symlink("/dev/full", dir.file("zorv_gen_example.txt"));
    RunResult r = run_zorv_gen(dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.console,
              "Testing random number generator...\n"
              "Error: Cannot write file 'zorv_gen_example.txt'\n");
    EXPECT_FALSE(fs::exists(dir.file("synth-1.zvx")));
}

// The first synthetic file cannot be created.
TEST(ZorvGenFailure, SyntheticFileCannotBeOpened)
{
    TempDir dir;
    fs::create_directory(dir.file("synth-1.zvx"));
    RunResult r = run_zorv_gen(dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.console,
              "Testing random number generator...\n"
              "Generating synthetic data:\n"
              "synth-1.zvx, \n"
              "Error: Cannot open file 'synth-1.zvx' for writing\n");
    EXPECT_FALSE(fs::exists(dir.file("synth-1.sgl")));
}

// The second synthetic file lands on a full disk: the run stops at the first
// failed write instead of computing 10,000 events for nothing.
TEST(ZorvGenFailure, SecondSyntheticFileDiskFull)
{
    if (!fs::exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    TempDir dir;
    fs::create_symlink("/dev/full", dir.file("synth-1.sgl"));
    RunResult r = run_zorv_gen(dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.console,
              "Testing random number generator...\n"
              "Generating synthetic data:\n"
              "synth-1.zvx, synth-1.sgl\n"
              "Error: Cannot write file 'synth-1.sgl'\n");
    EXPECT_LT(fs::file_size(dir.file("synth-1.zvx")), 1000000u);
}

} // namespace
