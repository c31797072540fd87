// The typed GEMV, ultra-thin and narrow kernels against their f32 twins: for
// both element types, every output is the twin's output on the widened
// operands rounded once to nearest even (dW: the twin's output exactly).
#include <string>

#include "support/typed_twin.h"

namespace tesvan::test {
namespace {

using TypedScalarKernels = TypedTwinTest;

TEST_F(TypedScalarKernels, NnGemvIsRoundedTwin) {
  // Y[m] = X[m, k] . W[k] (+ bias[0]), output stride 1 + pad.
  const TwinCase cases[] = {
      {1, 1, 0, true, 1.0f, 0.0f, 0},     // empty reduction: bias alone
      {5, 1, 31, true, 1.0f, 0.0f, 0},    // fewer than 32 lanes busy, M not a multiple of 4
      {9, 1, 70, false, 1.0f, 0.5f, 3},   // beta blend, odd strides
      {4, 1, 33, true, 1.0f, -1.5f, 1},   // beta blend with a bias
      {6, 1, 45, false, 0.75f, 0.0f, 0},  // alpha scaling
  };
  uint32_t seed = 100;
  for (Half h : kHalves) {
    for (const TwinCase& c : cases) {
      SCOPED_TRACE(describe(c, h));
      const int lda = c.k + c.pad, ldy = 1 + c.pad;
      auto [x, w] = product(h, c.k, {static_cast<size_t>(c.m) * lda, c.m, size_t(lda), 1},
                            {static_cast<size_t>(c.k), 1, 0, 1}, ++seed);
      DeviceArray b = bias(1, ++seed);
      TwinOutput y = output(h, c.m, 1, ldy, c.beta != 0.0f, ++seed);
      auto launch = [&](const char* name, const DeviceArray& yy, const DeviceArray& xx,
                        const DeviceArray& ww) {
        return run(name, {blocks_for(c.m, 4)}, {128}, 0,
                   {yy, xx, ww, bias_arg(c, b), c.alpha, c.beta, c.m, c.k, lda, ldy});
      };
      ASSERT_TRUE(run_both("tesvan_nn_gemv", "tesvan_nn_gemv", h, y, x, w, launch));
      EXPECT_TRUE(matches_twin(y));
    }
  }
}

TEST_F(TypedScalarKernels, TnGemvAccumulatesTwinExactly) {
  // dW[K_out] += X[M_red, K_out]^T . dY[M_red]: m = M_red, k = K_out.
  const TwinCase cases[] = {
      {0, 1, 3, false, 1.0f, 0.0f, 0},  // empty reduction adds zero
      {45, 1, 6, false, 1.0f, 0.0f, 0},
      {31, 1, 9, false, 1.0f, 0.0f, 3},
      {70, 1, 5, false, 0.75f, 0.0f, 1},
  };
  uint32_t seed = 200;
  for (Half h : kHalves) {
    for (const TwinCase& c : cases) {
      SCOPED_TRACE(describe(c, h));
      const int lda = c.k + c.pad, ldy = 1 + c.pad;
      auto [x, dy] = product(h, c.m, {static_cast<size_t>(c.m) * lda, c.k, 1, size_t(lda)},
                             {static_cast<size_t>(c.m) * ldy, 1, 0, size_t(ldy)}, ++seed);
      TwinAccumulator dw = accumulator(static_cast<size_t>(c.k), ++seed);
      auto launch = [&](const char* name, const DeviceArray& out, const DeviceArray& xx,
                        const DeviceArray& dyy) {
        return run(name, {blocks_for(c.k, 4)}, {128}, 0,
                   {out, xx, dyy, c.alpha, c.m, c.k, lda, ldy});
      };
      ASSERT_TRUE(run_both("tesvan_tn_gemv", "tesvan_tn_gemv", h, dw, x, dy, launch));
      EXPECT_TRUE(matches_twin(dw));
    }
  }
}

TEST_F(TypedScalarKernels, NtGemvIsRoundedTwin) {
  // dX[M, K] = (alpha * dY[M]) * W[K]; grids cover more threads than M * K.
  const TwinCase cases[] = {
      {1, 1, 1, false, 1.0f, 0.0f, 0},
      {7, 1, 33, false, 1.0f, 0.0f, 3},
      {20, 1, 13, false, 0.75f, 0.0f, 1},
      {3, 1, 0, false, 1.0f, 0.0f, 2},  // no columns: nothing written
  };
  uint32_t seed = 300;
  for (Half h : kHalves) {
    for (const TwinCase& c : cases) {
      for (int block : {64, 256}) {
        SCOPED_TRACE(describe(c, h) + " block=" + std::to_string(block));
        const int ldx = c.k + c.pad, ldy = 1 + c.pad;
        TwinOperand dy = operand(h, static_cast<size_t>(c.m) * ldy, ++seed);
        TwinOperand w = operand(h, static_cast<size_t>(c.k), ++seed);
        TwinOutput dx = output(h, c.m, c.k, ldx, false, ++seed);
        const unsigned grid = blocks_for(c.m * c.k, block) + 1;
        auto launch = [&](const char* name, const DeviceArray& out, const DeviceArray& dyy,
                          const DeviceArray& ww) {
          return run(name, {grid}, {static_cast<unsigned>(block)}, 0,
                     {out, dyy, ww, c.alpha, c.m, c.k, ldx, ldy});
        };
        ASSERT_TRUE(run_both("tesvan_nt_gemv", "tesvan_nt_gemv", h, dx, dy, w, launch));
        EXPECT_TRUE(matches_twin(dx));
      }
    }
  }
}

TEST_F(TypedScalarKernels, NnUltraThinIsRoundedTwin) {
  const TwinCase cases[] = {
      {1, 1, 0, true, 1.0f, 0.0f, 0},      // empty reduction: bias alone
      {3, 33, 5, true, 1.0f, 0.0f, 0},     // K < 8: empty slabs; one valid lane in the last block
      {31, 70, 67, false, 1.0f, 0.5f, 3},  // beta blend, odd strides
      {2, 40, 130, true, 1.0f, -1.0f, 1},  // beta blend with a bias
      {5, 17, 20, false, 0.75f, 0.0f, 0},  // alpha scaling
  };
  uint32_t seed = 400;
  for (Half h : kHalves) {
    for (const TwinCase& c : cases) {
      SCOPED_TRACE(describe(c, h));
      const int lda = c.k + c.pad, ldb = c.n + c.pad, ldc = c.n + c.pad;
      auto [x, w] = product(h, c.k, {static_cast<size_t>(c.m) * lda, c.m, size_t(lda), 1},
                            {static_cast<size_t>(c.k) * ldb, c.n, 1, size_t(ldb)}, ++seed);
      DeviceArray b = bias(c.n, ++seed);
      TwinOutput y = output(h, c.m, c.n, ldc, c.beta != 0.0f, ++seed);
      auto launch = [&](const char* name, const DeviceArray& yy, const DeviceArray& xx,
                        const DeviceArray& ww) {
        return run(name, {blocks_for(c.n, 32), static_cast<unsigned>(c.m)}, {256},
                   static_cast<unsigned>(c.k) * 4,
                   {yy, xx, ww, bias_arg(c, b), c.alpha, c.beta, c.m, c.n, c.k, lda, ldb, ldc});
      };
      ASSERT_TRUE(run_both("tesvan_nn_ultra_thin", "tesvan_nn_ultra_thin", h, y, x, w, launch));
      EXPECT_TRUE(matches_twin(y));
    }
  }
}

TEST_F(TypedScalarKernels, NnNarrowAndNarrowSmallAreRoundedTwins) {
  const TwinCase cases[] = {
      {1, 1, 0, true, 1.0f, 0.0f, 0},     // empty reduction: the seeded bias alone
      {65, 25, 17, true, 1.0f, 0.0f, 0},  // width not a multiple of 4, one row in the last tile row
      {70, 33, 40, false, 1.0f, 0.5f, 3},    // last tile column holds one valid column
      {130, 20, 15, true, 1.0f, -1.25f, 1},  // more tile rows than one swizzle group (small tiles)
      {17, 9, 33, false, 0.75f, 0.0f, 0},
  };
  struct Variant {
    const char* twin;
    int bm, bn, threads;
  };
  const Variant variants[] = {{"tesvan_nn_narrow", 64, 32, 128},
                              {"tesvan_nn_narrow_small", 16, 16, 64}};
  uint32_t seed = 500;
  for (const Variant& v : variants) {
    for (Half h : kHalves) {
      for (const TwinCase& c : cases) {
        SCOPED_TRACE(std::string(v.twin) + " " + describe(c, h));
        const int lda = c.k + c.pad, ldb = c.n + c.pad, ldc = c.n + c.pad;
        auto [a, b] = product(h, c.k, {static_cast<size_t>(c.m) * lda, c.m, size_t(lda), 1},
                              {static_cast<size_t>(c.k) * ldb, c.n, 1, size_t(ldb)}, ++seed);
        DeviceArray bi = bias(c.n, ++seed);
        TwinOutput out = output(h, c.m, c.n, ldc, c.beta != 0.0f, ++seed);
        const unsigned grid = blocks_for(c.m, v.bm) * blocks_for(c.n, v.bn);
        auto launch = [&](const char* name, const DeviceArray& cc, const DeviceArray& aa,
                          const DeviceArray& bb) {
          return run(
              name, {grid}, {static_cast<unsigned>(v.threads)}, 0,
              {cc, aa, bb, bias_arg(c, bi), c.alpha, c.beta, c.m, c.n, c.k, lda, ldb, ldc, 0});
        };
        ASSERT_TRUE(run_both(v.twin, v.twin, h, out, a, b, launch));
        EXPECT_TRUE(matches_twin(out));
      }
    }
  }
}

TEST_F(TypedScalarKernels, TnNarrowAccumulatesTwinExactly) {
  // dW[K_out, N] += X[M_red, K_out]^T dY[M_red, N]: m = M_red, k = K_out.
  const TwinCase cases[] = {
      {0, 3, 5, false, 1.0f, 0.0f, 0},     // empty reduction adds zero
      {17, 25, 65, false, 1.0f, 0.0f, 0},  // one valid row in the last tile row, N % 4 != 0
      {40, 33, 70, false, 1.0f, 0.0f, 0},  // last tile column holds one valid column
      {33, 1, 6, false, 0.75f, 0.0f, 0},
      {20, 5, 520, false, 1.0f, 0.0f, 0},  // more tile rows than one swizzle group
  };
  uint32_t seed = 600;
  for (Half h : kHalves) {
    for (const TwinCase& c : cases) {
      SCOPED_TRACE(describe(c, h));
      auto [x, dy] = product(h, c.m, {static_cast<size_t>(c.m) * c.k, c.k, 1, size_t(c.k)},
                             {static_cast<size_t>(c.m) * c.n, c.n, 1, size_t(c.n)}, ++seed);
      TwinAccumulator dw = accumulator(static_cast<size_t>(c.k) * c.n, ++seed);
      const unsigned grid = blocks_for(c.k, 64) * blocks_for(c.n, 32);
      auto launch = [&](const char* name, const DeviceArray& out, const DeviceArray& xx,
                        const DeviceArray& dyy) {
        return run(name, {grid}, {128}, 0, {out, xx, dyy, c.alpha, c.m, c.k, c.n});
      };
      ASSERT_TRUE(run_both("tesvan_tn_narrow", "tesvan_tn_narrow", h, dw, x, dy, launch));
      EXPECT_TRUE(matches_twin(dw));
    }
  }
}

TEST_F(TypedScalarKernels, NtNarrowIsRoundedTwin) {
  // dX[M, K_out] = dY[M, N] W[K_out, N]^T: n = K_out, k = N (the reduction).
  const TwinCase cases[] = {
      {3, 5, 0, false, 1.0f, 0.0f, 0},  // empty reduction writes zeros
      {65, 33, 17, false, 1.0f, 0.0f, 0},
      {70, 257, 40, false, 1.0f, 0.0f, 0},  // 257th column alone in its tile column
      {1, 1, 35, false, 0.75f, 0.0f, 0},
      {520, 3, 16, false, 1.0f, 0.0f, 0},  // more tile rows than one swizzle group
  };
  uint32_t seed = 700;
  for (Half h : kHalves) {
    for (const TwinCase& c : cases) {
      SCOPED_TRACE(describe(c, h));
      auto [dy, w] = product(h, c.k, {static_cast<size_t>(c.m) * c.k, c.m, size_t(c.k), 1},
                             {static_cast<size_t>(c.n) * c.k, c.n, size_t(c.k), 1}, ++seed);
      TwinOutput dx = output(h, c.m, c.n, c.n, false, ++seed);
      const unsigned grid = blocks_for(c.m, 64) * blocks_for(c.n, 32);
      auto launch = [&](const char* name, const DeviceArray& out, const DeviceArray& dyy,
                        const DeviceArray& ww) {
        return run(name, {grid}, {128}, 0, {out, dyy, ww, c.alpha, c.m, c.k, c.n});
      };
      ASSERT_TRUE(run_both("tesvan_nt_narrow", "tesvan_nt_narrow", h, dx, dy, w, launch));
      EXPECT_TRUE(matches_twin(dx));
    }
  }
}

}  // namespace
}  // namespace tesvan::test
