// Result files and decay lists of a phase.

#include "results.h"

#include <cstdio>

#include "datafile.h"
#include "run_state.h"

namespace {

FILE* abfile[2] = {nullptr, nullptr};
FILE* decayfile[2] = {nullptr, nullptr};
char abfile_name[2][kPathLength];
char decayfile_name[2][kPathLength];
bool write_failed = false;

void close_all_quietly()
{
    for (int c = 0; c < 2; ++c) {
        if (abfile[c]) std::fclose(abfile[c]);
        if (decayfile[c]) std::fclose(decayfile[c]);
        abfile[c] = decayfile[c] = nullptr;
    }
}

int report_write_error(char const* name)
{
    if (!write_failed) std::printf("Error: Cannot write to file: %s\n", name);
    write_failed = true;
    return 1;
}

}  // namespace

int open_phase_outputs()
{
    write_failed = false;
    for (int c = 0; c < 2; ++c) {
        // The lengths were checked with the configuration; snprintf cuts
        // rather than overruns all the same.
        std::snprintf(abfile_name[c], kPathLength, "%s%d.bin", abfile_path, c);
        abfile[c] = std::fopen(abfile_name[c], "wb");
        if (!abfile[c]) {
            std::printf("Error: Cannot create result file: %s\n", abfile_name[c]);
            close_all_quietly();
            return 1;
        }
        std::snprintf(decayfile_name[c], kPathLength, "decay%d.txt", c);
        decayfile[c] = std::fopen(decayfile_name[c], "w");
        if (!decayfile[c]) {
            std::printf("Error: Cannot create decay list: %s\n", decayfile_name[c]);
            close_all_quietly();
            return 1;
        }
    }
    return 0;
}

int record_result(double const* result)
{
    const bool good0 = result[0] > 0.0;
    const bool good1 = result[9] > 0.0;
    if (good0) ++nbr_ok[0];
    if (good1) ++nbr_ok[1];
    if (!(good0 && good1)) return 0;
    ++nbr_all_ok;
    if (write_failed) return 1;

    for (int c = 0; c < 2; ++c) {
        double const* block = result + 9 * c;
        if (write_result_record(abfile[c], block)) return report_write_error(abfile_name[c]);
        if (write_decay_line(decayfile[c], block[2])) return report_write_error(decayfile_name[c]);
    }
    return 0;
}

int close_phase_outputs()
{
    int status = 0;
    for (int c = 0; c < 2; ++c) {
        FILE** files[2] = {&abfile[c], &decayfile[c]};
        char const* names[2] = {abfile_name[c], decayfile_name[c]};
        for (int k = 0; k < 2; ++k) {
            if (!*files[k]) continue;
            // A buffered write that fails (a full disk) shows up only here.
            if (std::fclose(*files[k]) != 0 && !write_failed) {
                std::printf("Error: Cannot write to file: %s\n", names[k]);
                status = 1;
            }
            *files[k] = nullptr;
        }
    }
    return status || write_failed ? 1 : 0;
}
