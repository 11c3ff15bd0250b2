/*
 * zorv_spectra: spectra, coincidence maps and a summary of the result files
 * of a zorv_mpi run. See spectra.h for what it writes.
 */
#include "spectra/spectra.h"

#include <cstdio>
#include <new>

int main(int argc, char** argv)
{
    spectra_options opt;
    int status = parse_arguments(argc, argv, &opt);
    if (status == 3)
        return 0;
    if (status != 0)
        return status;
    // The result files' records are refused at once when they cannot be held;
    // what the spectra need besides them is small, but a machine at its limit
    // still gets a message and a status rather than an abort.
    try {
        status = run_spectra(opt);
    } catch (std::bad_alloc const&) {
        std::printf("Error: Not enough memory\n");
        status = 1;
    }
    std::fflush(stdout);
    return status;
}
