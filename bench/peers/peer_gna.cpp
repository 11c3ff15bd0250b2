// Peer benchmark, our side: the traces with the worker's start values, and
// the timing of gna on them.
//
//   peer_gna prepare RAW WIN EVENTS DECAY_A DECAY_B BCG_A BCG_B TRACES
//   peer_gna fit TRACES RESULTS TIMINGS [SECONDS]
//
// prepare: reads the first EVENTS records of the raw file RAW (12-byte
// header, as zorv_gen writes it) and treats every channel as a worker of the
// calibration phase would, with the functions of zorv_analysis: subtract bcg_est,
// smooth with movingWindow4 and the kernel file WIN, find_peaks. A channel
// is kept when the worker would fit it as a single pulse: exactly one peak,
// at 200 or more. Its start values and lock mask are the worker's: decay
// rate free, second pulse locked at amplitude 0 and position 1500, so six
// parameters are fitted. The kept traces go to TRACES, for every fitter.
// Check: each kept channel also goes through analyse_channel, the worker's
// own path, whose fit must equal gna's fit from the written start values bit
// for bit; so the start values are the worker's.
//
// fit: gna fits every trace of TRACES, pass after pass, until SECONDS
// (default 1) of CPU time of this thread are used; the fits go to RESULTS and
// one line "gna FITS CPU_SECONDS WALL_SECONDS" is appended to TIMINGS. CPU
// time, not wall time, because other programs may share the cores.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "physics/channel.h"
#include "io/datafile.h"
#include "fit/gna.h"
#include "io/kernel_file.h"
#include "peer_files.h"
#include "io/settings.h"
#include "physics/window.h"

