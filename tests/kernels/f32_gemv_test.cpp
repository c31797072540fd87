// GEMV and ultra-thin f32 kernels against their fixed-tree references:
// widths that leave lanes idle, reductions shorter than the slab or lane
// count (empty slabs and lanes add zeros in the fixed grouping), empty
// reductions, strided operands, the beta blend, and the ultra-thin row's
// independence from the batch size.
#include <cmath>

#include "f32_common.h"

namespace tesvan::test {
namespace {

class F32Gemv : public F32KernelTest {
 protected:
  struct UltraThin {
    int M, N, K, lda, ldb, ldc;
    std::vector<float> X, W, bias, Y0;
  };

  static UltraThin make_ultra_thin(int M, int N, int K, int lda, int ldb, int ldc, bool bias,
                                   uint32_t seed) {
    UltraThin p{M, N, K, lda, ldb, ldc, {}, {}, {}, {}};
    p.X = random_floats(static_cast<size_t>(M) * lda, seed);
    p.W = random_floats(static_cast<size_t>(K) * ldb, seed + 1);
    if (bias) p.bias = random_floats(N, seed + 2);
    p.Y0.assign(static_cast<size_t>(M) * ldc, NAN);
    return p;
  }

  std::vector<float> run_ultra_thin(const UltraThin& p, float alpha, float beta) {
    DeviceArray Y = upload(p.Y0), X = upload(p.X), W = upload(p.W), bias = upload(p.bias);
    const Arg bias_arg = p.bias.empty() ? Arg(nullptr) : Arg(bias);
    const Grid grid{cdiv(p.N, 32), static_cast<unsigned>(p.M)};
    const testing::AssertionResult ok =
        run("tesvan_nn_ultra_thin", grid, {256}, static_cast<unsigned>(p.K) * 4,
            {Y, X, W, bias_arg, alpha, beta, p.M, p.N, p.K, p.lda, p.ldb, p.ldc});
    EXPECT_TRUE(ok);
    return ok ? Y.download_f32() : std::vector<float>();
  }

  static std::vector<float> expect_ultra_thin(const UltraThin& p, float alpha, float beta) {
    std::vector<float> Y = p.Y0;
    ref::ultra_thin(Y, p.ldc, p.X.data(), p.lda, p.W.data(), p.ldb,
                    p.bias.empty() ? nullptr : p.bias.data(), alpha, beta, p.M, p.N, p.K);
    return Y;
  }
};

TEST_F(F32Gemv, UltraThinMatchesEightSlabTree) {
  struct Case {
    const char* what;
    int M, N, K, lda, ldb, ldc;
    bool bias;
  };
  const Case cases[] = {
      {"width not a multiple of 32", 3, 45, 29, 29, 45, 45, true},
      {"reduction shorter than eight slabs", 2, 33, 5, 7, 36, 40, false},
      {"reduction not a multiple of eight", 1, 32, 61, 61, 32, 32, true},
      {"empty reduction", 2, 20, 0, 1, 20, 20, true},
      {"one column", 31, 1, 12, 12, 1, 1, true},
  };
  uint32_t seed = 700;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const UltraThin p = make_ultra_thin(c.M, c.N, c.K, c.lda, c.ldb, c.ldc, c.bias, seed += 10);
    EXPECT_TRUE(bits_equal(expect_ultra_thin(p, 1.0f, 0.0f), run_ultra_thin(p, 1.0f, 0.0f), c.ldc));
  }
  UltraThin p = make_ultra_thin(4, 40, 100, 103, 41, 44, false, 790);
  p.Y0 = random_floats(p.Y0.size(), 791);
  EXPECT_TRUE(bits_equal(expect_ultra_thin(p, 0.75f, -1.5f), run_ultra_thin(p, 0.75f, -1.5f), 44));
}

TEST_F(F32Gemv, UltraThinRowDoesNotDependOnBatchSize) {
  const UltraThin all = make_ultra_thin(7, 50, 83, 83, 50, 50, true, 800);
  const std::vector<float> full = run_ultra_thin(all, 1.0f, 0.0f);
  ASSERT_FALSE(full.empty());
  UltraThin one = all;
  one.M = 1;
  one.X.assign(all.X.begin() + 5 * 83, all.X.begin() + 6 * 83);
  one.Y0.assign(50, NAN);
  EXPECT_TRUE(bits_equal(std::vector<float>(full.begin() + 5 * 50, full.begin() + 6 * 50),
                         run_ultra_thin(one, 1.0f, 0.0f)));
}

TEST_F(F32Gemv, ForwardGemvMatchesLaneButterfly) {
  struct Case {
    const char* what;
    int M, K, lda, ldy;
    bool bias;
    float alpha, beta;
  };
  const Case cases[] = {
      {"strided rows and output", 9, 70, 75, 3, true, 1.0f, 0.0f},
      {"reduction shorter than a warp", 5, 17, 17, 1, false, 1.0f, 0.0f},
      {"empty reduction", 3, 0, 1, 1, true, 1.0f, 0.0f},
      {"scaled and blended", 6, 40, 40, 2, false, 0.5f, 3.0f},
  };
  uint32_t seed = 900;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::vector<float> X = random_floats(static_cast<size_t>(c.M) * c.lda, seed += 10);
    const std::vector<float> W = random_floats(c.K, seed + 1);
    const std::vector<float> bias = random_floats(1, seed + 2);
    std::vector<float> Y0(static_cast<size_t>(c.M) * c.ldy, NAN);
    if (c.beta != 0.0f) Y0 = random_floats(Y0.size(), seed + 3);
    std::vector<float> expected = Y0;
    ref::nn_gemv(expected, c.ldy, X.data(), c.lda, W.data(), c.bias ? bias.data() : nullptr,
                 c.alpha, c.beta, c.M, c.K);
    DeviceArray y = upload(Y0), x = upload(X), w = upload(W), b = upload(bias);
    ASSERT_TRUE(run("tesvan_nn_gemv", {cdiv(c.M, 4)}, {128}, 0,
                    {y, x, w, c.bias ? Arg(b) : Arg(nullptr), c.alpha, c.beta, c.M, c.K, c.lda,
                     c.ldy}));
    EXPECT_TRUE(bits_equal(expected, y.download_f32()));
  }
}

