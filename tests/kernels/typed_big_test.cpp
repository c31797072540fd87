// The typed 128 x 128 kernels against the f32 big kernels: for both element
// types, every output is the f32 kernel's output on the widened operands
// rounded once to nearest even (dW: the f32 kernel's output exactly).
#include <string>

#include "support/typed_twin.h"

namespace tesvan::test {
namespace {

constexpr unsigned kThreads = 256;
constexpr unsigned kDynamicShared = 34816;  // what the engine passes

unsigned tiles(int rows, int cols) {
  return static_cast<unsigned>((rows + 127) / 128) * static_cast<unsigned>((cols + 127) / 128);
}

using TypedBigKernels = TypedTwinTest;

TEST_F(TypedBigKernels, NnBigIsRoundedTwin) {
  const TwinCase cases[] = {
      {1, 1, 0, true, 1.0f, 0.0f, 0},       // empty reduction: the seeded bias alone
      {130, 129, 20, true, 1.0f, 0.0f, 0},  // partial tiles; one valid column in the last
      {129, 7, 33, false, 1.0f, 0.5f, 3},   // beta blend, odd strides
      {5, 130, 16, true, 1.0f, -1.25f, 1},  // beta blend with a bias
      {3, 5, 17, false, 0.75f, 0.0f, 0},    // alpha scaling
      {1100, 2, 3, false, 1.0f, 0.0f, 0},   // more tile rows than one swizzle group
  };
  uint32_t seed = 1000;
  for (Half h : kHalves) {
    for (const TwinCase& c : cases) {
      SCOPED_TRACE(describe(c, h));
      const int lda = c.k + c.pad, ldb = c.n + c.pad, ldc = c.n + c.pad;
      auto [a, b] = product(h, c.k, {static_cast<size_t>(c.m) * lda, c.m, size_t(lda), 1},
                            {static_cast<size_t>(c.k) * ldb, c.n, 1, size_t(ldb)}, ++seed);
      DeviceArray bi = bias(c.n, ++seed);
      TwinOutput out = output(h, c.m, c.n, ldc, c.beta != 0.0f, ++seed);
      auto launch = [&](const char* name, const DeviceArray& cc, const DeviceArray& aa,
                        const DeviceArray& bb) {
        return run(name, {tiles(c.m, c.n)}, {kThreads}, kDynamicShared,
                   {cc, aa, bb, bias_arg(c, bi), c.alpha, c.beta, c.m, c.n, c.k, lda, ldb, ldc});
      };
      ASSERT_TRUE(run_both("tesvan_nn_big", "tesvan_nn", h, out, a, b, launch));
      EXPECT_TRUE(matches_twin(out));
    }
  }
}

TEST_F(TypedBigKernels, TnBigAccumulatesTwinExactly) {
  // dW[K_out, N] += X[M_red, K_out]^T dY[M_red, N]: m = M_red, k = K_out.
  const TwinCase cases[] = {
      {0, 5, 3, false, 1.0f, 0.0f, 0},  // empty reduction adds zero
      {33, 129, 130, false, 1.0f, 0.0f, 0},
      {20, 131, 7, false, 0.75f, 0.0f, 0},
      {17, 1, 129, false, 1.0f, 0.0f, 0},
  };
  uint32_t seed = 1100;
  for (Half h : kHalves) {
    for (const TwinCase& c : cases) {
      SCOPED_TRACE(describe(c, h));
      auto [x, dy] = product(h, c.m, {static_cast<size_t>(c.m) * c.k, c.k, 1, size_t(c.k)},
                             {static_cast<size_t>(c.m) * c.n, c.n, 1, size_t(c.n)}, ++seed);
      TwinAccumulator dw = accumulator(static_cast<size_t>(c.k) * c.n, ++seed);
      auto launch = [&](const char* name, const DeviceArray& out, const DeviceArray& xx,
                        const DeviceArray& dyy) {
        return run(name, {tiles(c.k, c.n)}, {kThreads}, kDynamicShared,
                   {out, xx, dyy, c.alpha, c.m, c.k, c.n});
      };
      ASSERT_TRUE(run_both("tesvan_tn_big", "tesvan_tn", h, dw, x, dy, launch));
      EXPECT_TRUE(matches_twin(dw));
    }
  }
}

TEST_F(TypedBigKernels, NtBigIsRoundedTwin) {
  // dX[M, K_out] = dY[M, N] W[K_out, N]^T: n = K_out, k = N (the reduction).
  const TwinCase cases[] = {
      {2, 3, 0, false, 1.0f, 0.0f, 0},  // empty reduction writes zeros
      {130, 129, 33, false, 1.0f, 0.0f, 0},
      {129, 6, 17, false, 0.75f, 0.0f, 0},
      {1, 130, 20, false, 1.0f, 0.0f, 0},
  };
  uint32_t seed = 1200;
  for (Half h : kHalves) {
    for (const TwinCase& c : cases) {
      SCOPED_TRACE(describe(c, h));
      auto [dy, w] = product(h, c.k, {static_cast<size_t>(c.m) * c.k, c.m, size_t(c.k), 1},
                             {static_cast<size_t>(c.n) * c.k, c.n, size_t(c.k), 1}, ++seed);
      TwinOutput dx = output(h, c.m, c.n, c.n, false, ++seed);
      auto launch = [&](const char* name, const DeviceArray& out, const DeviceArray& dyy,
                        const DeviceArray& ww) {
        return run(name, {tiles(c.m, c.n)}, {kThreads}, kDynamicShared,
                   {out, dyy, ww, c.alpha, c.m, c.k, c.n});
      };
      ASSERT_TRUE(run_both("tesvan_nt_big", "tesvan_nt", h, dx, dy, w, launch));
      EXPECT_TRUE(matches_twin(dx));
    }
  }
}

}  // namespace
}  // namespace tesvan::test
