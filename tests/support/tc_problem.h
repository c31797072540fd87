// Products for the tensor-core kernel tests: operands as 16-bit patterns,
// one launch of either tile family with a chosen memory layout, and the
// exact reference with the error bound the kernels must meet.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "support/kernel_harness.h"
#include "support/typed_values.h"

namespace tesvan::test {

enum class TcOp { NN, TN, NT };
const char* tc_name(TcOp op);

// One product in the engine's (M, K, N) terms.  Operands are dense,
// row-major, in the kernels' global layouts:
//   NN  a = A [M, K], b = B [K, N];  out [M, N] typed;    reduction K
//   TN  a = X [M, K], b = dY [M, N]; out dW [K, N] f32 (accumulated); reduction M
//   NT  a = dY [M, N], b = W [K, N]; out dX [M, K] typed; reduction N
struct TcProblem {
  TcOp op = TcOp::NN;
  Half elem = Half::BF16;
  int M = 0, K = 0, N = 0;
  std::vector<uint16_t> a, b;
  std::vector<float> bias;     // NN only, [N]; empty: no bias
  std::vector<uint32_t> out0;  // initial output, dense: 16-bit patterns, or f32 bits for dW
  float alpha = 1.0f, beta = 0.0f;

  int out_rows() const { return op == TcOp::TN ? K : M; }
  int out_cols() const { return op == TcOp::NT ? K : N; }
  int reduction() const { return op == TcOp::NN ? K : op == TcOp::TN ? M : N; }
  int a_cols() const { return op == TcOp::NT ? N : K; }
  bool typed_out() const { return op != TcOp::TN; }
  // An output element's value from its stored pattern.
  double out_value(uint32_t bits) const;
};

enum class TcValues {
  Real,     // either sign, magnitudes in [2^-6, 2) with full mantissas, some zeros
  Integer,  // integers in [-4, 4]: every partial sum is exact in f32
};

// Operands, bias (NN, when `with_bias`) and initial output drawn from a
// fixed seed.  The initial output is 0.25 in every element.
TcProblem tc_problem(TcOp op, Half elem, int M, int K, int N, TcValues values, uint32_t seed,
                     bool with_bias = false);

// Memory layout and tile family of one run.
struct TcLayout {
  int tile = 128;                       // 128 or 64
  int pad_a = 0, pad_b = 0, pad_c = 0;  // NN: elements added to each row stride
  int shift = 0;                        // elements a and b lie past 16-byte alignment
};

struct TcRun {
  std::string error;          // empty when the kernel ran and nothing outside the output changed
  std::vector<uint32_t> out;  // the output, dense, as stored
};

// The kernel's name for a problem and tile.
std::string tc_kernel_name(const TcProblem& p, int tile);

// Uploads the problem in the given layout, launches the kernel with the
// tile family's grid, block and shared memory, and reads the output back.
// Each operand lies between NaN elements and its row padding holds NaN, so
// a read outside a matrix poisons the result; the output's row padding must
// keep its fill, and the harness checks every array's guard bands.
TcRun tc_run(KernelHarness& h, const TcProblem& p, const TcLayout& layout);

// Exact (f64) results and, per element, the largest deviation the kernels
// may show.  The bound: each 16-wide mma step rounds at most 2^-19 of the
// sum of magnitudes so far (|bias| + the |a·b| of the element; truncating f32
// accumulation loses less than 22 units of 2^-24 per step), then the
// epilogue's scaling, blend and store round once each.
struct TcExpect {
  std::vector<double> value;
  std::vector<double> bound;
};
TcExpect tc_reference(const TcProblem& p);

// Empty when every element of `out` is within the bound, else the first
// offending element.
std::string tc_check_reference(const TcProblem& p, const std::vector<uint32_t>& out);

}  // namespace tesvan::test
