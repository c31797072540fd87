// Tensor-core kernels on the device: both tile families, both element types,
// all three products, under the Ampere (8.0) and the Hopper (9.0) model.
// Every run also checks that nothing outside the output changed (guard bands
// and leading-dimension padding) and, on the simulated device, that no memory
// or shared-memory race fault was raised.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/sim_control.h"
#include "support/tc_problem.h"
#include "support/typed_values.h"

namespace tesvan::test {
namespace {

constexpr TcOp kOps[] = {TcOp::NN, TcOp::TN, TcOp::NT};

struct Shape {
  int M, K, N;
};

std::string describe(const TcProblem& p, const TcLayout& l) {
  return std::string(tc_name(p.op)) + " " + half_suffix(p.elem) + " M=" + std::to_string(p.M) +
         " K=" + std::to_string(p.K) + " N=" + std::to_string(p.N) + " tile " +
         std::to_string(l.tile) + " pads " + std::to_string(l.pad_a) + "/" +
         std::to_string(l.pad_b) + "/" + std::to_string(l.pad_c) + " shift " +
         std::to_string(l.shift);
}

// Equal element for element; otherwise the first difference.
testing::AssertionResult same_bits(const std::vector<uint32_t>& x, const std::vector<uint32_t>& y,
                                   int cols) {
  if (x.size() != y.size()) return testing::AssertionFailure() << "sizes differ";
  for (size_t i = 0; i < x.size(); ++i) {
    if (x[i] != y[i]) {
      return testing::AssertionFailure() << "element (" << i / cols << ", " << i % cols
                                         << "): " << std::hex << x[i] << " vs " << y[i];
    }
  }
  return testing::AssertionSuccess();
}

// Parameter: the simulated compute capability (80 or 90).  On a real GPU
// only the models the device reaches run.
class TcKernels : public KernelTest, public testing::WithParamInterface<int> {
 protected:
  DeviceModel model() const override { return GetParam() == 90 ? kSm90 : kSm80; }

  // Runs and requires success; the output, or empty after a failure.
  std::vector<uint32_t> run(const TcProblem& p, const TcLayout& l) {
    TcRun r = tc_run(*h_, p, l);
    EXPECT_EQ(r.error, "") << describe(p, l);
    return r.out;
  }

