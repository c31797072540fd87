#include "support/typed_twin.h"

#include <cmath>

namespace tesvan::test {
namespace {

// Stride-gap filler: a finite value in both types that no kernel computes here.
constexpr uint16_t kGapBits = 0x5A5A;

}  // namespace

std::string describe(const TwinCase& c, Half h) {
  return std::string(half_suffix(h)) + " m=" + std::to_string(c.m) + " n=" + std::to_string(c.n) +
         " k=" + std::to_string(c.k) + (c.bias ? " bias" : "") +
         " alpha=" + std::to_string(c.alpha) + " beta=" + std::to_string(c.beta) +
         " pad=" + std::to_string(c.pad);
}

unsigned blocks_for(int n, int per_block) {
  return static_cast<unsigned>((n + per_block - 1) / per_block);
}

std::string typed_name(const char* base, Half h) {
  return std::string(base) + "_" + half_suffix(h);
}

TwinOperand TypedTwinTest::operand(Half h, size_t count, uint32_t seed) {
  const std::vector<uint16_t> bits = narrow(h, random_floats(count, seed));
  return {upload_u16(bits), upload(widen(h, bits))};
}

TwinOutput TypedTwinTest::output(Half h, int rows, int cols, int ld, bool read_old, uint32_t seed) {
  TwinOutput out;
  out.half = h;
  out.rows = rows;
  out.cols = cols;
  out.ld = ld;
  const size_t count = static_cast<size_t>(rows) * static_cast<size_t>(ld);
  out.initial =
      read_old ? narrow(h, random_floats(count, seed)) : std::vector<uint16_t>(count, nan_bits(h));
  for (size_t i = 0; i < count; ++i) {
    if (static_cast<int>(i % static_cast<size_t>(ld)) >= cols) out.initial[i] = kGapBits;
  }
  out.typed = upload_u16(out.initial);
  out.wide = upload(widen(h, out.initial));
  return out;
}

TwinAccumulator TypedTwinTest::accumulator(size_t count, uint32_t seed) {
  const std::vector<float> initial = random_floats(count, seed);
  return {upload(initial), upload(initial)};
}

testing::AssertionResult matches_twin(const TwinOutput& out) {
  const std::vector<float> twin = out.wide.download_f32();
  std::vector<uint16_t> expected = out.initial;
  for (size_t i = 0; i < expected.size(); ++i) {
    if (static_cast<int>(i % static_cast<size_t>(out.ld)) >= out.cols) continue;
    if (std::isnan(twin[i])) {
      return testing::AssertionFailure()
             << "the f32 twin left element " << i << " (row " << i / out.ld << ", column "
             << i % out.ld << ") unwritten";
    }
    expected[i] = narrow(out.half, twin[i]);
  }
  return bits_equal_u16(expected, out.typed.download_u16(), static_cast<size_t>(out.ld));
}

testing::AssertionResult matches_twin(const TwinAccumulator& acc) {
  return bits_equal(acc.wide.download_f32(), acc.typed.download_f32());
}

}  // namespace tesvan::test
