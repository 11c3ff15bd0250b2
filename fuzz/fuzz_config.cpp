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

#include "io/config.h"
#include "fuzz_file.h"
#include "io/settings.h"

namespace {

// The reader never stores a path longer than its 255 characters.
bool fits(std::string const& s) { return s.size() < static_cast<size_t>(kPathLength); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz_file::enter_work_dir("config", "zorv_mpi.ini");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size)
{
    fuzz_file::write_input(data, size);

    RunSettings s;
    int status = initialize(&s);
    // Whatever happened, the paths stay within their limit.
    if (!fits(s.infile_path) || !fits(s.abfile_path)) __builtin_trap();
    // No real is ever stored unless it is finite.
    double const reals[] = {s.hist_overflow, s.refresh_interval, s.checkpoint_interval,
                            s.decay_est[0],  s.decay_est[1],     s.bcg_est[0],
                            s.bcg_est[1]};
    for (double x : reals)
        if (!std::isfinite(x)) __builtin_trap();
    if (status != 0 && status != 1) __builtin_trap();
    if (status != 0 || validate_config(s) != 0) return 0;

    // An accepted configuration: what the master loop and the calibration
    // rely on without looking again.
    if (s.waveforms < 1 || s.data_offset < 0) __builtin_trap();
    if (s.infile_path.empty() || s.abfile_path.empty()) __builtin_trap();
    if (s.stop_session < s.start_session || s.stop_cal_session < s.start_cal_session)
        __builtin_trap();
    if (!(s.hist_overflow >= 0.0 && s.hist_overflow < 0.5)) __builtin_trap();
    char name[kPathLength];
    char const* in = s.infile_path.c_str();
    if (std::snprintf(name, sizeof name, "%s.%d", in, s.start_session) >= kPathLength ||
        std::snprintf(name, sizeof name, "%s.%d", in, s.stop_session) >= kPathLength ||
        std::snprintf(name, sizeof name, "%s.%d", in, s.start_cal_session) >= kPathLength ||
        std::snprintf(name, sizeof name, "%s.%d", in, s.stop_cal_session) >= kPathLength ||
        std::snprintf(name, sizeof name, "%s%d.bin", s.abfile_path.c_str(), 1) >= kPathLength)
        __builtin_trap();
    return 0;
}
