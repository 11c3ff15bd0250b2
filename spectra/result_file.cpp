/*
 * Reading and checking the pair of result files.
 *
 * Whole files are read into memory (a record is 72 bytes: a million events
 * are 72 MB per channel), then checked in the order a user would want to
 * hear about problems: a file that is missing, a file that is cut off inside
 * a record, files of different lengths, and finally values that are not
 * finite, with the file, the record and the field named.
 */
#include "result_file.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

char const* const field_names[record_values] = {
    "residual sum of squares", "amplitude 1", "decay rate",
    "baseline", "position 1", "width",
    "tail amplitude", "amplitude 2", "position 2",
};

// Reads the whole file. Returns 0, or prints an "Error: " line and returns 1.
int read_file(std::string const& path, std::vector<unsigned char>* bytes)
{
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        std::printf("Error: Cannot open result file '%s': %s\n", path.c_str(), std::strerror(errno));
        return 1;
    }
    bytes->clear();
    unsigned char buf[1 << 16];
    std::size_t got;
    while ((got = std::fread(buf, 1, sizeof buf, f)) > 0)
        bytes->insert(bytes->end(), buf, buf + got);
    bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed) {
        std::printf("Error: Cannot read result file '%s'\n", path.c_str());
        return 1;
    }
    return 0;
}

} // namespace

char const* field_name(int k)
{
    return field_names[k];
}

std::string result_path(std::string const& base, int channel)
{
    return base + std::to_string(channel) + ".bin";
}

result_record decode_record(unsigned char const* bytes)
{
    result_record r;
    for (int k = 0; k < record_values; ++k) {
        std::uint64_t u = 0;
        for (int b = 7; b >= 0; --b)
            u = (u << 8) | bytes[8 * k + b];
        std::memcpy(&r[k], &u, sizeof u);
    }
    return r;
}

int read_result_pair(std::string const& base, result_pair* out)
{
    std::vector<unsigned char> bytes[2];
    for (int c = 0; c < 2; ++c) {
        out->path[c] = result_path(base, c);
        out->channel[c].clear();
        if (read_file(out->path[c], &bytes[c]) != 0)
            return 1;
    }
    for (int c = 0; c < 2; ++c) {
        if (bytes[c].size() % record_bytes != 0) {
            std::printf("Error: Result file '%s' is %zu bytes long, not a whole number of "
                        "%d-byte records (%zu records and %zu bytes over)\n",
                        out->path[c].c_str(), bytes[c].size(), record_bytes,
                        bytes[c].size() / record_bytes, bytes[c].size() % record_bytes);
            return 1;
        }
    }
    std::size_t n = bytes[0].size() / record_bytes;
    std::size_t n1 = bytes[1].size() / record_bytes;
    if (n != n1) {
        std::printf("Error: Result files differ in length: '%s' holds %zu records, '%s' holds %zu; "
                    "record i of both must be the same event\n",
                    out->path[0].c_str(), n, out->path[1].c_str(), n1);
        return 1;
    }
    if (n == 0) {
        std::printf("Error: Result files '%s' and '%s' hold no records\n",
                    out->path[0].c_str(), out->path[1].c_str());
        return 1;
    }
    for (int c = 0; c < 2; ++c) {
        out->channel[c].resize(n);
        for (std::size_t i = 0; i < n; ++i) {
            result_record r = decode_record(bytes[c].data() + i * record_bytes);
            for (int k = 0; k < record_values; ++k) {
                if (!std::isfinite(r[k])) {
                    std::printf("Error: Result file '%s', record %zu (counted from 0): %s is not finite (%g)\n",
                                out->path[c].c_str(), i, field_names[k], r[k]);
                    out->channel[0].clear();
                    out->channel[1].clear();
                    return 1;
                }
            }
            out->channel[c][i] = r;
        }
    }
    return 0;
}
