// A typed (bf16/f16) kernel next to its f32 twin on the same values: every
// operand is uploaded both as 16-bit patterns and as their exact f32 values,
// outputs start alike, and the typed output must be the twin's output rounded
// once to nearest even (dW, always f32: the twin's output exactly).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/kernel_harness.h"
#include "support/typed_values.h"

namespace tesvan::test {

// One operand in both forms.
struct TwinOperand {
  DeviceArray typed;  // 16-bit patterns
  DeviceArray wide;   // their f32 values
};

// Where one operand of a product keeps its elements: element (outer index i,
// reduction index r) at i * outer_stride + r * red_stride, for `outer` values
// of i; `elements` is what to allocate.
struct OperandLayout {
  size_t elements;
  int outer;
  size_t outer_stride, red_stride;
};

// The two operands of a product, both in both forms.
struct TwinProduct {
  TwinOperand left, right;
};

// A rows x cols output at row stride ld in both forms.  Its elements start as
// random values when the kernel reads the old output (beta != 0), otherwise
// as NaN, which must never reach a result; the elements between cols and ld
// hold a pattern that must survive the kernel.
struct TwinOutput {
  Half half = Half::BF16;
  int rows = 0, cols = 0, ld = 0;
  std::vector<uint16_t> initial;
  DeviceArray typed, wide;
};

// An f32 accumulation target (dW) for both kernels, from one random start.
struct TwinAccumulator {
  DeviceArray typed, wide;
};

// Output rows x cols and reduction length k, named after the forward product
// (each test says which kernel dimensions they stand for); pad widens every
// row stride the kernel takes, covering the scalar paths and stride gaps.
struct TwinCase {
  int m, n, k;
  bool bias;
  float alpha, beta;
  int pad;
};

// "bf16 m=.. n=.. k=.. bias alpha=.. beta=.. pad=..", for SCOPED_TRACE.
std::string describe(const TwinCase& c, Half h);

// Blocks of per_block covering n.
unsigned blocks_for(int n, int per_block);

// "<base>_bf16" or "<base>_f16".
std::string typed_name(const char* base, Half h);

// Valid elements: typed == RNE(twin), where the twin wrote a number; the
// elements past cols in each row: untouched.
testing::AssertionResult matches_twin(const TwinOutput& out);
// Bit-for-bit equal f32 results.
testing::AssertionResult matches_twin(const TwinAccumulator& acc);

class TypedTwinTest : public KernelTest {
 protected:
  TwinOperand operand(Half h, size_t count, uint32_t seed);
  // Random operands of a product over `reduction` terms, except that every
  // output's first and last term are +H * v and -H * v for one large H: they
  // cancel exactly, while the terms added between them are partly absorbed
  // in f32 depending on the order.  A change of summation order then moves
  // the result by far more than a 16-bit rounding step hides.  Elements
  // outside the operand (stride gaps, past the end) are NaN: a kernel that
  // reads one, even to multiply it by a staged zero, gets a NaN result.
  TwinProduct product(Half h, int reduction, const OperandLayout& left, const OperandLayout& right,
                      uint32_t seed);
  TwinOutput output(Half h, int rows, int cols, int ld, bool read_old, uint32_t seed);
  TwinAccumulator accumulator(size_t count, uint32_t seed);
  // An f32 bias of n values, passed when the case asks for one.
  DeviceArray bias(int n, uint32_t seed) {
    return upload(random_floats(static_cast<size_t>(n), seed));
  }
  static Arg bias_arg(const TwinCase& c, const DeviceArray& bias) {
    return c.bias ? Arg(bias) : Arg(nullptr);
  }

  // Runs launch(name, output, a, b) as the typed kernel <typed_base>_<type>
  // on the 16-bit arrays and as the twin on the f32 arrays; both must run.
  template <class Out, class Launch>
  testing::AssertionResult run_both(const char* typed_base, const char* twin, Half h,
                                    const Out& out, const TwinOperand& a, const TwinOperand& b,
                                    Launch launch) {
    testing::AssertionResult typed =
        launch(typed_name(typed_base, h).c_str(), out.typed, a.typed, b.typed);
    if (!typed) return typed;
    return launch(twin, out.wide, a.wide, b.wide);
  }
};

}  // namespace tesvan::test
