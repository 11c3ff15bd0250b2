// Files that the peer benchmark passes between its programs.
//
// Traces file (written by peer_gna, read by peer_ceres and peer_scipy.py):
//   header  8 bytes "ZPTRACE1", int32 trace count, int32 points per trace (2,500)
//   record  int32 event, int32 channel, double y[2,500] (the raw samples),
//           double p0[8] (the worker's start values), int32 lock[8]
// Results file (one per fitter, in trace order):
//   header  8 bytes "ZPRESLT1", int32 trace count, int32 0
//   record  int32 status (below), int32 Jacobian evaluations,
//           int32 residual evaluations, int32 0, double ssr, double p[8],
//           double sp[8] (standard errors where the fitter gives them, else 0)
// Everything little-endian and packed, as it lies in memory on this host.
#ifndef ZORV_PEER_FILES_H
#define ZORV_PEER_FILES_H

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <type_traits>
#include <vector>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "peer files are little-endian");

constexpr int kPeerPoints = 2500;
constexpr char kTracesMagic[] = "ZPTRACE1";
constexpr char kResultsMagic[] = "ZPRESLT1";

// Status of a fit: converged by the relative-step test (gna's test: the
// relative step fell below 1e-9; for scipy its counterpart, MINPACK's xtol);
// no usable result; or stopped by a test of the fitter's own (a peer whose
// cost can no longer tell its steps apart).
constexpr int32_t kConverged = 0;
constexpr int32_t kFailed = 1;
constexpr int32_t kOwnTest = 2;

#pragma pack(push, 1)
struct PeerTrace {
  int32_t event;
  int32_t channel;
  double y[kPeerPoints];
  double p0[8];
  int32_t lock[8];
};

struct PeerResult {
  int32_t status;
  int32_t n_jac;
  int32_t n_fun;
  int32_t unused;
  double ssr;
  double p[8];
  double sp[8];
};
#pragma pack(pop)

static_assert(sizeof(PeerTrace) == 8 + 8 * kPeerPoints + 64 + 32, "packed trace record");
static_assert(sizeof(PeerResult) == 16 + 8 + 64 + 64, "packed result record");

// Writes a header and the records. Returns 0 on success.
template <class T>
int write_peer_file(char const* name, char const* magic, std::vector<T> const& v)
{
  FILE* fp = std::fopen(name, "wb");
  if (!fp) return 1;
  int32_t head[2] = {static_cast<int32_t>(v.size()),
                     std::is_same<T, PeerTrace>::value ? kPeerPoints : 0};
  bool ok = std::fwrite(magic, 1, 8, fp) == 8 && std::fwrite(head, sizeof head, 1, fp) == 1 &&
            (v.empty() || std::fwrite(v.data(), sizeof(T), v.size(), fp) == v.size());
  return (std::fclose(fp) == 0 && ok) ? 0 : 1;
}

// Reads a file written by write_peer_file. Returns 0 on success.
template <class T>
int read_peer_file(char const* name, char const* magic, std::vector<T>& v)
{
  FILE* fp = std::fopen(name, "rb");
  if (!fp) return 1;
  char m[8];
  int32_t head[2];
  int status = 1;
  if (std::fread(m, 1, 8, fp) == 8 && std::memcmp(m, magic, 8) == 0 &&
      std::fread(head, sizeof head, 1, fp) == 1 && head[0] >= 0) {
    v.resize(head[0]);
    if (v.empty() || std::fread(v.data(), sizeof(T), v.size(), fp) == v.size()) status = 0;
  }
  std::fclose(fp);
  return status;
}

#endif
