/*
 * Command line of zorv_spectra: one result-file base name and a few options,
 * each accepted as "--name value" or "--name=value".
 */
#include "spectra/spectra.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "zorv_version.h"

namespace {

char const* const quantity_keys[quantity_count] = {"amplitude", "position", "width", "ssr", "dt"};

// Whole string as an int in lo .. hi.
bool parse_int(char const* s, int lo, int hi, int* v)
{
    errno = 0;
    char* end;
    long x = std::strtol(s, &end, 10);
    if (errno != 0 || end == s || *end != '\0' || x < lo || x > hi)
        return false;
    *v = static_cast<int>(x);
    return true;
}

// Whole string as a finite double.
bool parse_double(char const* s, double* v)
{
    errno = 0;
    char* end;
    double x = std::strtod(s, &end);
    if (errno != 0 || end == s || *end != '\0' || !std::isfinite(x))
        return false;
    *v = x;
    return true;
}

// "LO:HI" with LO < HI. The colon is looked for after the first character so
// that a negative LO is read as such.
bool parse_range(char const* s, axis_range* r)
{
    char const* colon = s[0] != '\0' ? std::strchr(s + 1, ':') : nullptr;
    if (colon == nullptr)
        return false;
    std::string lo(s, colon);
    double a, b;
    if (!parse_double(lo.c_str(), &a) || !parse_double(colon + 1, &b) || !(a < b))
        return false;
    r->given = true;
    r->lo = a;
    r->hi = b;
    return true;
}

int usage_error(char const* what, char const* arg)
{
    std::printf("Error: %s '%s'; see zorv_spectra --help\n", what, arg);
    return 2;
}

} // namespace

char const* quantity_key(int q)
{
    return quantity_keys[q];
}

void print_usage()
{
    std::printf(
        "Usage: zorv_spectra [options] BASE\n"
        "Spectra, maps and a summary of the result files BASE0.bin (channel A) and\n"
        "BASE1.bin (channel B) of a zorv_mpi run; BASE is abfile_path of zorv_mpi.ini.\n"
        "\n"
        "  -o, --output DIR     output folder, created if missing (default: spectra)\n"
        "  -n, --bins N         bins of each one-dimensional spectrum (default: 1000)\n"
        "  -m, --map-bins N     bins per axis of the two maps (default: 200)\n"
        "      --trim P         ranges not given run from the P to the 100 - P\n"
        "                       percentile of both channels' values (default: 0.5)\n"
        "      --amplitude LO:HI, --position LO:HI, --width LO:HI, --ssr LO:HI,\n"
        "      --dt LO:HI       fixed range of amplitude 1, position 1, width, residual\n"
        "                       sum of squares, position 2 - position 1; the maps use\n"
        "                       the amplitude and position ranges on both axes\n"
        "      --max-rms X      leave out every event whose RMS residual,\n"
        "                       sqrt(ssr / 2500), exceeds X ADC counts in either\n"
        "                       channel; the summary says how many\n"
        "  -h, --help           this text\n"
        "      --version        the version\n"
        "\n"
        "LO and HI are the centres of the first and the last bin; the end bins also\n"
        "count everything outside. Writes amplitude.txt, position.txt, width.txt,\n"
        "ssr.txt, dt.txt (columns: bin centre, channel A, channel B),\n"
        "amplitude_map.{txt,ppm,png}, position_map.{txt,ppm,png} and summary.txt.\n"
        "Exit status: 0 done, 1 bad input or an output that could not be written,\n"
        "2 bad command line.\n");
}

int parse_arguments(int argc, char const* const* argv, spectra_options* opt)
{
    bool have_base = false;
    bool options_done = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (options_done || arg.empty() || arg[0] != '-' || arg == "-") {
            if (have_base)
                return usage_error("More than one result-file base name:", argv[i]);
            opt->base = arg;
            have_base = true;
            continue;
        }
        if (arg == "--") {
            options_done = true;
            continue;
        }
        if (arg == "-h" || arg == "--help") {
            print_usage();
            return 3;
        }
        if (arg == "--version") {
            std::printf("zorv_spectra %s\n", ZORV_VERSION);
            return 3;
        }
        // Split "--name=value"; otherwise the value is the next argument.
        std::string name = arg;
        std::string value;
        bool inline_value = false;
        std::size_t eq = arg.find('=');
        if (arg.compare(0, 2, "--") == 0 && eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            inline_value = true;
        }
        auto take_value = [&]() -> bool {
            if (inline_value)
                return true;
            if (i + 1 >= argc)
                return false;
            value = argv[++i];
            return true;
        };

        int q = -1;
        for (int k = 0; k < quantity_count; ++k)
            if (name == std::string("--") + quantity_keys[k])
                q = k;

        if (name == "-o" || name == "--output") {
            if (!take_value() || value.empty())
                return usage_error("Missing output folder after", name.c_str());
            opt->output_dir = value;
        } else if (name == "-n" || name == "--bins") {
            if (!take_value())
                return usage_error("Missing bin count after", name.c_str());
            if (!parse_int(value.c_str(), 3, 1000000, &opt->bins))
                return usage_error("Bin count must be an integer from 3 to 1000000, not", value.c_str());
        } else if (name == "-m" || name == "--map-bins") {
            if (!take_value())
                return usage_error("Missing bin count after", name.c_str());
            if (!parse_int(value.c_str(), 3, 4000, &opt->map_bins))
                return usage_error("Map bin count must be an integer from 3 to 4000, not", value.c_str());
        } else if (name == "--trim") {
            if (!take_value())
                return usage_error("Missing percentage after", name.c_str());
            if (!parse_double(value.c_str(), &opt->trim) || opt->trim < 0.0 || opt->trim >= 50.0)
                return usage_error("Trim must be a percentage from 0 up to 50, not", value.c_str());
        } else if (name == "--max-rms") {
            if (!take_value())
                return usage_error("Missing RMS residual (ADC counts) after", name.c_str());
            if (!parse_double(value.c_str(), &opt->max_rms) || !(opt->max_rms > 0.0))
                return usage_error("--max-rms must be a positive number of ADC counts, not",
                                   value.c_str());
            opt->max_rms_given = true;
        } else if (q >= 0) {
            if (!take_value())
                return usage_error("Missing range LO:HI after", name.c_str());
            if (!parse_range(value.c_str(), &opt->range[q]))
                return usage_error("Range must be LO:HI with LO < HI, not", value.c_str());
        } else {
            return usage_error("Unknown option", arg.c_str());
        }
    }
    if (!have_base) {
        std::printf("Error: No result-file base name given; see zorv_spectra --help\n");
        return 2;
    }
    // Only now are the bin counts known that a range must fit.
    for (int q = 0; q < quantity_count; ++q)
        if (opt->range[q].given && !check_axis(*opt, q, opt->range[q]))
            return 2;
    return 0;
}
