// Raw files of mixed channels for bench/compare_builds.sh: besides the single
// pulses of zorv_gen, the cases a worker treats differently. Each channel is
// drawn as one of
//   single pulse, two pulses 250 to 900 samples apart, two close pulses (15
//   to 190 apart), an early pulse (before sample 200), an empty channel
//   (noise only), three pulses, a high baseline (from just above the
//   estimate to +20,000), a late and narrow pulse (after sample 2,300,
//   width 0.3 to 1),
// from the generator's single-pulse model summed over the pulses, with
// Gaussian noise of 50, digitised to 16 bits with clipping, from the
// generator's own random numbers. Deterministic for a seed (1 to 2^31 - 2).
//
//   make_mixed EVENTS SEED FILE     (12-byte header of zeros, then EVENTS records)
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "generator/random.h"
#include "generator/synth.h"

namespace {

enum Kind { kSingle, kTwo, kClose, kEarly, kEmpty, kThree, kHighBaseline, kLateNarrow, kKinds };

int16_t digitise(double y)
{
  if (!(y < 32767.0)) return 32767;
  if (y < -32768.0) return -32768;
  return static_cast<int16_t>(std::lround(y));
}

// One channel: pulses at t[0..n) on baseline B with tail C.
void channel(int16_t* out)
{
  double const u = uniform();
  int const kind = u < 0.3 ? kSingle : kTwo + static_cast<int>((u - 0.3) / 0.7 * (kKinds - kTwo));
  double B = -28000.0 * (1.0 + 0.05 * normal());
  double const lambda = -0.0015 * (1.0 + 0.0005 * normal());
  double const C = 10000.0 * uniform();
  double width = 1.0 + 4.0 * uniform();
  double t[3] = {300.0 + 1900.0 * uniform(), 0.0, 0.0};
  int pulses = 1;
  switch (kind) {
    case kTwo: t[1] = t[0] + 250.0 + 650.0 * uniform(), pulses = 2; break;
    case kClose: t[1] = t[0] + 15.0 + 175.0 * uniform(), pulses = 2; break;
    case kEarly: t[0] = 10.0 + 180.0 * uniform(); break;
    case kEmpty: pulses = 0; break;
    case kThree:
      t[0] = 250.0 + 800.0 * uniform();
      t[1] = t[0] + 250.0 + 400.0 * uniform();
      t[2] = t[1] + 250.0 + 400.0 * uniform();
      pulses = 3;
      break;
    case kHighBaseline: B = -23400.0 + 43400.0 * uniform(); break;
    case kLateNarrow: t[0] = 2300.0 + 195.0 * uniform(), width = 0.3 + 0.7 * uniform(); break;
    default: break;
  }
  double p[3][6];
  for (int k = 0; k < 3; ++k) {
    p[k][0] = k < pulses ? 12000.0 + 30000.0 * uniform() : 0.0;
    p[k][1] = lambda;
    p[k][2] = k == 0 ? B : 0.0;
    p[k][3] = t[k];
    p[k][4] = width;
    p[k][5] = k == 0 ? C : 0.0;
  }
  for (int x = 0; x < kSamples; ++x) {
      double y = 50.0 * normal();
      for (int k = 0; k < 3; ++k) y += zorv_synth::f(x, p[k]);
      out[x] = digitise(y);
  }
}

}  // namespace

int main(int argc, char** argv)
{
  if (argc != 4) {
    std::printf("usage: make_mixed EVENTS SEED FILE\n");
    return 1;
  }
  int const events = std::atoi(argv[1]);
  generator_state = static_cast<std::int32_t>(std::strtol(argv[2], nullptr, 10));
  normal_state = 0;
  FILE* out = std::fopen(argv[3], "wb");
  if (!out) {
    std::printf("Error: cannot write '%s'\n", argv[3]);
    return 1;
  }
  unsigned char header[12] = {};
  bool ok = std::fwrite(header, 1, sizeof header, out) == sizeof header;
  std::vector<int16_t> a(kSamples), b(kSamples);
  std::vector<int16_t> samples(kRecordShorts);
  std::vector<unsigned char> record(kRecordBytes);
  for (int e = 0; e < events && ok; ++e) {
    channel(a.data());
    channel(b.data());
    for (int x = 0; x < kSamples; ++x) {
        samples[2 * x] = a[x];
        samples[2 * x + 1] = b[x];
    }
    encode_event(samples.data(), record.data());
    ok = std::fwrite(record.data(), 1, record.size(), out) == record.size();
  }
  if (std::fclose(out) != 0 || !ok) {
    std::printf("Error: cannot write '%s'\n", argv[3]);
    return 1;
  }
  return 0;
}