TEST_F(F32Gemv, WeightGradientGemvAccumulatesLaneButterfly) {
  struct Case {
    int M_red, K_out, lda, ldy;
    float alpha;
  };
  const Case cases[] = {{70, 9, 9, 1, 1.0f}, {20, 6, 8, 2, 0.5f}, {0, 5, 5, 1, 1.0f}};
  uint32_t seed = 1000;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "M_red " << c.M_red << " K_out " << c.K_out);
    const std::vector<float> X = random_floats(static_cast<size_t>(c.M_red) * c.lda, seed += 10);
    const std::vector<float> dY = random_floats(static_cast<size_t>(c.M_red) * c.ldy, seed + 1);
    const std::vector<float> dW0 = random_floats(c.K_out, seed + 2);
    std::vector<float> expected = dW0;
    ref::tn_gemv(expected, X.data(), c.lda, dY.data(), c.ldy, c.alpha, c.M_red, c.K_out);
    DeviceArray dw = upload(dW0), x = upload(X), dy = upload(dY);
    ASSERT_TRUE(run("tesvan_tn_gemv", {cdiv(c.K_out, 4)}, {128}, 0,
                    {dw, x, dy, c.alpha, c.M_red, c.K_out, c.lda, c.ldy}));
    EXPECT_TRUE(bits_equal(expected, dw.download_f32()));
  }
}

TEST_F(F32Gemv, InputGradientGemvIsTheRoundedOuterProduct) {
  struct Case {
    int M, K, ldx, ldy;
    float alpha;
  };
  const Case cases[] = {{7, 13, 15, 2, 1.0f}, {3, 300, 300, 1, 0.3f}, {1, 1, 1, 1, 1.0f}};
  uint32_t seed = 1100;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "M " << c.M << " K " << c.K);
    const std::vector<float> dY = random_floats(static_cast<size_t>(c.M) * c.ldy, seed += 10);
    const std::vector<float> W = random_floats(c.K, seed + 1);
    std::vector<float> expected(static_cast<size_t>(c.M) * c.ldx, NAN);
    ref::nt_gemv(expected, c.ldx, dY.data(), c.ldy, W.data(), c.alpha, c.M, c.K);
    DeviceArray dx = filled(expected.size(), NAN), dy = upload(dY), w = upload(W);
    ASSERT_TRUE(run("tesvan_nt_gemv", {cdiv(c.M * c.K, 256)}, {256},
                    0, {dx, dy, w, c.alpha, c.M, c.K, c.ldx, c.ldy}));
    EXPECT_TRUE(bits_equal(expected, dx.download_f32(), c.ldx));
  }
}

}  // namespace
}  // namespace tesvan::test
