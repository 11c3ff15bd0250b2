// libFuzzer target: the kernel-file reader on arbitrary file contents.
//
// Every input is written to "win.txt" in a directory of the target's own and
// read with read_kernel_file, as zorv_mpi reads it. An accepted kernel must
// be what the smoothing needs: an odd number of finite coefficients, at most
// kMaxKernel, not all zero, and one that normalises to a usable
// SmoothingWindow (finite coefficients whose absolute values sum to 1).

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_file.h"
#include "io/kernel_file.h"
#include "io/settings.h"
#include "physics/window.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz_file::enter_work_dir("kernel", "win.txt");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size)
{
    fuzz_file::write_input(data, size);

    double table[kMaxKernel];
    int count = -1;
    int status = read_kernel_file("win.txt", table, kMaxKernel, &count);
    if (status != 0) {
        if (status != 1 || count != 0) __builtin_trap();
        return 0;
    }

    if (count < 1 || count > kMaxKernel || count % 2 == 0) __builtin_trap();
    bool any = false;
    for (int i = 0; i < count; ++i) {
        if (!std::isfinite(table[i])) __builtin_trap();
        any = any || table[i] != 0.0;
    }
    if (!any) __builtin_trap();

    SmoothingWindow w(table, count);
    double sum = 0.0;
    for (int i = 0; i < w.length; ++i) {
        if (!std::isfinite(w.coefficients[i])) __builtin_trap();
        sum += std::fabs(w.coefficients[i]);
    }
    if (!(std::fabs(sum - 1.0) < 1e-9)) __builtin_trap();
    return 0;
}
