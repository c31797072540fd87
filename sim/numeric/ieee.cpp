#include "numeric/ieee.h"

namespace tvnsim::num::detail {
namespace {

// The result of an overflow under r: Inf, or the largest finite value when
// r rounds toward zero from that side.
uint64_t overflow_result(bool neg, Format f, Round r) {
  const bool to_inf = r == Round::Nearest || (r == Round::Up && !neg) || (r == Round::Down && neg);
  const uint64_t sign = neg ? f.sign_bit() : 0;
  return sign | (to_inf ? f.inf_bits() : f.inf_bits() - 1);
}

}  // namespace

uint64_t round_pack(const Exact& x, Format f, Round r) {
  const uint64_t sign = x.neg ? f.sign_bit() : 0;
  if (x.sig == 0) return sign;  // sticky values never have a zero sig
  const int e = top_exponent(x);
  if (e > f.emax()) return overflow_result(x.neg, f, r);

  // Exponent of the last bit that survives: fixed below the normal range.
  const int quantum = std::max(e, f.emin()) - f.mant_bits;
  const int shift = quantum - x.exp;
  u128 kept;
  bool half = false;
  bool below = x.sticky;
  if (shift <= 0) {
    kept = x.sig << -shift;
  } else if (shift >= 128) {
    kept = 0;
    half = shift == 128 && (x.sig >> 127) != 0;
    below = below || (shift == 128 ? (x.sig << 1) != 0 : true);
  } else {
    kept = x.sig >> shift;
    const u128 rest = x.sig & ((u128{1} << shift) - 1);
    const u128 half_unit = u128{1} << (shift - 1);
    half = (rest & half_unit) != 0;
    below = below || (rest & (half_unit - 1)) != 0;
  }

  bool up = false;
  switch (r) {
    case Round::Nearest: up = half && (below || (kept & 1) != 0); break;
    case Round::Zero: break;
    case Round::Down: up = x.neg && (half || below); break;
    case Round::Up: up = !x.neg && (half || below); break;
  }
  // Adding the significand (hidden bit included) to the biased exponent
  // carries naturally from subnormal to normal and from one binade to the next.
  const uint64_t bits =
      (static_cast<uint64_t>(std::max(e, f.emin()) - f.emin()) << f.mant_bits) + static_cast<uint64_t>(kept + up);
  if (bits >= f.inf_bits()) return overflow_result(x.neg, f, r);
  return sign | bits;
}

Exact add_exact(const Exact& a, const Exact& b) {
  constexpr int kWindow = 120;
  const bool b_larger = b.sig != 0 && (a.sig == 0 || top_exponent(b) > top_exponent(a));
  const Exact& x = b_larger ? b : a;
  const Exact& y = b_larger ? a : b;
  if (y.sig == 0) return x;
  // Common exponent kWindow bits under x's leading bit: x fits exactly, and y
  // fits exactly unless it reaches below, where it collapses into a sticky
  // tail so far under x's leading bit that no rounding can see more of it.
  const int base = top_exponent(x) - kWindow;
  const u128 xs = x.sig << (x.exp - base);
  u128 ys;
  bool sticky = false;
  const int sh = y.exp - base;
  if (sh >= 0) {
    ys = y.sig << sh;
  } else if (-sh >= 128) {
    ys = 0;
    sticky = true;
  } else {
    ys = y.sig >> -sh;
    sticky = (y.sig & ((u128{1} << -sh) - 1)) != 0;
  }
  if (x.neg == y.neg) return {x.neg, xs + ys, base, sticky};
  // A sticky y lies at least 14 bits under x, so xs > ys there; then
  // xs - (ys + t) = (xs - ys - 1) + (1 - t) keeps a tail inside (0, 1).
  if (xs >= ys) return {x.neg, xs - ys - (sticky ? 1 : 0), base, sticky};
  return {y.neg, ys - xs, base, false};
}

}  // namespace tvnsim::num::detail
