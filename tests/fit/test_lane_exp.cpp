// The exponential in lanes (lane_exp.h) against the C library it replicates:
// its table against the loaded libm's, its values bit for bit over the
// arguments the fit gives exp, at every width this CPU has, and the
// start-up comparison's fallback to the library.
#include <gtest/gtest.h>
#include <link.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "fit/lane_exp.h"
#include "fit/library_exp.h"
#include "fit/pulse_terms.h"
#include "test_rng.h"
#include "fit/vector_width.h"

namespace {

namespace et = zorv_fit::exp_testing;

double const kInf = std::numeric_limits<double>::infinity();

uint64_t bits(double d)
{
  uint64_t u;
  std::memcpy(&u, &d, sizeof u);
  return u;
}

bool same(double a, double b) { return bits(a) == bits(b) || (std::isnan(a) && std::isnan(b)); }

std::vector<int> widths()
{
  std::vector<int> w;
  for (int lanes : {4, 8})
    if (et::lanes_available(lanes)) w.push_back(lanes);
  return w;
}

// glibc keeps its exp's constants and table in one block: 128/ln2 and
// -ln2/128 first, the 256 words of the table 112 bytes further on. Finds it
// in the loaded libm's segments; null with another C library.
uint64_t const* loaded_libm_table()
{
  struct Search {
    uint64_t const* found = nullptr;
  } search;
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* data) {
        auto* s = static_cast<Search*>(data);
        if (!info->dlpi_name || !std::strstr(info->dlpi_name, "libm.so")) return 0;
        uint64_t const key[2] = {0x40671547652b82feULL, 0xbf762e42fefa0000ULL};
        for (int h = 0; h < info->dlpi_phnum; ++h) {
          ElfW(Phdr) const& ph = info->dlpi_phdr[h];
          if (ph.p_type != PT_LOAD) continue;
          auto const* p = reinterpret_cast<unsigned char const*>(info->dlpi_addr + ph.p_vaddr);
          for (size_t o = 0; o + 112 + 2048 <= ph.p_memsz; o += 8)
            if (std::memcmp(p + o, key, sizeof key) == 0) {
              s->found = reinterpret_cast<uint64_t const*>(p + o + 112);
              return 1;
            }
        }
        return 0;
      },
      &search);
  return search.found;
}

// Lanes of every available width against the library on x; counts them.
long compare_widths(std::vector<double> const& x)
{
  std::vector<double> want(x.size()), got(x.size());
  for (size_t i = 0; i < x.size(); ++i) want[i] = zorv_fit::library_exp(x[i]);
  for (int lanes : widths()) {
    et::exp_in_lanes(lanes, x.data(), got.data(), static_cast<int>(x.size()));
    for (size_t i = 0; i < x.size(); ++i)
      if (!same(got[i], want[i])) {
        ADD_FAILURE() << "lanes " << lanes << ": exp(" << std::hexfloat << x[i] << ") = " << got[i]
                      << ", library " << want[i];
        return 0;
      }
  }
  return static_cast<long>(x.size());
}

}  // namespace

// The table built in pairs of __float128 is the loaded library's, word for
// word (heads and tails of all 128 entries).
TEST(LaneExp, TableIsTheLoadedLibrarys)
{
  uint64_t const* lib = loaded_libm_table();
  if (!lib) GTEST_SKIP() << "no glibc exp table in the loaded libm";
  (void)zorv_fit::exp_kind();
  unsigned long long const* ours = et::table();
  for (int i = 0; i < 256; ++i) EXPECT_EQ(ours[i], lib[i]) << "word " << i;
}

// Where the library's table is found and the CPU has the lanes, the
// start-up comparison passes and the pass uses them.
TEST(LaneExp, StartUpComparisonPassesHere)
{
  if (!loaded_libm_table() || widths().empty()) GTEST_SKIP() << "not the library replicated";
  if (std::getenv("ZORV_EXP")) GTEST_SKIP() << "ZORV_EXP is set";
  int const widest = zorv_fit::widest_vector_width();
  zorv_fit::set_vector_width(widest);
  EXPECT_STREQ(zorv_fit::exp_kind(), widest >= 4 ? "vector" : "library");
  zorv_fit::set_vector_width(2);
  EXPECT_STREQ(zorv_fit::exp_kind(), "library");  // SSE2: no fused multiply-add
  zorv_fit::set_vector_width(widest);
}

