// zorv_window: writes a smoothing-kernel file in the layout zorv_mpi reads
// ("win.txt": one "index coefficient" pair per line) holding an n-point
// Nuttall window. The coefficients are written unnormalised and with 17
// significant digits; zorv_mpi normalises them when it builds its kernel.
//
//   zorv_window 101 > win.txt
//
// Standard output is the kernel file, so the usage text and every error go
// to standard error. A write that fails (a full disk, /dev/full) shows in the
// exit status: the shell has already made the file, and a file cut short
// would still read as a shorter, lopsided kernel, so the status is what a
// script must look at.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "physics/window.h"

int main(int argc, char** argv)
{
    char* end = nullptr;
    long n = argc == 2 ? std::strtol(argv[1], &end, 10) : 0;
    if (argc != 2 || *end != '\0' || n < 3 || n > 255 || n % 2 == 0) {
        std::fprintf(stderr, "Usage: zorv_window N > win.txt   (N odd, 3 to 255)\n");
        return 1;
    }
    int error = 0;
    for (int i = 0; i < n && error == 0; ++i)
        if (std::printf("%d %.17g\n", i, func_nuttall(i, static_cast<int>(n))) < 0) error = errno;
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
