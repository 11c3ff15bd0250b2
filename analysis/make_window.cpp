// zorv_window: writes a smoothing-kernel file in the layout zorv_mpi reads
// ("win.txt": one "index coefficient" pair per line) holding an n-point
// Nuttall window. The coefficients are written unnormalised and with 17
// significant digits; zorv_mpi normalises them when it builds its kernel.
//
//   zorv_window 101 > win.txt

#include <cstdio>
#include <cstdlib>

#include "window.h"

int main(int argc, char** argv)
{
    char* end = nullptr;
    long n = argc == 2 ? std::strtol(argv[1], &end, 10) : 0;
    if (argc != 2 || *end != '\0' || n < 3 || n > 255 || n % 2 == 0) {
        std::printf("Usage: zorv_window N > win.txt   (N odd, 3 to 255)\n");
        return 1;
    }
    for (int i = 0; i < n; ++i) std::printf("%d %.17g\n", i, func_nuttall(i, static_cast<int>(n)));
    return 0;
}