// 10^8 arguments of the fit's three exponentials at every width: lambda x
// (decay rates to -0.01 over 2,500 samples), the Gaussian's w in
// (-746, 0] (below, exp_exact knows 0) and u from the far tail to the
// overflow; beyond +-512 the library's own branches.
TEST(LaneExp, MatchesTheLibraryOverTheFitsArguments)
{
  if (widths().empty()) GTEST_SKIP() << "no FMA lanes on this CPU";
  struct Range {
    double lo, hi;
  } const ranges[] = {{-25.0, 0.0}, {-746.0, 0.0}, {-60.0, 709.8}, {-1.0, 1.0}};
  Rng rng(7);
  long n = 0;
  std::vector<double> x(1 << 20);
  for (int chunk = 0; chunk < 96; ++chunk) {
    Range const r = ranges[chunk % 4];
    for (double& v : x) v = r.lo + (r.hi - r.lo) * rng.uniform();
    n += compare_widths(x);
    if (HasFailure()) return;
  }
  EXPECT_GE(n, 100000000L);
}

// Every table entry, at random multiples over the whole fast range and
// random offsets in the reduction's interval, its edges and r near 0.
TEST(LaneExp, MatchesTheLibraryAtEveryTableEntry)
{
  if (widths().empty()) GTEST_SKIP() << "no FMA lanes on this CPU";
  constexpr double kLn2N = 0x1.62e42fefa39efp-8;
  Rng rng(11);
  std::vector<double> x;
  for (int i = 0; i < 128; ++i)
    for (int t = 0; t < 2000; ++t) {
      double const m = std::floor(1478.0 * rng.uniform()) - 739.0;
      double const f = t % 4 == 0 ? 0.5 - 1e-9 * rng.uniform()
                       : t % 4 == 1 ? 1e-9 * (rng.uniform() - 0.5)
                                    : rng.uniform() - 0.5;
      x.push_back((i + 128.0 * m + f) * kLn2N);
    }
  EXPECT_EQ(compare_widths(x), 256000L);
}

// The edges of the fast range (2^-54 <= |x| < 512) and of the library's
// other branches, densely, with the special values.
TEST(LaneExp, MatchesTheLibraryAtTheEdges)
{
  if (widths().empty()) GTEST_SKIP() << "no FMA lanes on this CPU";
  std::vector<double> x = {0.0, -0.0, kInf, -kInf, std::nan(""), -std::nan(""), 1e-300, -1e-300,
                           4.9e-324, 1e300, -1e300, 709.782712893384, 709.79, -745.1332191019412,
                           -745.14, -1022.0 * 0.6931471805599453, 1024.0, -1024.0};
  for (double edge : {0x1p-54, 512.0, 708.0, 709.78, 745.13, 1024.0})
    for (double s : {1.0, -1.0}) {
      double v = s * edge;
      for (int k = 0; k < 200; ++k) v = std::nextafter(v, 0.0);
      for (int k = 0; k < 400; ++k, v = std::nextafter(v, s * kInf)) x.push_back(v);
      for (double f = 0.999; f < 1.001; f += 1e-6) x.push_back(s * edge * f);
    }
  EXPECT_EQ(compare_widths(x), static_cast<long>(x.size()));
}

// The pass's two runs against exp_exact and exp_u_exact, point by point:
// the zero below -746, the stand-in and where it must not apply, special
// values, in runs of every length up to 9 (the padded rest of a vector).
TEST(LaneExp, RunsAreTheShortcutsOfEveryPoint)
{
  using zorv_fit::kStandIn;
  double const limit = zorv_fit::stand_in_limit(30000.0);
  struct Case {
    double arg, erf_z, exp_w;
  } const cases[] = {
      {-800.0, 1.0, 0.0},  {-746.0, 0.5, 0.0},   {std::nextafter(-746.0, 0.0), 0.5, 0.0},
      {-600.0, 1.0, 1e-300}, {3.0, 1.0, 0.0},    {3.0, 0.999, 0.0},
      {3.0, 1.0, 1e-300},  {limit, 1.0, 0.0},    {800.0, 1.0, 0.0},
      {800.0, 0.5, 0.0},   {-3.0, -1.0, 0.2},    {0.0, 1.0, 0.0},
      {0.0, 0.0, 0.0},     {kInf, 1.0, 0.0},     {std::nan(""), 1.0, 0.0},
      {-kInf, 0.3, 0.3},   {1e-20, 0.3, 0.3},    {511.99, 0.3, 0.3},
  };
  int const nc = sizeof cases / sizeof cases[0];
  for (int lanes : {2, 4, 8}) {
    if (lanes > 2 && !et::lanes_available(lanes)) continue;
    zorv_fit::ExpRuns const& r = zorv_fit::exp_runs(lanes);
    for (int len = 1; len <= 9; ++len)
      for (int start = 0; start + len <= nc; ++start) {
        double a[9], ez[9], ew[9], got_w[9], got_u[9];
        for (int k = 0; k < len; ++k) {
          a[k] = cases[start + k].arg;
          ez[k] = cases[start + k].erf_z;
          ew[k] = cases[start + k].exp_w;
        }
        r.exact(a, got_w, len);
        r.u(a, ez, ew, limit, got_u, len);
        for (int k = 0; k < len; ++k) {
          ASSERT_TRUE(same(got_w[k], zorv_fit::exp_exact(a[k]))) << lanes << " w " << a[k];
          ASSERT_TRUE(same(got_u[k], zorv_fit::exp_u_exact(a[k], ez[k], ew[k], limit)))
              << lanes << " u " << a[k] << " " << ez[k] << " " << ew[k];
        }
      }
  }
  EXPECT_EQ(zorv_fit::exp_u_exact(3.0, 1.0, 0.0, limit), kStandIn);  // the stand-in was met
}

