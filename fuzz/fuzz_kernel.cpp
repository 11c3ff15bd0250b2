// libFuzzer target: the kernel-file reader on arbitrary file contents.
//
// Every input is written to "win.txt" in a directory of the target's own and
// read with read_kernel_file, as zorv_mpi reads it. An accepted kernel must
// be what the smoothing needs: an odd number of finite coefficients, at most
// kMaxKernel, not all zero, and one that normalises to a usable Window
// (finite coefficients whose absolute values sum to 1).

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "kernel_file.h"
#include "run_state.h"
#include "window.h"

namespace {

std::string work_dir;

void remove_work_dir()
{
    std::remove("win.txt");
    if (!work_dir.empty()) rmdir(work_dir.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Every input goes through a file: in memory when /dev/shm is there.
    struct stat st;
    std::string base = stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) ? "/dev/shm" : "/tmp";
    std::string dir = base + "/zorv_fuzz_kernel_XXXXXX";
    if (!mkdtemp(&dir[0]) || chdir(dir.c_str()) != 0) std::abort();
    work_dir = dir;
    std::atexit(remove_work_dir);
    // The reader's messages; the fuzzer's own report goes to stderr.
    if (!std::freopen("/dev/null", "w", stdout)) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size)
{
    FILE* fp = std::fopen("win.txt", "wb");
    if (!fp) std::abort();
    if (size && std::fwrite(data, 1, size, fp) != size) std::abort();
    if (std::fclose(fp) != 0) std::abort();

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

    Window w(table, count);
    double sum = 0.0;
    for (int i = 0; i < w.length; ++i) {
        if (!std::isfinite(w.coefficients[i])) __builtin_trap();
        sum += std::fabs(w.coefficients[i]);
    }
    if (!(std::fabs(sum - 1.0) < 1e-9)) __builtin_trap();
    // zorv_mpi keeps its one kernel for good; here each input makes a new one.
    delete[] w.coefficients;
    return 0;
}
