// The calibration of a run, alone, for the Python mirror of its estimate to
// be compared with (python/tests/test_analysis_mirror.py): in the working
// directory, reads decay0.txt and decay1.txt, writes decay_hist0.txt and
// decay_hist1.txt and prints what zorv_mpi prints between its phases, then
// the line "decay_est A B" with the values the processing phase would hold,
// "%.17g". Argument: hist_overflow.
#include <cstdio>
#include <cstdlib>

#include "run/calibrate.h"

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::printf("Usage: zorv_calibrate_check HIST_OVERFLOW\n");
        return 2;
    }
    RunSettings settings;
    settings.waveforms = 1000000;
    settings.start_cal_session = settings.stop_cal_session = 1;
    settings.hist_overflow = std::atof(argv[1]);
    double decay[2] = {0.0, 0.0};
    int status = calibrate(settings, decay);
    std::printf("decay_est %.17g %.17g\n", decay[0], decay[1]);
    return status;
}