namespace {

double thread_seconds()
{
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec + 1e-9 * ts.tv_nsec;
}

double wall_seconds()
{
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + 1e-9 * ts.tv_nsec;
}

struct DataSet {
  double xy[kFitPoints][2];
};

// The data set of a trace as the worker builds it: x = sample index, y = raw sample.
void data_set_of(PeerTrace const& t, DataSet& d)
{
  for (int k = 0; k < kFitPoints; ++k) {
    d.xy[k][0] = k;
    d.xy[k][1] = t.y[k];
  }
}

// One gna fit of trace t into r.
void fit_trace(PeerTrace const& t, DataSet& d, PeerResult& r)
{
  double p[8];
  std::memcpy(p, t.p0, sizeof p);
  zorv_fit::FitResult const fit =
      zorv_fit::gna(&d.xy, p, zorv_fit::FreeParams::from_lock_mask(t.lock));
  bool const converged = fit.status == zorv_fit::FitStatus::kConverged;
  std::memset(&r, 0, sizeof r);
  r.status = converged ? kConverged : kFailed;
  r.n_jac = r.n_fun = converged ? fit.iterations + 1 : 0;
  r.ssr = fit.ssr;
  std::memcpy(r.p, p, sizeof p);
  std::memcpy(r.sp, fit.standard_errors, sizeof fit.standard_errors);
}

int prepare(int argc, char** argv)
{
  if (argc != 10) {
    std::printf("usage: peer_gna prepare RAW WIN EVENTS DECAY_A DECAY_B BCG_A BCG_B TRACES\n");
    return 1;
  }
  char const* raw_name = argv[2];
  int const events = std::atoi(argv[4]);

  // The setup of a worker in the calibration phase.
  double const decay_est[2] = {std::atof(argv[5]), std::atof(argv[6])};
  double const bcg_est[2] = {std::atof(argv[7]), std::atof(argv[8])};
  double table[kMaxKernel];
  int n_kernel = 0;
  if (read_kernel_file(argv[3], table, kMaxKernel, &n_kernel)) return 1;
  static SmoothingWindow kernel(table, n_kernel);
  EventSetup const setup = make_event_setup(kernel, bcg_est, decay_est, false);

  FILE* raw = std::fopen(raw_name, "rb");
  if (!raw || seek_first_record(raw, 12)) {
    std::printf("Error: cannot read '%s'\n", raw_name);
    return 1;
  }
  std::vector<PeerTrace> traces;
  int channels = 0, one_peak = 0, same = 0;
  static int16_t record[kRecordShorts];
  static double trace[kSamples];
  static DataSet d;
  for (int e = 0; e < events && read_event_record(raw, record); ++e) {
    for (int c = 0; c < 2; ++c) {
      ++channels;
      for (int k = 0; k < kSamples; ++k)
        trace[k] = static_cast<double>(record_sample(record, k, c)) - bcg_est[c];
      movingWindow4(trace, kSamples, kernel);
      double p[8] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
      double positions[kMaxPeaks];
      if (find_peaks(trace, positions, p) != 1) continue;
      ++one_peak;
      if (!(positions[0] >= kMinSeparation)) continue;

      PeerTrace t;
      t.event = e;
      t.channel = c;
      for (int k = 0; k < kSamples; ++k) t.y[k] = record_sample(record, k, c);
      // The worker's start values and mask for a single pulse.
      p[1] = decay_est[c];
      p[2] = bcg_est[c];
      p[3] = positions[0];
      p[4] = 1.131;
      p[5] = static_cast<double>(record_sample(record, 0, c)) - bcg_est[c];
      p[6] = 0.0;
      p[7] = 1500.0;
      std::memcpy(t.p0, p, sizeof p);
      for (int j = 0; j < 8; ++j) t.lock[j] = 0;  // everything free in the calibration phase
      t.lock[6] = t.lock[7] = 1;
      traces.push_back(t);

      double block[9] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
      ChannelOutcome const outcome = analyse_channel(record, c, setup.channel[c], block);
      int const fitted =
          outcome == ChannelOutcome::kFitted || outcome == ChannelOutcome::kNoResiduals;
      PeerResult r;
      data_set_of(t, d);
      fit_trace(t, d, r);
      bool equal = (r.status == kConverged) == (fitted == 1);
      if (equal && fitted) equal = block[0] == r.ssr && std::memcmp(block + 1, r.p, 64) == 0;
      same += equal;
    }
  }
  std::fclose(raw);
  int const n = static_cast<int>(traces.size());
  std::printf("traces: %d of %d channels in %d events (%d with one peak; kept: one peak at >= "
              "200)\n",
              n, channels, channels / 2, one_peak);
  std::printf("worker check: gna from these start values equals analyse_channel on %d of %d%s\n",
              same, n, same == n ? "" : "  <-- MISMATCH");
  if (n == 0 || same != n) return 1;
  if (write_peer_file(argv[9], kTracesMagic, traces)) {
    std::printf("Error: cannot write '%s'\n", argv[9]);
    return 1;
  }
  return 0;
}

int fit(int argc, char** argv)
{
  if (argc != 5 && argc != 6) {
    std::printf("usage: peer_gna fit TRACES RESULTS TIMINGS [SECONDS]\n");
    return 1;
  }
  double const min_seconds = argc > 5 ? std::atof(argv[5]) : 1.0;
  std::vector<PeerTrace> traces;
  if (read_peer_file(argv[2], kTracesMagic, traces) || traces.empty()) {
    std::printf("Error: cannot read '%s'\n", argv[2]);
    return 1;
  }
  int const n = static_cast<int>(traces.size());
  std::vector<DataSet> sets(n);
  for (int i = 0; i < n; ++i) data_set_of(traces[i], sets[i]);

  std::vector<PeerResult> results(n);
  double cpu = 0.0;
  long fits = 0;
  double const wall0 = wall_seconds();
  while (fits == 0 || cpu < min_seconds) {
    double const t0 = thread_seconds();
    for (int i = 0; i < n; ++i) fit_trace(traces[i], sets[i], results[i]);
    cpu += thread_seconds() - t0;
    fits += n;
  }
  double const wall = wall_seconds() - wall0;

  if (write_peer_file(argv[3], kResultsMagic, results)) {
    std::printf("Error: cannot write '%s'\n", argv[3]);
    return 1;
  }
  FILE* tf = std::fopen(argv[4], "a");
  if (!tf) return 1;
  std::fprintf(tf, "gna %ld %.6f %.6f\n", fits, cpu, wall);
  std::fclose(tf);
  std::printf("gna:   %5ld fits in %.3f s CPU (%.3f s wall): %.0f fits/s\n", fits, cpu, wall,
              fits / cpu);
  return 0;
}

}  // namespace

int main(int argc, char** argv)
{
  if (argc >= 2 && std::strcmp(argv[1], "prepare") == 0) return prepare(argc, argv);
  if (argc >= 2 && std::strcmp(argv[1], "fit") == 0) return fit(argc, argv);
  std::printf("usage: peer_gna prepare RAW WIN EVENTS DECAY_A DECAY_B BCG_A BCG_B TRACES\n"
              "       peer_gna fit TRACES RESULTS TIMINGS [SECONDS]\n");
  return 1;
}
