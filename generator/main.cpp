/*
 * zorv_gen: tests the random number generator, writes one example event as
 * text and a synthetic raw waveform file of 10,000 events with an identical
 * second copy, in the layout zorv_mpi reads (12-byte header of zeros, then
 * 10,000-byte event records).
 *
 * Every phase starts from the seed 1, so the first event of the synthetic
 * files is the example event, and two runs write identical files. The
 * synthetic files are streamed one event record at a time; nothing close to
 * the 100 MB of a file is ever held in memory.
 *
 * An output file that cannot be created or written stops the run with an
 * "Error: " line naming it and the exit status 1: a truncated raw file must
 * not pass for a good one.
 *
 * Without arguments it writes into the current folder; -o DIR (--output
 * DIR) writes the same files into DIR instead, made if it is missing. Since a
 * run writes 200 MB over any files of the same names, --help and -h only
 * print what it writes and where, and --version the version; neither writes
 * anything. Any other argument is a usage error: one line naming it, the
 * usage, status 2, and nothing written.
 */
#include "histogram/histogram1d.h"
#include "generator/random.h"
#include "generator/synth.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "zorv_version.h"

namespace {

constexpr int kTestDraws = 1000000;
constexpr int kSyntheticEvents = 10000;
constexpr int kHeaderBytes = 12;

// The help text states the sizes in words; they must stay those of the constants.
static_assert(kHeaderBytes + kSyntheticEvents * kRecordBytes == 100000012,
              "the --help text states the size of a synthetic file");

void print_help(std::FILE* out)
{
    std::fprintf(out,
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
        "Exit status: 0 written, 1 a file that could not be written, 2 bad command line.\n");
}

// A usage error: one line naming the argument, then the usage; status 2.
int usage_error(char const* what, char const* arg)
{
    std::fprintf(stderr, "zorv_gen: %s '%s'\n", what, arg);
    print_help(stderr);
    return 2;
}

// Makes DIR the current folder, making it first when it is missing.
int enter_output_folder(char const* dir)
{
    if (mkdir(dir, 0777) != 0 && errno != EEXIST) {
        std::printf("Error: Cannot make output folder '%s' (%s)\n", dir, std::strerror(errno));
        return 1;
    }
    if (chdir(dir) != 0) {
        std::printf("Error: Cannot use output folder '%s' (%s)\n", dir, std::strerror(errno));
        return 1;
    }
    return 0;
}

int cannot_open(char const* name)
{
    std::printf("Error: Cannot open file '%s' for writing\n", name);
    return 1;
}

int cannot_write(char const* name)
{
    std::printf("Error: Cannot write file '%s'\n", name);
    return 1;
}

// Closes f; any write error, including one that only shows when fclose
// flushes the buffer (a full disk), counts against the file.
bool close_ok(std::FILE* f)
{
    bool ok = std::ferror(f) == 0;
    if (std::fclose(f) != 0)
        ok = false;
    return ok;
}

int test_generator()
{
    // Bins of 0.01 from -8 to 8, uniform deviates in column 0, normal
    // deviates in column 1.
    histogram1D hist(1601, 2, -8.0, 8.0);
    generator_state = 1;
    std::printf("Testing random number generator...\n");
    for (int i = 0; i < kTestDraws; ++i) {
        hist.add(uniform(), 0);
        hist.add(normal(), 1);
    }
    // write prints its own "Error: " line.
    return hist.write("zorv_gen_test.txt");
}

int write_example()
{
    char const* name = "zorv_gen_example.txt";
    generator_state = 1;
    std::FILE* examplefile = std::fopen(name, "w");
    if (examplefile == nullptr)
        return cannot_open(name);
    static std::int16_t samples[kRecordShorts];
    make_event(samples);
    for (int j = 0; j < kSamples; ++j)
        std::fprintf(examplefile, "%d %d %d\n", j, samples[2 * j], samples[2 * j + 1]);
    bool ok = close_ok(examplefile);
    return ok ? 0 : cannot_write(name);
}

int write_synthetic()
{
    char zvxname[256];
    char sglname[256];
    generator_state = 1;
    std::printf("Generating synthetic data:\n");
    std::snprintf(zvxname, sizeof zvxname, "synth-%d.zvx", 1);
    std::printf("%s, ", zvxname);
    std::FILE* zvxfile = std::fopen(zvxname, "wb");
    if (zvxfile == nullptr) {
        std::printf("\n");
        return cannot_open(zvxname);
    }
    std::snprintf(sglname, sizeof sglname, "synth-%d.sgl", 1);
    std::printf("%s\n", sglname);
    std::FILE* sglfile = std::fopen(sglname, "wb");
    if (sglfile == nullptr) {
        std::fclose(zvxfile);
        return cannot_open(sglname);
    }

    // Header: 12 zero bytes, alternating between the files.
    bool zvx_ok = true, sgl_ok = true;
    for (int i = 0; i < kHeaderBytes && zvx_ok && sgl_ok; ++i) {
        zvx_ok = std::fputc(0, zvxfile) != EOF;
        sgl_ok = std::fputc(0, sglfile) != EOF;
    }

    static std::int16_t samples[kRecordShorts];
    static unsigned char record[kRecordBytes];
    for (int e = 0; e < kSyntheticEvents && zvx_ok && sgl_ok; ++e) {
        make_event(samples);
        encode_event(samples, record);
        zvx_ok = std::fwrite(record, 1, sizeof record, zvxfile) == sizeof record;
        sgl_ok = std::fwrite(record, 1, sizeof record, sglfile) == sizeof record;
    }

    zvx_ok = close_ok(zvxfile) && zvx_ok;
    sgl_ok = close_ok(sglfile) && sgl_ok;
    if (!zvx_ok)
        return cannot_write(zvxname);
    if (!sgl_ok)
        return cannot_write(sglname);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    // Options in order, as getopt takes them; a stray word is refused only
    // once they are all read, so that "zorv_gen foo --help" still helps.
    char const* output = nullptr;
    char const* stray = nullptr;
    for (int i = 1; i < argc; ++i) {
        std::string const arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            print_help(stdout);
            return 0;
        }
        if (arg == "--version") {
            std::printf("zorv_gen %s\n", ZORV_VERSION);
            return 0;
        }
        if (arg == "-o" || arg == "--output") {
            if (i + 1 >= argc || argv[i + 1][0] == '\0')
                return usage_error("missing output folder after", argv[i]);
            output = argv[++i];
        } else if (arg.rfind("--output=", 0) == 0 && arg.size() > 9) {
            output = argv[i] + 9;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return usage_error("unknown option", argv[i]);
        } else if (stray == nullptr) {
            stray = argv[i];
        }
    }
    if (stray != nullptr)
        return usage_error("unexpected argument", stray);
    if (output != nullptr && enter_output_folder(output) != 0)
        return 1;
    if (test_generator() != 0)
        return 1;
    if (write_example() != 0)
        return 1;
    if (write_synthetic() != 0)
        return 1;
    return 0;
}
