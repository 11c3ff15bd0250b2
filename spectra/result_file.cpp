/*
 * Reading and checking the pair of result files.
 *
 * The lengths come first, from the open files: a file that is missing or
 * not a regular file (a folder, a FIFO that would block, a device such as
 * /dev/zero that never ends), a file cut off inside a record, files of
 * different lengths. Then memory for both channels is taken at once (a record
 * is 72 bytes: a million events are 72 MB per channel), so that a pair too
 * large for the machine is refused with a message before anything is read,
 * and the records are decoded and checked in blocks as they are read, never
 * holding the bytes of a whole file besides them. Values that are not finite
 * are named with the file, the record and the field.
 */
#include "spectra/result_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>

namespace {

// Records decoded per read.
constexpr std::size_t kBlockRecords = 1024;

// Opens a result file and finds its length. Opened without blocking, so that
// a FIFO cannot hold the program, and refused unless it is a regular file.
// Returns 0, or prints an "Error: " line and returns 1.
int open_result_file(std::string const& path, std::FILE** f, std::size_t* bytes)
{
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        std::printf("Error: Cannot open result file '%s': %s\n", path.c_str(), std::strerror(errno));
        if (fd >= 0)
            close(fd);
        return 1;
    }
    if (!S_ISREG(st.st_mode)) {
        std::printf("Error: Cannot read result file '%s': it is %s\n", path.c_str(),
                    S_ISDIR(st.st_mode) ? "a directory" : "not a regular file");
        close(fd);
        return 1;
    }
    *f = fdopen(fd, "rb");
    if (*f == nullptr) {
        std::printf("Error: Cannot open result file '%s': %s\n", path.c_str(), std::strerror(errno));
        close(fd);
        return 1;
    }
    *bytes = static_cast<std::size_t>(st.st_size);
    return 0;
}

// Reads n records of one channel into *records, checking every value.
// Returns 0, or prints an "Error: " line and returns 1.
int read_records(std::FILE* f, std::string const& path, std::size_t n, std::vector<result_record>* records)
{
    std::vector<unsigned char> buf(kBlockRecords * kResultBytes);
    for (std::size_t done = 0; done < n;) {
        std::size_t want = std::min(n - done, kBlockRecords);
        std::size_t got = std::fread(buf.data(), kResultBytes, want, f);
        if (got != want) {
            std::printf("Error: Cannot read result file '%s': %s\n", path.c_str(),
                        std::ferror(f) ? std::strerror(errno) : "it became shorter while being read");
            return 1;
        }
        for (std::size_t i = 0; i < got; ++i, ++done) {
            result_record r = decode_record(buf.data() + i * kResultBytes);
            for (int k = 0; k < kBlockDoubles; ++k) {
                if (!std::isfinite(r[k])) {
                    std::printf("Error: Result file '%s', record %zu (counted from 0): %s is not finite (%g)\n",
                                path.c_str(), done, field_name(k), r[k]);
                    return 1;
                }
            }
            records->push_back(r);
        }
    }
    return 0;
}

} // namespace

char const* field_name(int k)
{
    // By the field, not by position, so that the names cannot drift from the
    // layout; a field without a name here is a compiler warning.
    switch (static_cast<ResultField>(k)) {
    case kFieldSsr: return "residual sum of squares";
    case kFieldAmplitude1: return "amplitude 1";
    case kFieldDecayRate: return "decay rate";
    case kFieldBaseline: return "baseline";
    case kFieldPosition1: return "position 1";
    case kFieldWidth: return "width";
    case kFieldTailAmplitude: return "tail amplitude";
    case kFieldAmplitude2: return "amplitude 2";
    case kFieldPosition2: return "position 2";
    }
    return "?";
}

std::string result_path(std::string const& base, int channel)
{
    return base + std::to_string(channel) + ".bin";
}

result_record decode_record(unsigned char const* bytes)
{
    result_record r;
    for (int k = 0; k < kBlockDoubles; ++k) {
        std::uint64_t u = 0;
        for (int b = 7; b >= 0; --b)
            u = (u << 8) | bytes[8 * k + b];
        std::memcpy(&r[k], &u, sizeof u);
    }
    return r;
}

namespace {

// read_result_pair with the files in f, which the caller closes.
int read_opened_pair(std::string const& base, result_pair* out, std::FILE** f)
{
    std::size_t bytes[2];
    for (int c = 0; c < 2; ++c) {
        out->path[c] = result_path(base, c);
        out->channel[c].clear();
        if (open_result_file(out->path[c], &f[c], &bytes[c]) != 0)
            return 1;
    }
    for (int c = 0; c < 2; ++c) {
        if (bytes[c] % kResultBytes != 0) {
            std::printf("Error: Result file '%s' is %zu bytes long, not a whole number of "
                        "%d-byte records (%zu records and %zu bytes over)\n",
                        out->path[c].c_str(), bytes[c], kResultBytes,
                        bytes[c] / kResultBytes, bytes[c] % kResultBytes);
            return 1;
        }
    }
    std::size_t n = bytes[0] / kResultBytes;
    std::size_t n1 = bytes[1] / kResultBytes;
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
    try {
        out->channel[0].reserve(n);
        out->channel[1].reserve(n);
    } catch (std::exception const&) {
        std::printf("Error: Not enough memory to hold the %zu records of '%s' and '%s' (%zu bytes)\n",
                    n, out->path[0].c_str(), out->path[1].c_str(), 2 * n * sizeof(result_record));
        return 1;
    }
    for (int c = 0; c < 2; ++c)
        if (read_records(f[c], out->path[c], n, &out->channel[c]) != 0)
            return 1;
    return 0;
}

} // namespace

int read_result_pair(std::string const& base, result_pair* out)
{
    std::FILE* f[2] = {nullptr, nullptr};
    int status = read_opened_pair(base, out, f);
    for (std::FILE* file : f)
        if (file != nullptr)
            std::fclose(file);
    if (status != 0) {
        out->channel[0].clear();
        out->channel[1].clear();
    }
    return status;
}
