// Run-time choice of the vector unit.
#include "fit/vector_width.h"

#include <cstdlib>
#include <cstring>

namespace zorv_fit {

namespace {

int width_in_use = 0;  // 0: not chosen yet

// The narrower of the widest unit and what ZORV_SIMD asks for.
int initial_width()
{
  int const widest = widest_vector_width();
  char const* asked = std::getenv("ZORV_SIMD");
  if (!asked) return widest;
  int lanes = widest;
  if (std::strcmp(asked, "sse2") == 0) lanes = 2;
  else if (std::strcmp(asked, "avx2") == 0) lanes = 4;
  return lanes < widest ? lanes : widest;
}

}  // namespace

int widest_vector_width()
{
  // libgcc's tests include the operating system's support for the registers.
  // The fused pass uses AVX-512 at 4 lanes (AVX-512VL), which every AVX-512
  // CPU but the Xeon Phi has; that one gets the AVX2 code.
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl")) return 8;
  if (__builtin_cpu_supports("avx2")) return 4;
  return 2;
}

int vector_width()
{
  if (width_in_use == 0) width_in_use = initial_width();
  return width_in_use;
}

int set_vector_width(int lanes)
{
  int const widest = widest_vector_width();
  width_in_use = lanes >= 8 ? 8 : lanes >= 4 ? 4 : 2;
  if (width_in_use > widest) width_in_use = widest;
  return width_in_use;
}

}  // namespace zorv_fit
