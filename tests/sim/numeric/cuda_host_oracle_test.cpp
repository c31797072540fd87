// The 16-bit conversions against NVIDIA's own host implementations in
// cuda_fp16.h / cuda_bf16.h: an oracle written independently of this
// simulator, in every rounding mode and for NaN results.
#include <gtest/gtest.h>

#if __has_include(<cuda_fp16.h>) && __has_include(<cuda_bf16.h>)
#include <cuda_bf16.h>
#include <cuda_fp16.h>
#define TVNSIM_HAVE_CUDA_HOST_HEADERS 1
#endif

#include <bit>
#include <cstring>
#include <random>
#include <vector>

#include "numeric/numeric.h"

namespace {

namespace num = tvnsim::num;
using num::Round;

#ifdef TVNSIM_HAVE_CUDA_HOST_HEADERS
template <class T>
uint16_t raw(T h) {
  uint16_t u;
  std::memcpy(&u, &h, 2);
  return u;
}

// Every sign, exponent and upper fraction (bits 31..16) with low halves that
// straddle the rounding points of both formats (bit 16 for bf16, bit 13 for
// normal f16; subnormal f16 rounds higher up, inside the exhaustive part).
std::vector<float> samples() {
  std::vector<uint32_t> lows = {0x0000, 0x0001, 0x0FFF, 0x1000, 0x1001, 0x1FFF, 0x2000, 0x2001,
                                0x3000, 0x7FFF, 0x8000, 0x8001, 0xA000, 0xE000, 0xF000, 0xFFFF};
  std::mt19937 rng(23);
  for (int i = 0; i < 4; ++i) lows.push_back(rng() & 0xFFFF);
  std::vector<float> xs;
  xs.reserve(lows.size() << 16);
  for (uint32_t hi = 0; hi <= 0xFFFF; ++hi)
    for (uint32_t lo : lows) xs.push_back(std::bit_cast<float>(hi << 16 | lo));
  return xs;
}
#endif

TEST(CudaHostOracle, NarrowingAndWideningAgreeWithNvidiaHostCode) {
#ifndef TVNSIM_HAVE_CUDA_HOST_HEADERS
  GTEST_SKIP() << "cuda_fp16.h / cuda_bf16.h not available";
#else
  for (float x : samples()) {
    const uint32_t b = std::bit_cast<uint32_t>(x);
    ASSERT_EQ(num::f32_to_f16(x, Round::Nearest), raw(__float2half_rn(x))) << std::hex << b;
    ASSERT_EQ(num::f32_to_f16(x, Round::Zero), raw(__float2half_rz(x))) << std::hex << b;
    ASSERT_EQ(num::f32_to_f16(x, Round::Down), raw(__float2half_rd(x))) << std::hex << b;
    ASSERT_EQ(num::f32_to_f16(x, Round::Up), raw(__float2half_ru(x))) << std::hex << b;
    ASSERT_EQ(num::f32_to_bf16(x, Round::Nearest), raw(__float2bfloat16_rn(x))) << std::hex << b;
    ASSERT_EQ(num::f32_to_bf16(x, Round::Zero), raw(__float2bfloat16_rz(x))) << std::hex << b;
    ASSERT_EQ(num::f32_to_bf16(x, Round::Down), raw(__float2bfloat16_rd(x))) << std::hex << b;
    ASSERT_EQ(num::f32_to_bf16(x, Round::Up), raw(__float2bfloat16_ru(x))) << std::hex << b;
  }
  for (uint32_t p = 0; p <= 0xFFFF; ++p) {
    const auto h = static_cast<uint16_t>(p);
    ASSERT_EQ(std::bit_cast<uint32_t>(num::f16_to_f32(h)), std::bit_cast<uint32_t>(__half2float(__ushort_as_half(h))))
        << std::hex << p;
    __nv_bfloat16_raw r;
    r.x = h;
    ASSERT_EQ(std::bit_cast<uint32_t>(num::bf16_to_f32(h)), std::bit_cast<uint32_t>(__bfloat162float(r)))
        << std::hex << p;
  }
#endif
}

}  // namespace
