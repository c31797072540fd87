// cvt between floating formats and between floats and integers.
#include "numeric/ieee.h"

namespace tvnsim::num {

using namespace detail;

namespace {

// Narrowing or widening conversion of a pattern of format `from` into format
// `to`; NaN inputs give `nan`.
uint64_t convert_bits(uint64_t bits, Format from, Format to, Round r, uint64_t nan) {
  const Unpacked u = unpack(bits, from);
  switch (u.cls) {
    case Class::NaN: return nan;
    case Class::Inf: return (u.neg ? to.sign_bit() : 0) | to.inf_bits();
    case Class::Zero: return u.neg ? to.sign_bit() : 0;
    case Class::Finite: break;
  }
  return round_pack(exact_of(u), to, r);
}

uint64_t int_to_float(bool neg, uint64_t magnitude, Format to, Round r) {
  return round_pack({neg, magnitude, 0}, to, r);
}

}  // namespace

uint16_t f32_to_f16(float x, Round r) {
  return static_cast<uint16_t>(convert_bits(bits_of(x), kF32, kF16, r, kNaN16));
}

uint16_t f32_to_bf16(float x, Round r) {
  const uint32_t b = bits_of(x);
  if (r == Round::Nearest && (b & 0x7FFFFFFFu) <= 0x7F800000u) {
    // Nearest-even on the bit pattern: the carry of the rounding increment
    // runs into the exponent (and on to Inf) by itself.
    return static_cast<uint16_t>((b + 0x7FFFu + ((b >> 16) & 1u)) >> 16);
  }
  return static_cast<uint16_t>(convert_bits(b, kF32, kBF16, r, kNaN16));
}

// Typed kernels widen every f16 element they load, so this is done on the
// fields directly: every f16 value is an f32 value.
float f16_to_f32(uint16_t h) {
  const uint32_t sign = (uint32_t{h} & 0x8000u) << 16;
  const uint32_t field = (h >> 10) & 0x1Fu;
  const uint32_t frac = h & 0x3FFu;
  if (field == 0x1F) return f32_of(frac ? kNaN32 : sign | 0x7F800000u);
  if (field == 0) return f32_of(sign | bits_of(static_cast<float>(frac) * 0x1p-24f));  // exact scaling
  return f32_of(sign | ((field + 127 - 15) << 23) | (frac << 13));
}

float bf16_to_f32(uint16_t h) { return f32_of(uint64_t{h} << 16); }

float f64_to_f32(double x, Round r) { return f32_of(convert_bits(bits_of(x), kF64, kF32, r, kNaN32)); }

double f32_to_f64(float x) { return f64_of(convert_bits(bits_of(x), kF32, kF64, Round::Nearest, kNaN64)); }

uint64_t f64_to_int(double x, Round r, int bits, bool is_signed, bool f64_source) {
  const Unpacked u = unpack(bits_of(x), kF64);
  const uint64_t umax = bits == 64 ? ~uint64_t{0} : (uint64_t{1} << bits) - 1;
  const uint64_t smax = umax >> 1;  // magnitude of the largest signed value
  const uint64_t pos_limit = is_signed ? smax : umax;
  const uint64_t neg_limit = is_signed ? smax + 1 : 0;  // magnitude of the lowest value
  const auto result = [&](bool neg, uint64_t mag) -> uint64_t {
    if (neg) return mag > neg_limit ? ~neg_limit + 1 : ~mag + 1;
    return mag > pos_limit ? pos_limit : mag;
  };
  switch (u.cls) {
    case Class::NaN:
      if (!f64_source && bits < 64) return 0;
      return is_signed ? ~smax : smax + 1;  // the lowest value; 2^(bits-1) unsigned
    case Class::Zero: return 0;
    case Class::Inf: return result(u.neg, ~uint64_t{0});
    case Class::Finite: break;
  }
  if (u.exp >= 0) {
    // Integral already; anything at or above 2^64 saturates.
    if (u.exp >= 64 - 52) return result(u.neg, ~uint64_t{0});
    return result(u.neg, u.sig << u.exp);
  }
  // Below 2^-7 only "non-zero, under a half" matters: keep one bit at 2^-60.
  const int shift = std::min(-u.exp, 60);
  const uint64_t sig = -u.exp > 60 ? 1 : u.sig;
  const uint64_t kept = sig >> shift;
  const uint64_t rest = sig & ((uint64_t{1} << shift) - 1);
  const uint64_t half = uint64_t{1} << (shift - 1);
  bool up = false;
  switch (r) {
    case Round::Nearest: up = rest > half || (rest == half && (kept & 1) != 0); break;
    case Round::Zero: break;
    case Round::Down: up = u.neg && rest != 0; break;
    case Round::Up: up = !u.neg && rest != 0; break;
  }
  return result(u.neg, kept + up);
}

float s64_to_f32(int64_t v, Round r) {
  const bool neg = v < 0;
  return f32_of(int_to_float(neg, neg ? ~static_cast<uint64_t>(v) + 1 : static_cast<uint64_t>(v), kF32, r));
}
float u64_to_f32(uint64_t v, Round r) { return f32_of(int_to_float(false, v, kF32, r)); }
double s64_to_f64(int64_t v, Round r) {
  const bool neg = v < 0;
  return f64_of(int_to_float(neg, neg ? ~static_cast<uint64_t>(v) + 1 : static_cast<uint64_t>(v), kF64, r));
}
double u64_to_f64(uint64_t v, Round r) { return f64_of(int_to_float(false, v, kF64, r)); }

}  // namespace tvnsim::num
