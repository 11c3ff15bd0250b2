// libFuzzer target: the configuration reader on arbitrary file contents.
//
// initialize() reads "zorv_mpi.ini" from the working directory, so every
// input is written to that file in a directory of the target's own, and the
// reader runs exactly as in zorv_mpi. When the settings are accepted,
// validate_config() runs on them, and the target checks what the rest of the
// program relies on after an accepted configuration.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config.h"
#include "fuzz_file.h"
#include "run_state.h"

namespace {

bool terminated(char const* s)
{
    return std::memchr(s, '\0', kPathLength) != nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz_file::enter_work_dir("config", "zorv_mpi.ini");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size)
{
    fuzz_file::write_input(data, size);

    reset_run_state();
    int status = initialize();
    // Whatever happened, the paths stay strings within their buffers.
    if (!terminated(infile_path) || !terminated(abfile_path)) __builtin_trap();
    // No real is ever stored unless it is finite.
    double const reals[] = {hist_overflow, refresh_interval, checkpoint_interval,
                            decay_est[0], decay_est[1], bcg_est[0], bcg_est[1]};
    for (double x : reals)
        if (!std::isfinite(x)) __builtin_trap();
    if (status != 0 && status != 1) __builtin_trap();
    if (status != 0 || validate_config() != 0) return 0;

    // An accepted configuration: what the master loop and the calibration
    // rely on without looking again.
    if (waveforms < 1 || data_offset < 0) __builtin_trap();
    if (infile_path[0] == '\0' || abfile_path[0] == '\0') __builtin_trap();
    if (stop_session < start_session || stop_cal_session < start_cal_session) __builtin_trap();
    if (!(hist_overflow >= 0.0 && hist_overflow < 0.5)) __builtin_trap();
    char name[kPathLength];
    if (std::snprintf(name, sizeof name, "%s.%d", infile_path, start_session) >= kPathLength ||
        std::snprintf(name, sizeof name, "%s.%d", infile_path, stop_session) >= kPathLength ||
        std::snprintf(name, sizeof name, "%s.%d", infile_path, start_cal_session) >= kPathLength ||
        std::snprintf(name, sizeof name, "%s.%d", infile_path, stop_cal_session) >= kPathLength ||
        std::snprintf(name, sizeof name, "%s%d.bin", abfile_path, 1) >= kPathLength)
        __builtin_trap();
    return 0;
}