// One wrong bit in any table entry makes the start-up comparison fail, and
// the process then calls the library at every width; the table as built
// passes again. ZORV_EXP=library asks for the library outright.
TEST(LaneExp, StartUpComparisonFallsBackToTheLibrary)
{
  if (widths().empty()) GTEST_SKIP() << "no FMA lanes on this CPU";
  if (std::getenv("ZORV_EXP")) GTEST_SKIP() << "ZORV_EXP is set";
  zorv_fit::ExpRuns const& library = zorv_fit::exp_runs(2);
  ASSERT_STREQ(et::recheck(-1), "vector");
  for (int entry = 0; entry < 128; ++entry) {
    ASSERT_STREQ(et::recheck(entry), "library") << "entry " << entry;
    for (int lanes : widths()) ASSERT_EQ(zorv_fit::exp_runs(lanes).exact, library.exact);
  }
  // The fallback's values are the library's.
  double x[5] = {-1.5, -700.0, -3e-3, 2.0, 100.0}, y[5];
  zorv_fit::exp_runs(zorv_fit::vector_width()).exact(x, y, 5);
  for (int k = 0; k < 5; ++k) EXPECT_TRUE(same(y[k], zorv_fit::library_exp(x[k])));
  EXPECT_STREQ(et::recheck(-1), "vector");
  EXPECT_NE(zorv_fit::exp_runs(widths()[0]).exact, library.exact);

  setenv("ZORV_EXP", "library", 1);
  EXPECT_STREQ(et::recheck(-1), "library");
  unsetenv("ZORV_EXP");
  EXPECT_STREQ(et::recheck(-1), "vector");
}

// erf in lanes against erf_exact (the library, exactly +-1 from |z| = 6) at
// every width: 4 x 10^7 arguments over (-7, 7), densest where the lanes
// work, the edges of their range and of the library's two branches inside
// it with 200 neighbours each, special values, runs of every length to 9.
TEST(LaneErf, MatchesTheLibrary)
{
  if (widths().empty()) GTEST_SKIP() << "no FMA lanes on this CPU";
  std::vector<double> z = {0.0, -0.0, kInf, -kInf, std::nan(""), 1e-300, 0.84375, -0.84375};
  for (double edge : {1.25, 0x1.6db6ep+1, 6.0})
    for (double s : {1.0, -1.0}) {
      double v = s * edge;
      for (int k = 0; k < 100; ++k) v = std::nextafter(v, 0.0);
      for (int k = 0; k < 200; ++k, v = std::nextafter(v, s * kInf)) z.push_back(v);
    }
  Rng rng(13);
  std::vector<double> x(1 << 20);
  long n = 0;
  for (int chunk = 0; chunk < 40; ++chunk) {
    double const span = chunk % 4 == 0 ? 7.0 : 6.0;
    for (double& v : x) v = span * (2.0 * rng.uniform() - 1.0);
    if (chunk == 0) x.insert(x.end(), z.begin(), z.end());
    std::vector<double> want(x.size()), got(x.size());
    for (size_t i = 0; i < x.size(); ++i) want[i] = zorv_fit::erf_exact(x[i]);
    for (int lanes : widths()) {
      for (size_t i = 0; i < x.size();) {
        int const m = chunk == 0 ? static_cast<int>(1 + i % 9) : 4096;
        int const k = static_cast<int>(std::min<size_t>(m, x.size() - i));
        et::erf_in_lanes(lanes, x.data() + i, got.data() + i, k);
        i += k;
      }
      for (size_t i = 0; i < x.size(); ++i)
        if (!same(got[i], want[i])) {
          ADD_FAILURE() << "lanes " << lanes << ": erf(" << std::hexfloat << x[i]
                        << ") = " << got[i] << ", library " << want[i];
          return;
        }
    }
    n += static_cast<long>(x.size());
  }
  EXPECT_GE(n, 40000000L);
}
