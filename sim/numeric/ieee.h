// Integer model of IEEE binary formats: unpacking a bit pattern into an exact
// significand and exponent, and rounding an exact (or exactly bracketed) value
// back into a format in any of the four rounding modes.  Directed-mode
// arithmetic and the conversions round here, so they never depend on the
// host FPU's rounding mode.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>

#include "numeric/numeric.h"

namespace tvnsim::num::detail {

using u128 = unsigned __int128;

// A binary interchange format: `mant_bits` stored fraction bits, `exp_bits`
// exponent bits, one sign bit on top.
struct Format {
  int mant_bits;
  int exp_bits;
  constexpr int bias() const { return (1 << (exp_bits - 1)) - 1; }
  constexpr int emax() const { return bias(); }
  constexpr int emin() const { return 1 - bias(); }
  constexpr int precision() const { return mant_bits + 1; }
  constexpr uint64_t sign_bit() const { return uint64_t{1} << (mant_bits + exp_bits); }
  constexpr uint64_t inf_bits() const { return ((uint64_t{1} << exp_bits) - 1) << mant_bits; }
};

inline constexpr Format kF16{10, 5};
inline constexpr Format kBF16{7, 8};
inline constexpr Format kF32{23, 8};
inline constexpr Format kF64{52, 11};

enum class Class : uint8_t { Zero, Finite, Inf, NaN };

// A decoded pattern.  Finite values are exactly (-1)^neg * sig * 2^exp with
// the hidden bit included in sig; subnormals keep the minimum exponent.
struct Unpacked {
  Class cls;
  bool neg;
  uint64_t sig;
  int exp;
};

constexpr Unpacked unpack(uint64_t bits, Format f) {
  const bool neg = (bits & f.sign_bit()) != 0;
  const uint64_t field = (bits >> f.mant_bits) & ((uint64_t{1} << f.exp_bits) - 1);
  const uint64_t frac = bits & ((uint64_t{1} << f.mant_bits) - 1);
  const int lsb_min = f.emin() - f.mant_bits;
  if (field == (uint64_t{1} << f.exp_bits) - 1) return {frac ? Class::NaN : Class::Inf, neg, 0, 0};
  if (field == 0) return {frac ? Class::Finite : Class::Zero, neg, frac, lsb_min};
  return {Class::Finite, neg, frac | (uint64_t{1} << f.mant_bits),
          static_cast<int>(field) - 1 + lsb_min};
}

constexpr int bit_length(u128 v) {
  const auto hi = static_cast<uint64_t>(v >> 64);
  const auto lo = static_cast<uint64_t>(v);
  return hi ? 128 - std::countl_zero(hi) : 64 - std::countl_zero(lo);
}

// A value (-1)^neg * (sig + t) * 2^exp where t = 0 when !sticky and t lies
// strictly inside (0, 1) when sticky.  A sticky value must carry at least
// precision + 2 significant bits in sig, so the round bit is exact and the
// tail only ever acts below it.
struct Exact {
  bool neg;
  u128 sig;
  int exp;
  bool sticky = false;
};

// Exponent of the leading bit of a non-zero value.
constexpr int top_exponent(const Exact& x) { return x.exp + bit_length(x.sig) - 1; }

// Rounds x into format f under r.  An exact zero gives the zero of x's sign;
// overflow gives Inf or the largest finite value as IEEE prescribes for r.
uint64_t round_pack(const Exact& x, Format f, Round r);

// Exact sum of two finite values, bracketed by the sticky bit when the
// smaller one reaches below a 120-bit window under the larger.  Each sig
// may hold up to 106 bits (an exact binary64 product).  The result's sig is
// zero exactly when the sum is zero; its sign is then meaningless.
Exact add_exact(const Exact& x, const Exact& y);

// Correctly rounded arithmetic on patterns of format f in every mode; `nan`
// is the pattern that a NaN result takes.
uint64_t add_bits(uint64_t a, uint64_t b, Format f, Round r, uint64_t nan);
uint64_t mul_bits(uint64_t a, uint64_t b, Format f, Round r, uint64_t nan);
uint64_t fma_bits(uint64_t a, uint64_t b, uint64_t c, Format f, Round r, uint64_t nan);
uint64_t div_bits(uint64_t a, uint64_t b, Format f, Round r, uint64_t nan);
uint64_t sqrt_bits(uint64_t a, Format f, Round r, uint64_t nan);

inline uint32_t bits_of(float x) { return std::bit_cast<uint32_t>(x); }
inline uint64_t bits_of(double x) { return std::bit_cast<uint64_t>(x); }
inline float f32_of(uint64_t b) { return std::bit_cast<float>(static_cast<uint32_t>(b)); }
inline double f64_of(uint64_t b) { return std::bit_cast<double>(b); }

inline Exact exact_of(const Unpacked& u) { return {u.neg, u.sig, u.exp}; }

}  // namespace tvnsim::num::detail
