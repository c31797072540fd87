// The four elementwise cast kernels of the typed upcast fallback: exact
// widening, round-to-nearest-even narrowing (the same rounding as the typed
// kernels' stores), and nothing written at or past n.
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "support/kernel_harness.h"
#include "support/typed_values.h"

namespace tesvan::test {
namespace {

constexpr unsigned kBlock = 128;

unsigned blocks_for(size_t n) { return static_cast<unsigned>((n + kBlock - 1) / kBlock); }

std::string narrowing_kernel(Half h) { return std::string("tvn_cast_f32_to_") + half_suffix(h); }
std::string widening_kernel(Half h) {
  return std::string("tvn_cast_") + half_suffix(h) + "_to_f32";
}

// f32 values around every rounding decision of both narrowings, then random
// patterns over the whole f32 range (NaNs, infinities and subnormals included).
std::vector<float> narrowing_corpus() {
  const float inf = std::numeric_limits<float>::infinity();
  std::vector<float> v = {
      0.0f, -0.0f, inf, -inf, std::numeric_limits<float>::quiet_NaN(), f32_from_bits(0x7F800001u),
      f32_from_bits(0xFFC00000u),  // signalling and negative NaN
      std::numeric_limits<float>::max(), -std::numeric_limits<float>::max(),
      f32_from_bits(0x00000001u), f32_from_bits(0x807FFFFFu),  // f32 subnormals
      // bf16 (8 significant bits): ties go to the even neighbour.
      1.0f + 0x1p-8f, 1.0f + 3 * 0x1p-8f, -(1.0f + 0x1p-8f), 1.0f + 0x1p-8f + 0x1p-20f,
      f32_from_bits(0x7F7F7FFFu), f32_from_bits(0x7F7F8000u),  // below / at the tie to infinity
      // f16 (11 significant bits).
      1.0f + 0x1p-11f, 1.0f + 3 * 0x1p-11f, -(1.0f + 3 * 0x1p-11f), 1.0f + 0x1p-11f + 0x1p-20f,
      // f16 range: 65504 is the largest finite, 65520 the tie to infinity.
      65504.0f, 65519.996f, 65520.0f, -65520.0f, 1e10f, -1e10f,
      // f16 subnormals: units of 2^-24, ties between units, the tie to 2^-14.
      0x1p-24f, 0x1p-25f, 3 * 0x1p-25f, 5 * 0x1p-25f, 0x1p-14f, 0x1p-14f - 0x1p-25f,
      -0x1p-24f * 1.5f, 1e-10f, -1e-10f};
  std::mt19937 gen(7);
  for (int i = 0; i < 8192; ++i) v.push_back(f32_from_bits(static_cast<uint32_t>(gen())));
  return v;
}

// The same patterns as `expected`, NaN-ness only for NaNs (their payload is
// the hardware's choice).
testing::AssertionResult same_bits_or_nan(Half h, const std::vector<uint16_t>& expected,
                                          const std::vector<uint16_t>& actual,
                                          const std::vector<float>& inputs) {
  std::vector<uint16_t> want = expected;
  for (size_t i = 0; i < want.size(); ++i) {
    if (is_nan(h, want[i])) {
      if (!is_nan(h, actual[i])) {
        return testing::AssertionFailure()
               << "input " << i << " (f32 0x" << std::hex << f32_bits(inputs[i])
               << ") is NaN, result 0x" << actual[i] << " is not";
      }
      want[i] = actual[i];
    }
  }
  return bits_equal_u16(want, actual);
}

using TypedCastKernels = KernelTest;

TEST_F(TypedCastKernels, NarrowingRoundsToNearestEven) {
  const std::vector<float> in = narrowing_corpus();
  const int n = static_cast<int>(in.size());
  DeviceArray src = upload(in);
  for (Half h : kHalves) {
    SCOPED_TRACE(half_suffix(h));
    DeviceArray dst = upload_u16(std::vector<uint16_t>(in.size(), 0));
    ASSERT_TRUE(
        run(narrowing_kernel(h).c_str(), {blocks_for(in.size())}, {kBlock}, 0, {dst, src, n}));
    EXPECT_TRUE(same_bits_or_nan(h, narrow(h, in), dst.download_u16(), in));
  }
}

TEST_F(TypedCastKernels, EveryPatternRoundTripsThroughF32) {
  std::vector<uint16_t> all(65536);
  for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<uint16_t>(i);
  const int n = static_cast<int>(all.size());
  for (Half h : kHalves) {
    SCOPED_TRACE(half_suffix(h));
    DeviceArray bits = upload_u16(all);
    DeviceArray wide = filled(all.size(), 0.0f);
    DeviceArray back = upload_u16(std::vector<uint16_t>(all.size(), 0));
    ASSERT_TRUE(
        run(widening_kernel(h).c_str(), {blocks_for(all.size())}, {kBlock}, 0, {wide, bits, n}));
    ASSERT_TRUE(
        run(narrowing_kernel(h).c_str(), {blocks_for(all.size())}, {kBlock}, 0, {back, wide, n}));

    // Widening is exact: the value of every pattern, NaNs as NaNs.
    const std::vector<float> widened = wide.download_f32();
    std::vector<float> expected = widen(h, all);
    for (size_t i = 0; i < all.size(); ++i) {
      if (is_nan(h, all[i])) {
        ASSERT_TRUE(std::isnan(widened[i])) << "pattern 0x" << std::hex << all[i];
        expected[i] = widened[i];
      }
    }
    EXPECT_TRUE(bits_equal(expected, widened));
    // Narrowing an exact value gives the pattern back.
    EXPECT_TRUE(same_bits_or_nan(h, all, back.download_u16(), widened));
  }
}

TEST_F(TypedCastKernels, ThreadsAtOrPastNWriteNothing) {
  // Two blocks (256 threads) over n = 0 and n = 37 elements of 300: the
  // elements from n on keep their sentinel.
  constexpr size_t kCount = 300;
  constexpr uint16_t kSentinel16 = 0x1234;
  const float kSentinel32 = 1234.5f;
  const std::vector<float> values = random_floats(kCount, 11);
  for (Half h : kHalves) {
    const std::vector<uint16_t> halves = narrow(h, values);
    for (int n : {0, 37}) {
      SCOPED_TRACE(std::string(half_suffix(h)) + " n=" + std::to_string(n));
      DeviceArray wide_in = upload(values);
      DeviceArray half_in = upload_u16(halves);
      DeviceArray half_out = upload_u16(std::vector<uint16_t>(kCount, kSentinel16));
      DeviceArray wide_out = filled(kCount, kSentinel32);
      ASSERT_TRUE(run(narrowing_kernel(h).c_str(), {2}, {kBlock}, 0, {half_out, wide_in, n}));
      ASSERT_TRUE(run(widening_kernel(h).c_str(), {2}, {kBlock}, 0, {wide_out, half_in, n}));

      std::vector<uint16_t> want_half(kCount, kSentinel16);
      std::vector<float> want_wide(kCount, kSentinel32);
      for (int i = 0; i < n; ++i) {
        want_half[i] = halves[i];
        want_wide[i] = widen(h, halves[i]);
      }
      EXPECT_TRUE(bits_equal_u16(want_half, half_out.download_u16()));
      EXPECT_TRUE(bits_equal(want_wide, wide_out.download_f32()));
    }
  }
}

}  // namespace
}  // namespace tesvan::test
