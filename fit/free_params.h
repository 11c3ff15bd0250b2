// The set of parameters that a fit may move.
//
// A parameter outside the set is locked: the solver holds it at its value
// (never writes it), leaves its row and column out of the normal equations,
// its step out of the convergence measure and of the finiteness test, and
// reports a standard error of 0 for it. Locking both parameters of the
// second pulse (6 and 7) also takes that pulse out of the model.
//
// One bit per parameter, so a set is copied by value and every routine of
// the fit reads it the same way. A lock mask of ints (1 = held fixed), as
// the peer benchmark's trace files store it, turns into a set with
// from_lock_mask.
#ifndef ZORV_FIT_FREE_PARAMS_H
#define ZORV_FIT_FREE_PARAMS_H

#include "fit/pulse_model.h"

namespace zorv_fit {

class FreeParams {
 public:
  // Every parameter free.
  constexpr FreeParams() = default;

  // No parameter free.
  static constexpr FreeParams none() { return FreeParams(kAll); }

  // From a lock mask of kFitParams ints: entry j equal to 1 locks parameter
  // j, any other value leaves it free.
  static constexpr FreeParams from_lock_mask(int const* lock)
  {
    FreeParams s;
    for (int j = 0; j < kFitParams; ++j)
      if (lock[j] == 1) s.lock(j);
    return s;
  }

  constexpr bool is_free(int j) const { return (locked_ >> j & 1u) == 0; }
  constexpr bool is_locked(int j) const { return !is_free(j); }

  // Parameter j held at its value, or moving again.
  constexpr FreeParams& lock(int j)
  {
    locked_ |= 1u << j;
    return *this;
  }
  constexpr FreeParams& release(int j)
  {
    locked_ &= ~(1u << j);
    return *this;
  }

  // Number of free parameters: the fit's degrees of freedom are kFitPoints
  // minus this.
  constexpr int count() const
  {
    int n = 0;
    for (int j = 0; j < kFitParams; ++j) n += is_free(j);
    return n;
  }

  // Both parameters of the second pulse locked: the model leaves that pulse
  // out (pulse_model.h).
  constexpr bool single_pulse() const { return is_locked(6) && is_locked(7); }

  constexpr bool operator==(FreeParams o) const { return locked_ == o.locked_; }
  constexpr bool operator!=(FreeParams o) const { return locked_ != o.locked_; }

 private:
  static constexpr unsigned kAll = (1u << kFitParams) - 1;
  constexpr explicit FreeParams(unsigned locked) : locked_(locked) {}

  unsigned locked_ = 0;  // bit j set: parameter j locked
};

}  // namespace zorv_fit

#endif
