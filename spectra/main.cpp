/*
 * zorv_spectra: spectra, coincidence maps and a summary of the result files
 * of a zorv_mpi run. See spectra.h for what it writes.
 */
#include "spectra.h"

#include <cstdio>

int main(int argc, char** argv)
{
    spectra_options opt;
    int status = parse_arguments(argc, argv, &opt);
    if (status == 3)
        return 0;
    if (status != 0)
        return status;
    status = run_spectra(opt);
    std::fflush(stdout);
    return status;
}
