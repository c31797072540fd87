// Reading and writing values in 64-bit register slots: an n-byte value sits
// in the low bytes; floats are kept as their bit patterns.
#pragma once

#include <bit>
#include <cstdint>

namespace tvnsim::exec {

inline uint64_t width_mask(uint32_t bytes) { return bytes >= 8 ? ~0ull : (1ull << (8 * bytes)) - 1; }

// The low `bytes` bytes of v, sign-extended.
inline int64_t sext(uint64_t v, uint32_t bytes) {
  const int shift = 64 - 8 * static_cast<int>(bytes);
  return shift == 0 ? static_cast<int64_t>(v) : static_cast<int64_t>(v << shift) >> shift;
}

inline float f32(uint64_t slot) { return std::bit_cast<float>(static_cast<uint32_t>(slot)); }
inline double f64(uint64_t slot) { return std::bit_cast<double>(slot); }
inline uint64_t bits(float f) { return std::bit_cast<uint32_t>(f); }
inline uint64_t bits(double d) { return std::bit_cast<uint64_t>(d); }

}  // namespace tvnsim::exec
