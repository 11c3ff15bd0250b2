// Looks up glibc's exponential without its errno wrapper (library_exp.h).
#include "fit/library_exp.h"

#include <dlfcn.h>

#include <cmath>

namespace zorv_fit {

namespace {

double plain_exp(double x) { return std::exp(x); }

double (*find_exp())(double)
{
#if defined(__GLIBC__) && defined(RTLD_DEFAULT)
  if (void* f = dlvsym(RTLD_DEFAULT, "__exp_finite", "GLIBC_2.15"))
    return reinterpret_cast<double (*)(double)>(f);
#endif
  return plain_exp;
}

}  // namespace

double (*const library_exp)(double) = find_exp();

}  // namespace zorv_fit
