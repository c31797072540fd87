// Host-side bf16 / f16 values for the typed kernel tests: exact widening and
// an independent round-to-nearest-even narrowing.
#pragma once

#include <cstdint>
#include <vector>

namespace tesvan::test {

enum class Half { BF16, F16 };

inline constexpr Half kHalves[] = {Half::BF16, Half::F16};

// "bf16" or "f16": the kernel-name suffix.
const char* half_suffix(Half h);

// Exact: every 16-bit value is an f32 value.  NaN payloads are kept.
float widen(Half h, uint16_t bits);
std::vector<float> widen(Half h, const std::vector<uint16_t>& bits);

// Round to nearest, ties to even.  f16: magnitudes from 65520 on become
// infinities, small ones f16 subnormals or zeros.  A NaN gives a quiet NaN
// of the same sign; only its NaN-ness is meant to be compared.
uint16_t narrow(Half h, float v);
std::vector<uint16_t> narrow(Half h, const std::vector<float>& values);

bool is_nan(Half h, uint16_t bits);

// A quiet NaN pattern, used to prefill outputs that must not be read.
uint16_t nan_bits(Half h);

uint32_t f32_bits(float v);
float f32_from_bits(uint32_t bits);

}  // namespace tesvan::test
