// zorv_window: writes a smoothing-kernel file in the layout zorv_mpi reads
// ("win.txt": one "index coefficient" pair per line) holding an n-point
// Nuttall window. The coefficients are written unnormalised and with 17
// significant digits; zorv_mpi normalises them when it builds its kernel.
//
//   zorv_window 101 > win.txt
//   zorv_window -o win.txt 101
//
// The usage text of a mistake and every error go to standard error, and the
// kernel is formed whole before the first byte of it goes out, so a mistake
// leaves nothing on standard output. A write to standard output that fails
// (a full disk, /dev/full) shows in the exit status: the shell has already
// made the file, and a file cut short would still read as a shorter,
// lopsided kernel, so the status is what a script must look at. With -o the
// file is written whole or not at all: through FILE.tmp, put on disk and
// renamed into place.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "io/atomic_file.h"
#include "physics/window.h"
#include "zorv_version.h"

namespace {

char const kUsage[] =
    "Usage: zorv_window N > win.txt\n"
    "  or:  zorv_window -o FILE N\n"
    "Writes an N-point Nuttall smoothing kernel (N odd, 3 to 255) in the layout\n"
    "of zorv_mpi's win.txt: one \"index coefficient\" pair per line, the\n"
    "coefficients unnormalised, with 17 significant digits.\n"
    "\n"
    "Options:\n"
    "  -o, --output FILE  write the kernel to FILE instead of standard output,\n"
    "                     whole or not at all (through FILE.tmp)\n"
    "  -h, --help         print this text and exit\n"
    "  --version          print the version and exit\n"
    "\n"
    "Exit status: 0 written, 1 a bad argument or a kernel that could not be\n"
    "written whole.\n";

int usage_error(char const* what, char const* arg)
{
    if (what != nullptr) std::fprintf(stderr, "zorv_window: %s '%s'\n", what, arg);
    std::fputs(kUsage, stderr);
    return 1;
}

std::string kernel_text(int n)
{
    std::string text;
    char line[64];
    for (int i = 0; i < n; ++i) {
        std::snprintf(line, sizeof line, "%d %.17g\n", i, func_nuttall(i, n));
        text += line;
    }
    return text;
}

int write_to_standard_output(std::string const& text)
{
    int error = 0;
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size()) error = errno;
    // stdio buffers: a full disk often shows only when the buffer goes out,
    // at the flush or at the close.
    if (error == 0 && std::fflush(stdout) != 0) error = errno;
    if (std::fclose(stdout) != 0 && error == 0) error = errno;
    if (error != 0) {
        std::fprintf(stderr, "Error: Cannot write the kernel to standard output: %s\n",
                     std::strerror(error));
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    char const* output = nullptr;
    char const* count = nullptr;
    for (int i = 1; i < argc; ++i) {
        std::string const arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--version") {
            std::printf("zorv_window %s\n", ZORV_VERSION);
            return 0;
        }
        if (arg == "-o" || arg == "--output") {
            if (i + 1 >= argc || argv[i + 1][0] == '\0')
                return usage_error("missing file name after", argv[i]);
            output = argv[++i];
        } else if (arg.rfind("--output=", 0) == 0 && arg.size() > 9) {
            output = argv[i] + 9;
        } else if (arg.size() > 1 && arg[0] == '-' && !(arg[1] >= '0' && arg[1] <= '9')) {
            return usage_error("unknown option", argv[i]);
        } else if (count == nullptr) {
            count = argv[i];
        } else {
            return usage_error("unexpected argument", argv[i]);
        }
    }
    char* end = nullptr;
    long n = count != nullptr ? std::strtol(count, &end, 10) : 0;
    if (count == nullptr || *end != '\0' || n < 3 || n > 255 || n % 2 == 0)
        return usage_error(nullptr, nullptr);

    std::string const text = kernel_text(static_cast<int>(n));
    if (output == nullptr) return write_to_standard_output(text);
    std::string failed;
    if (int error = write_file_atomically(output, text, &failed)) {
        std::fprintf(stderr, "Error: Cannot write the kernel to %s: %s\n", failed.c_str(),
                     std::strerror(error));
        return 1;
    }
    return 0;
}