  // Thread-instructions of the last launch (simulated device), else 0.
  static uint64_t last_launch_instructions() {
    const SimControl& s = sim();
    if (!s.available() || s.tvnsim_launch_count() == 0) return 0;
    TvnSimLaunch l;
    if (s.tvnsim_launch_get(s.tvnsim_launch_count() - 1, &l) != 0) return 0;
    return l.thread_instructions;
  }
};

// Shapes with tails everywhere: partial tiles in both families, a reduction
// ending 8 past a slab (fast staging), nothing a multiple of 8 (scalar
// staging), and a 2-slab reduction with one row or column into the third.
TEST_P(TcKernels, TileFamiliesAgreeBitForBitAndMeetTheExactReference) {
  const Shape shapes[] = {{136, 72, 136}, {67, 83, 75}, {129, 136, 72}};
  for (TcOp op : kOps) {
    for (Half elem : kHalves) {
      for (const Shape& s : shapes) {
        const TcProblem p =
            tc_problem(op, elem, s.M, s.K, s.N, TcValues::Real, 11 * s.M + s.N, op == TcOp::NN);
        SCOPED_TRACE(describe(p, {}));
        const std::vector<uint32_t> big = run(p, {128});
        const std::vector<uint32_t> small = run(p, {64});
        if (HasFailure()) return;
        EXPECT_TRUE(same_bits(big, small, p.out_cols()));
        EXPECT_EQ(tc_check_reference(p, big), "");
      }
    }
  }
}

// With small integers every partial sum is exact in f32, so the result is
// known to the bit whatever the mma's internal rounding: any slip in the
// fragment layouts, the zero-fill or the bias seeding changes it.
TEST_P(TcKernels, IntegerProductsAreExact) {
  for (TcOp op : kOps) {
    for (Half elem : kHalves) {
      const TcProblem p = tc_problem(op, elem, 67, 83, 75, TcValues::Integer, 5, op == TcOp::NN);
      const TcExpect e = tc_reference(p);
      for (int tile : {128, 64}) {
        SCOPED_TRACE(describe(p, {tile}));
        const std::vector<uint32_t> out = run(p, {tile});
        if (HasFailure()) return;
        for (size_t i = 0; i < out.size(); ++i) {
          const float exact = static_cast<float>(e.value[i]);
          const uint32_t want = p.typed_out() ? narrow(elem, exact) : f32_bits(exact);
          ASSERT_EQ(out[i], want) << "element " << i / p.out_cols() << ", " << i % p.out_cols();
        }
      }
    }
  }
}

// The same values staged by 16-byte asynchronous copies and element by
// element.  The forward kernel picks the path from its leading dimensions
// (dense K = 100, N = 75: scalar; padded to 104 and 80: fast, with the last
// piece of each row copied partially), and every kernel takes the scalar path
// for an operand base off 16-byte alignment.
TEST_P(TcKernels, FastAndScalarStagingGiveTheSameBits) {
  struct Variant {
    TcLayout fast, scalar;
  };
  for (Half elem : kHalves) {
    for (TcOp op : kOps) {
      const bool nn = op == TcOp::NN;
      const TcProblem p = nn ? tc_problem(op, elem, 70, 100, 75, TcValues::Real, 3, true)
                             : tc_problem(op, elem, 70, 72, 80, TcValues::Real, 3);
      for (int tile : {128, 64}) {
        std::vector<Variant> variants;
        if (nn) {
          variants.push_back({{tile, 4, 5, 3}, {tile, 0, 0, 0}});
          variants.push_back({{tile, 4, 5, 0}, {tile, 5, 6, 0}});  // odd strides
        }
        variants.push_back(
            {{tile, nn ? 4 : 0, nn ? 5 : 0, 0}, {tile, nn ? 4 : 0, nn ? 5 : 0, 0, /*shift=*/1}});
        for (const Variant& v : variants) {
          SCOPED_TRACE(describe(p, v.fast) + " vs " + describe(p, v.scalar));
          const std::vector<uint32_t> fast = run(p, v.fast);
          const uint64_t fast_work = last_launch_instructions();
          const std::vector<uint32_t> scalar = run(p, v.scalar);
          const uint64_t scalar_work = last_launch_instructions();
          if (HasFailure()) return;
          EXPECT_TRUE(same_bits(fast, scalar, p.out_cols()));
          // On the simulated device: the two runs really took different paths.
          if (fast_work != 0) {
            EXPECT_NE(fast_work, scalar_work);
          }
        }
      }
      if (nn) {
        EXPECT_EQ(tc_check_reference(p, run(p, {64, 4, 5, 0})), "");
      }
    }
  }
}

// An output row computed alone and as row 77 of a bigger batch (another
// tile, warp and fragment row, another grid) has the same bits.  For dW
// the rows are the columns of X.
TEST_P(TcKernels, AnOutputRowDoesNotDependOnTheBatch) {
  constexpr int kAlone = 40, kBefore = 77, kBatch = kBefore + kAlone + 30;
  for (TcOp op : kOps) {
    for (Half elem : kHalves) {
      TcProblem alone, batch;
      if (op == TcOp::TN) {
        // dW rows follow X's columns: X alone becomes columns 77.. of a wider X.
        alone = tc_problem(op, elem, 72, kAlone, 72, TcValues::Real, 21);
        batch = tc_problem(op, elem, 72, kBatch, 72, TcValues::Real, 22);
        for (int m = 0; m < 72; ++m) {
          std::copy_n(alone.a.begin() + m * kAlone, kAlone, batch.a.begin() + m * kBatch + kBefore);
        }
      } else {
        alone = tc_problem(op, elem, kAlone, 72, 72, TcValues::Real, 21, op == TcOp::NN);
        batch = tc_problem(op, elem, kBatch, 72, 72, TcValues::Real, 22, op == TcOp::NN);
        batch.bias = alone.bias;
        std::copy(alone.a.begin(), alone.a.end(), batch.a.begin() + kBefore * 72);
      }
      batch.b = alone.b;
      SCOPED_TRACE(describe(alone, {}));
      const std::vector<uint32_t> a = run(alone, {64});
      const std::vector<uint32_t> b = run(batch, {128});
      if (HasFailure()) return;
      const int cols = alone.out_cols();
      const std::vector<uint32_t> rows(b.begin() + kBefore * cols,
                                       b.begin() + (kBefore + kAlone) * cols);
      EXPECT_TRUE(same_bits(a, rows, cols));
    }
  }
}

// Reduction length 0: the forward output is the bias rounded once (to
// nearest even), dW keeps its value, dX becomes +0.
TEST_P(TcKernels, AnEmptyReductionLeavesTheSeed) {
  for (TcOp op : kOps) {
    for (Half elem : kHalves) {
      const int M = op == TcOp::TN ? 0 : 70, K = op == TcOp::NN ? 0 : 70,
                N = op == TcOp::NT ? 0 : 75;
      TcProblem p = tc_problem(op, elem, M, K, N, TcValues::Real, 8, op == TcOp::NN);
      // Biases in quarter steps of the 16-bit spacing near 1 (ties included),
      // so that the store's rounding shows.
      const float quarter = elem == Half::BF16 ? 0x1p-9f : 0x1p-12f;
      for (int c = 0; c < static_cast<int>(p.bias.size()); ++c) p.bias[c] = 1.0f + c * quarter;
      for (int tile : {128, 64}) {
        SCOPED_TRACE(describe(p, {tile}));
        const std::vector<uint32_t> out = run(p, {tile});
        if (HasFailure()) return;
        for (size_t i = 0; i < out.size(); ++i) {
          const uint32_t want = op == TcOp::NN   ? narrow(elem, p.bias[i % p.N])
                                : op == TcOp::TN ? p.out0[i]
                                                 : 0u;
          ASSERT_EQ(out[i], want) << "element " << i;
        }
      }
    }
  }
}

// beta = 0 must not read the old output (NaN there would poison it); other
// alpha and beta scale and blend, and dW accumulates.
TEST_P(TcKernels, EpiloguesScaleBlendAndAccumulate) {
  for (Half elem : kHalves) {
    TcProblem p = tc_problem(TcOp::NN, elem, 70, 72, 75, TcValues::Real, 13, true);
    std::fill(p.out0.begin(), p.out0.end(), nan_bits(elem));
    for (int tile : {128, 64}) {
      SCOPED_TRACE(describe(p, {tile}) + " over NaN");
      EXPECT_EQ(tc_check_reference(p, run(p, {tile})), "");
    }
    TcProblem blend = tc_problem(TcOp::NN, elem, 70, 72, 75, TcValues::Real, 14);
    for (size_t i = 0; i < blend.out0.size(); ++i) {
      blend.out0[i] = narrow(elem, static_cast<float>(i % 13) - 6.0f);
    }
    blend.alpha = 2.0f;
    blend.beta = -0.5f;
    TcProblem dw = tc_problem(TcOp::TN, elem, 70, 72, 75, TcValues::Real, 15);
    dw.alpha = 0.5f;
    for (size_t i = 0; i < dw.out0.size(); ++i)
      dw.out0[i] = f32_bits(static_cast<float>(i % 7) - 3.0f);
    TcProblem dx = tc_problem(TcOp::NT, elem, 70, 72, 75, TcValues::Real, 16);
    dx.alpha = -2.0f;
    for (const TcProblem* q : {&blend, &dw, &dx}) {
      SCOPED_TRACE(describe(*q, {64}) + " alpha " + std::to_string(q->alpha) + " beta " +
                   std::to_string(q->beta));
      EXPECT_EQ(tc_check_reference(*q, run(*q, {64})), "");
    }
  }
}

// The bias seeds the accumulators, so a bias with alpha != 1 is refused by
// a device assertion.  Simulated device only: on a GPU the fault would end
// the context.
TEST_P(TcKernels, BiasWithAlphaOtherThanOneIsRefused) {
  if (!sim().available()) GTEST_SKIP() << "needs the simulated device";
  TcProblem p = tc_problem(TcOp::NN, Half::BF16, 64, 16, 64, TcValues::Real, 1, true);
  p.alpha = 2.0f;
  EXPECT_NE(tc_run(*h_, p, {64}).error.find("CUDA_ERROR_ASSERT"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Ampere, TcKernels, testing::Values(80));
INSTANTIATE_TEST_SUITE_P(Hopper, TcKernels, testing::Values(90));

}  // namespace
}  // namespace tesvan::test
