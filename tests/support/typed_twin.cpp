#include "support/typed_twin.h"

#include <cmath>

namespace tesvan::test {
namespace {

// Stride-gap filler: a finite value in both types that no kernel computes here.
constexpr uint16_t kGapBits = 0x5A5A;

// The large term of the cancelling pair.  Near 2^21 an f32 step is 1/4
// (bf16) and near 2^16 it is 1/128 (f16): both coarse next to the output's
// 16-bit step, and both within range of their type.
float cancelling_magnitude(Half h) { return h == Half::BF16 ? 0x1p20f : 0x1p15f; }

// One operand: random values at every (outer, reduction) position and NaN
// everywhere else, in the stride gaps and in a tail past the end as far as a
// tile or slice could reach, so that reading any of it shows as NaN.
std::vector<uint16_t> product_side(Half h, int reduction, const OperandLayout& side,
                                   uint32_t seed) {
  const size_t tail = 128 * side.outer_stride + 16 * side.red_stride;
  std::vector<uint16_t> v(side.elements + tail, nan_bits(h));
  const std::vector<uint16_t> values =
      narrow(h, random_floats(static_cast<size_t>(side.outer) * reduction, seed));
  size_t n = 0;
  for (int i = 0; i < side.outer; ++i) {
    for (int r = 0; r < reduction; ++r)
      v[i * side.outer_stride + r * side.red_stride] = values[n++];
  }
  return v;
}

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

TwinProduct TypedTwinTest::product(Half h, int reduction, const OperandLayout& left,
                                   const OperandLayout& right, uint32_t seed) {
  const uint16_t big = narrow(h, cancelling_magnitude(h));
  const uint16_t sign = 0x8000;
  std::vector<uint16_t> l = product_side(h, reduction, left, seed);
  std::vector<uint16_t> r = product_side(h, reduction, right, seed + 7919);
  if (reduction >= 2) {
    const size_t p = 0, q = static_cast<size_t>(reduction) - 1;
    for (int i = 0; i < left.outer; ++i) {
      const uint16_t s = (i % 3 == 0) ? sign : 0;  // mixed signs across outputs
      l[i * left.outer_stride + p * left.red_stride] = big ^ s;
      l[i * left.outer_stride + q * left.red_stride] = big ^ s ^ sign;
    }
    for (int j = 0; j < right.outer; ++j) {
      r[j * right.outer_stride + q * right.red_stride] =
          r[j * right.outer_stride + p * right.red_stride];
    }
  }
  return {{upload_u16(l), upload(widen(h, l))}, {upload_u16(r), upload(widen(h, r))}};
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
