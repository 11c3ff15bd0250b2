#include "run_state.h"

#include <cstring>

int my_rank = 0;
int world_size = 0;

int glob_lock[8] = {0, 0, 0, 0, 0, 0, 0, 0};
double decay_est[2] = {0.0, 0.0};
double bcg_est[2] = {0.0, 0.0};
Window* win_load = nullptr;

int result_length = 18;
int info_count = 200;
int64_t counter_all = 0;
int64_t nbr_ok[2] = {0, 0};
int64_t nbr_all_ok = 0;
int msg_send = 0;
int msg_received = 0;

int start_session = 0, stop_session = 0;
int start_cal_session = 0, stop_cal_session = 0;
int waveforms = 0;
int data_offset = 0;
double refresh_interval = 0.0;
double hist_overflow = 0.0;
char infile_path[kPathLength] = {0};
char abfile_path[kPathLength] = {0};
int resume = 0;
double checkpoint_interval = 60.0;

int max_iter = 0;

int run_error = 0;
int run_abort = 0;

void reset_run_state()
{
    my_rank = 0;
    world_size = 0;
    for (int j = 0; j < 8; ++j) glob_lock[j] = 0;
    decay_est[0] = decay_est[1] = 0.0;
    bcg_est[0] = bcg_est[1] = 0.0;
    win_load = nullptr;
    result_length = 18;
    info_count = 200;
    counter_all = 0;
    nbr_ok[0] = nbr_ok[1] = 0;
    nbr_all_ok = 0;
    msg_send = 0;
    msg_received = 0;
    start_session = stop_session = 0;
    start_cal_session = stop_cal_session = 0;
    waveforms = 0;
    data_offset = 0;
    refresh_interval = 0.0;
    hist_overflow = 0.0;
    std::memset(infile_path, 0, sizeof infile_path);
    std::memset(abfile_path, 0, sizeof abfile_path);
    resume = 0;
    checkpoint_interval = 60.0;
    max_iter = 0;
    run_error = 0;
    run_abort = 0;
}
