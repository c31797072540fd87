// Format-generic IEEE arithmetic on bit patterns, correctly rounded in every
// mode by the integer model; `nan` is the pattern a NaN result takes.
#include "numeric/ieee.h"

namespace tvnsim::num::detail {
namespace {

uint64_t signed_zero(bool neg, Format f) { return neg ? f.sign_bit() : 0; }

// Sign of an exact zero sum of two operands of the given signs.
bool zero_sum_negative(bool a_neg, bool b_neg, Round r) { return a_neg == b_neg ? a_neg : r == Round::Down; }

// Moves the leading bit of a non-zero finite significand to bit mant_bits.
Unpacked normalized(Unpacked u, Format f) {
  const int lead = bit_length(u.sig) - 1;
  u.sig <<= f.mant_bits - lead;
  u.exp -= f.mant_bits - lead;
  return u;
}

u128 isqrt(u128 v, u128& rem) {
  u128 root = 0;
  u128 bit = u128{1} << 126;
  while (bit > v) bit >>= 2;
  while (bit != 0) {
    if (v >= root + bit) {
      v -= root + bit;
      root = (root >> 1) + bit;
    } else {
      root >>= 1;
    }
    bit >>= 2;
  }
  rem = v;
  return root;
}

}  // namespace

uint64_t add_bits(uint64_t a, uint64_t b, Format f, Round r, uint64_t nan) {
  const Unpacked x = unpack(a, f);
  const Unpacked y = unpack(b, f);
  if (x.cls == Class::NaN || y.cls == Class::NaN) return nan;
  if (x.cls == Class::Inf) return (y.cls == Class::Inf && x.neg != y.neg) ? nan : a;
  if (y.cls == Class::Inf) return b;
  if (x.cls == Class::Zero && y.cls == Class::Zero) return signed_zero(zero_sum_negative(x.neg, y.neg, r), f);
  if (x.cls == Class::Zero) return b;
  if (y.cls == Class::Zero) return a;
  Exact s = add_exact(exact_of(x), exact_of(y));
  if (s.sig == 0) s.neg = r == Round::Down;
  return round_pack(s, f, r);
}

uint64_t mul_bits(uint64_t a, uint64_t b, Format f, Round r, uint64_t nan) {
  const Unpacked x = unpack(a, f);
  const Unpacked y = unpack(b, f);
  const bool neg = x.neg != y.neg;
  if (x.cls == Class::NaN || y.cls == Class::NaN) return nan;
  if (x.cls == Class::Inf || y.cls == Class::Inf) {
    if (x.cls == Class::Zero || y.cls == Class::Zero) return nan;
    return signed_zero(neg, f) | f.inf_bits();
  }
  if (x.cls == Class::Zero || y.cls == Class::Zero) return signed_zero(neg, f);
  return round_pack({neg, u128{x.sig} * y.sig, x.exp + y.exp}, f, r);
}

uint64_t fma_bits(uint64_t a, uint64_t b, uint64_t c, Format f, Round r, uint64_t nan) {
  const Unpacked x = unpack(a, f);
  const Unpacked y = unpack(b, f);
  const Unpacked z = unpack(c, f);
  const bool pneg = x.neg != y.neg;
  if (x.cls == Class::NaN || y.cls == Class::NaN || z.cls == Class::NaN) return nan;
  if (x.cls == Class::Inf || y.cls == Class::Inf) {
    if (x.cls == Class::Zero || y.cls == Class::Zero) return nan;
    if (z.cls == Class::Inf && z.neg != pneg) return nan;
    return signed_zero(pneg, f) | f.inf_bits();
  }
  if (z.cls == Class::Inf) return c;
  const bool pzero = x.cls == Class::Zero || y.cls == Class::Zero;
  if (pzero && z.cls == Class::Zero) return signed_zero(zero_sum_negative(pneg, z.neg, r), f);
  if (pzero) return c;
  const Exact p{pneg, u128{x.sig} * y.sig, x.exp + y.exp};
  if (z.cls == Class::Zero) return round_pack(p, f, r);
  Exact s = add_exact(p, exact_of(z));
  if (s.sig == 0) s.neg = r == Round::Down;
  return round_pack(s, f, r);
}

uint64_t div_bits(uint64_t a, uint64_t b, Format f, Round r, uint64_t nan) {
  const Unpacked x = unpack(a, f);
  const Unpacked y = unpack(b, f);
  const bool neg = x.neg != y.neg;
  if (x.cls == Class::NaN || y.cls == Class::NaN) return nan;
  if (x.cls == Class::Inf) return y.cls == Class::Inf ? nan : signed_zero(neg, f) | f.inf_bits();
  if (y.cls == Class::Inf) return signed_zero(neg, f);
  if (y.cls == Class::Zero) return x.cls == Class::Zero ? nan : signed_zero(neg, f) | f.inf_bits();
  if (x.cls == Class::Zero) return signed_zero(neg, f);
  const Unpacked n = normalized(x, f);
  const Unpacked d = normalized(y, f);
  // With both significands in [2^m, 2^(m+1)) the quotient keeps at least 64
  // bits, ample for the round bit; the remainder decides the sticky tail.
  const u128 num = u128{n.sig} << 64;
  return round_pack({neg, num / d.sig, n.exp - 64 - d.exp, num % d.sig != 0}, f, r);
}

uint64_t sqrt_bits(uint64_t a, Format f, Round r, uint64_t nan) {
  const Unpacked x = unpack(a, f);
  if (x.cls == Class::NaN) return nan;
  if (x.cls == Class::Zero) return a;
  if (x.neg) return nan;
  if (x.cls == Class::Inf) return a;
  const Unpacked n = normalized(x, f);
  // Widen the radicand to ~112 bits with an even exponent: the root then has
  // ~56 bits, two more than binary64 needs.
  int widen = 112 - f.precision();
  if (((n.exp - widen) & 1) != 0) ++widen;
  u128 rem = 0;
  const u128 root = isqrt(u128{n.sig} << widen, rem);
  return round_pack({false, root, (n.exp - widen) / 2, rem != 0}, f, r);
}

}  // namespace tvnsim::num::detail
