// Heads and tails of 2^(i/128) (exp_table.h), from the square roots of 2 in
// pairs of __float128: a value is hi + lo with |lo| <= ulp(hi) / 2.
//
//   r_6 = 2^(1/2), r_j = sqrt(r_(j+1)):  r_j = 2^(2^j / 128)
//   2^(i/128) = prod over the set bits j of i of r_j
//
// Each step rounds once, at about 2^-220 relative; seven roots and at most
// six products stay far below the 2^-125 that the tails need.
#include "fit/exp_table.h"

#include <cmath>
#include <cstring>
#include <initializer_list>

namespace zorv_fit {

namespace {

typedef __float128 quad;

struct Pair {
  quad hi, lo;
};

// a + b as hi + lo, for |a| >= |b|.
Pair fast_two_sum(quad a, quad b)
{
  quad const s = a + b;
  return {s, b - (s - a)};
}

// a b exactly as hi + lo (Dekker: each factor split into halves of 56 and
// 57 bits, whose products are exact).
Pair two_product(quad a, quad b)
{
  quad const split = static_cast<quad>((uint64_t{1} << 57) + 1);
  quad const ca = split * a, ah = ca - (ca - a), al = a - ah;
  quad const cb = split * b, bh = cb - (cb - b), bl = b - bh;
  quad const p = a * b;
  return {p, ((ah * bh - p) + ah * bl + al * bh) + al * bl};
}

Pair multiply(Pair a, Pair b)
{
  Pair p = two_product(a.hi, b.hi);
  p.lo += a.hi * b.lo + a.lo * b.hi;
  return fast_two_sum(p.hi, p.lo);
}

// sqrt(a): Newton in __float128 from the double root, then one Newton step
// on the pair, y + (a - y^2) / (2 y), with a - y^2 formed exactly.
Pair square_root(Pair a)
{
  quad y = std::sqrt(static_cast<double>(a.hi));
  for (int i = 0; i < 4; ++i) y = (y + a.hi / y) / 2;
  Pair const y2 = two_product(y, y);
  quad const d = (a.hi - y2.hi) - y2.lo + a.lo;
  return fast_two_sum(y, d / (2 * y));
}

uint64_t bits_of(double d)
{
  uint64_t u;
  std::memcpy(&u, &d, sizeof u);
  return u;
}

}  // namespace

void build_exp_table(uint64_t* tab)
{
  Pair root[7];
  root[6] = square_root({2, 0});
  for (int j = 5; j >= 0; --j) root[j] = square_root(root[j + 1]);

  for (int i = 0; i < kExpTableSize; ++i) {
    Pair e = {1, 0};
    for (int j = 0; j < 7; ++j)
      if (i >> j & 1) e = multiply(e, root[j]);
    // H: the double nearest hi + lo (hi's own rounding, or a neighbour when
    // lo tips it; 2^(i/128) is irrational for i > 0, so never a tie).
    double H = static_cast<double>(e.hi);
    quad best = -1;
    for (double c : {std::nextafter(H, 0.0), H, std::nextafter(H, 4.0)}) {
      quad d = (e.hi - c) + e.lo;
      if (d < 0) d = -d;
      if (best < 0 || d < best) best = d, H = c;
    }
    // T = (e - H) / H: e.hi - H is exact (they are within an ulp of H), the
    // quotient is refined once by its remainder.
    Pair const num = fast_two_sum(e.hi - H, e.lo);
    quad t = num.hi / H;
    t += (num.hi - t * H + num.lo) / H;
    tab[2 * i] = bits_of(static_cast<double>(t));
    tab[2 * i + 1] = bits_of(H) - (static_cast<uint64_t>(i) << 45);
  }
}

}  // namespace zorv_fit
