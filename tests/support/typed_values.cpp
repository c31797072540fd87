#include "support/typed_values.h"

#include <cmath>
#include <cstring>

namespace tesvan::test {

const char* half_suffix(Half h) { return h == Half::BF16 ? "bf16" : "f16"; }

uint32_t f32_bits(float v) {
  uint32_t b;
  std::memcpy(&b, &v, sizeof b);
  return b;
}

float f32_from_bits(uint32_t bits) {
  float v;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

float widen(Half h, uint16_t bits) {
  if (h == Half::BF16) return f32_from_bits(uint32_t{bits} << 16);
  const uint32_t sign = uint32_t{bits & 0x8000u} << 16;
  const uint32_t exp = (bits >> 10) & 0x1Fu;
  const uint32_t mant = bits & 0x3FFu;
  if (exp == 0) {  // zero or subnormal: mant * 2^-24
    const float mag = std::ldexp(static_cast<float>(mant), -24);
    return sign ? -mag : mag;
  }
  if (exp == 0x1F) return f32_from_bits(sign | 0x7F800000u | (mant << 13));
  return f32_from_bits(sign | ((exp - 15 + 127) << 23) | (mant << 13));
}

std::vector<float> widen(Half h, const std::vector<uint16_t>& bits) {
  std::vector<float> out(bits.size());
  for (size_t i = 0; i < bits.size(); ++i) out[i] = widen(h, bits[i]);
  return out;
}

namespace {

// Keeps the top bits of an f32 pattern, rounding the dropped `drop` bits to
// nearest even; a carry propagates into the exponent as it should.
uint32_t round_drop(uint32_t bits, int drop) {
  const uint32_t half = 1u << (drop - 1);
  const uint32_t rem = bits & ((1u << drop) - 1);
  uint32_t kept = bits >> drop;
  if (rem > half || (rem == half && (kept & 1u))) ++kept;
  return kept;
}

uint16_t narrow_f16(float v) {
  const uint32_t x = f32_bits(v);
  const uint16_t sign = static_cast<uint16_t>((x >> 16) & 0x8000u);
  const uint32_t ax = x & 0x7FFFFFFFu;
  if (ax > 0x7F800000u) return sign | 0x7E00u;
  // 65520 = 0x477FF000 lies halfway between the largest finite f16 (65504,
  // odd mantissa) and 2^16: it and everything above round to infinity.
  if (ax >= 0x477FF000u) return sign | 0x7C00u;
  if (ax >= 0x38800000u) {  // f16 normal range, from 2^-14
    const uint32_t rebased = ax - ((127u - 15u) << 23);
    return sign | static_cast<uint16_t>(round_drop(rebased, 13));
  }
  // Subnormal f16: the magnitude in units of 2^-24, rounded half to even.
  // Exact in double; 1024 units is the smallest normal, encoded as 0x0400.
  const double units = std::ldexp(static_cast<double>(std::fabs(v)), 24);
  double whole = std::floor(units);
  const double frac = units - whole;
  if (frac > 0.5 || (frac == 0.5 && std::fmod(whole, 2.0) != 0.0)) whole += 1.0;
  return sign | static_cast<uint16_t>(whole);
}

uint16_t narrow_bf16(float v) {
  const uint32_t x = f32_bits(v);
  if ((x & 0x7FFFFFFFu) > 0x7F800000u) return static_cast<uint16_t>((x >> 16) | 0x0040u);
  return static_cast<uint16_t>(round_drop(x, 16));
}

}  // namespace

uint16_t narrow(Half h, float v) { return h == Half::BF16 ? narrow_bf16(v) : narrow_f16(v); }

bool is_nan(Half h, uint16_t bits) {
  return h == Half::BF16 ? (bits & 0x7F80u) == 0x7F80u && (bits & 0x007Fu) != 0
                         : (bits & 0x7C00u) == 0x7C00u && (bits & 0x03FFu) != 0;
}

uint16_t nan_bits(Half h) { return h == Half::BF16 ? 0x7FC0u : 0x7E00u; }

std::vector<uint16_t> narrow(Half h, const std::vector<float>& values) {
  std::vector<uint16_t> out(values.size());
  for (size_t i = 0; i < values.size(); ++i) out[i] = narrow(h, values[i]);
  return out;
}

}  // namespace tesvan::test
