// Determinism properties of the f32 kernels, checked device against device
// (no reference involved): batch invariance of output rows, identical bits
// across the tiled families, beta = 0 never reading the output, repeated
// weight-gradient accumulation, and the bias/alpha assertion.
#include <cmath>
#include <cstring>

#include "f32_common.h"
#include "support/sim_control.h"

namespace tesvan::test {
namespace {

class F32Properties : public F32KernelTest {};

// Rows [first, first + count) of a row-major matrix with row stride ld.
std::vector<float> rows_of(const std::vector<float>& m, int ld, int first, int count) {
  return std::vector<float>(m.begin() + static_cast<std::ptrdiff_t>(first) * ld,
                            m.begin() + static_cast<std::ptrdiff_t>(first + count) * ld);
}

// A sub-batch of a forward problem: rows [first, first + count) of A and C.
Forward sub_batch(const Forward& p, int first, int count) {
  Forward q = p;
  q.M = count;
  q.A = rows_of(p.A, p.lda, first, count);
  q.C0 = rows_of(p.C0, p.ldc, first, count);
  return q;
}

TEST_F(F32Properties, OutputRowDependsNeitherOnBatchSizeNorOnTileRow) {
  for (const Family* f : {&kBig, &kSlim, &kNarrow, &kNarrowSmall}) {
    SCOPED_TRACE(f->name);
    const int tr = f->tile_rows;
    const Forward full = Forward::make(2 * tr + 5, f->tile_cols + 3, 45, 45, f->tile_cols + 3,
                                       f->tile_cols + 3, true, 11);
    const std::vector<float> all = run_forward(*f, full, 1.0f, 0.0f);
    ASSERT_FALSE(all.empty());
    // Rows straddling the first tile boundary, computed as a batch of 5 in
    // tile row 0, and one row of the last tile alone.
    const int first = tr - 2;
    EXPECT_TRUE(bits_equal(rows_of(all, full.ldc, first, 5),
                           run_forward(*f, sub_batch(full, first, 5), 1.0f, 0.0f), full.ldc));
    EXPECT_TRUE(bits_equal(rows_of(all, full.ldc, 2 * tr + 4, 1),
                           run_forward(*f, sub_batch(full, 2 * tr + 4, 1), 1.0f, 0.0f)));
  }
  for (const Family* f : {&kBig, &kSlim, &kNarrow}) {
    SCOPED_TRACE(std::string(f->name) + " input gradient");
    const int tr = f->tile_rows;
    const InputGrad full = InputGrad::make(tr + 6, 37, 21, 12);
    const std::vector<float> all = run_input_grad(*f, full, 1.0f);
    ASSERT_FALSE(all.empty());
    InputGrad part = full;
    part.M = 4;
    part.dY = rows_of(full.dY, full.N, tr - 1, 4);
    EXPECT_TRUE(bits_equal(rows_of(all, full.K_out, tr - 1, 4), run_input_grad(*f, part, 1.0f)));
  }
}

TEST_F(F32Properties, TiledFamiliesGiveIdenticalBits) {
  // Different slices (16 or 32) only add zero steps: the sums agree exactly.
  const Forward fw = Forward::make(40, 70, 45, 47, 72, 70, true, 21);
  const std::vector<float> big = run_forward(kBig, fw, 1.0f, 0.0f);
  ASSERT_FALSE(big.empty());
  for (const Family* f : {&kSlim, &kNarrow, &kNarrowSmall}) {
    SCOPED_TRACE(f->name);
    EXPECT_TRUE(bits_equal(big, run_forward(*f, fw, 1.0f, 0.0f), fw.ldc));
  }
  const WeightGrad wg = WeightGrad::make(45, 70, 37, 22);
  const std::vector<float> big_wg = run_weight_grad(kBig, wg, 1.0f);
  const InputGrad ig = InputGrad::make(70, 45, 37, 23);
  const std::vector<float> big_ig = run_input_grad(kBig, ig, 1.0f);
  for (const Family* f : {&kSlim, &kNarrow}) {
    SCOPED_TRACE(f->name);
    EXPECT_TRUE(bits_equal(big_wg, run_weight_grad(*f, wg, 1.0f), wg.N));
    EXPECT_TRUE(bits_equal(big_ig, run_input_grad(*f, ig, 1.0f), ig.K_out));
  }
}

TEST_F(F32Properties, BetaZeroNeverReadsTheOutput) {
  // The same call on an output full of NaN and on one full of zeros.
  const int M = 20, N = 33, K = 19;
  const std::vector<float> A = random_floats(M * K, 31), B = random_floats(K * N, 32);
  const std::vector<float> bias = random_floats(N, 33);
  DeviceArray a = upload(A), b = upload(B), bs = upload(bias);
  struct Launch {
    const char* kernel;
    Grid grid;
    unsigned threads, smem;
    bool post_op;
  };
  const Launch launches[] = {
      {"tesvan_nn", {1}, 256, 34816, false},
      {"tesvan_nn_slim", {1}, 128, 0, false},
      {"tesvan_nn_narrow", {2}, 128, 0, true},
      {"tesvan_nn_narrow_small", {6}, 64, 0, true},
      {"tesvan_nn_ultra_thin", {2, M}, 256, K * 4, false},
  };
  for (const Launch& l : launches) {
    SCOPED_TRACE(l.kernel);
    std::vector<float> out[2];
    for (int fill = 0; fill < 2; ++fill) {
      DeviceArray c = filled(M * N, fill == 0 ? NAN : 0.0f);
      const testing::AssertionResult ok =
          l.post_op ? run(l.kernel, l.grid, {l.threads}, l.smem,
                          {c, a, b, bs, 1.0f, 0.0f, M, N, K, K, N, N, 0})
                    : run(l.kernel, l.grid, {l.threads}, l.smem,
                          {c, a, b, bs, 1.0f, 0.0f, M, N, K, K, N, N});
      ASSERT_TRUE(ok);
      out[fill] = c.download_f32();
    }
    EXPECT_TRUE(bits_equal(out[1], out[0], N));
  }
  // GEMV: one output column with a strided Y.
  std::vector<float> out[2];
  for (int fill = 0; fill < 2; ++fill) {
    DeviceArray y = filled(M * 2, fill == 0 ? NAN : 0.0f);
    ASSERT_TRUE(run("tesvan_nn_gemv", {cdiv(M, 4)}, {128}, 0,
                    {y, a, b, bs, 1.0f, 0.0f, M, K, K, 2}));
    out[fill] = y.download_f32();
    for (int m = 0; m < M; ++m) out[fill][2 * m + 1] = 0.0f;  // untouched stride gaps
  }
  EXPECT_TRUE(bits_equal(out[1], out[0]));
}

TEST_F(F32Properties, WeightGradientCalledTwiceAddsTheSameIncrementTwice) {
  WeightGrad p = WeightGrad::make(37, 70, 45, 41);
  p.dW0.assign(p.dW0.size(), 0.0f);
  for (const Family* f : {&kBig, &kSlim, &kNarrow}) {
    SCOPED_TRACE(f->name);
    const std::vector<float> once = run_weight_grad(*f, p, 1.0f, 1);
    std::vector<float> doubled(once.size());
    for (size_t e = 0; e < once.size(); ++e) doubled[e] = once[e] + once[e];
    EXPECT_TRUE(bits_equal(doubled, run_weight_grad(*f, p, 1.0f, 2), p.N));
  }
  // The one-column GEMV accumulates the same way.
  DeviceArray dW = filled(p.K_out, 0.0f), X = upload(p.X), dY = upload(p.dY);
  const Grid grid{cdiv(p.K_out, 4)};
  ASSERT_TRUE(run("tesvan_tn_gemv", grid, {128}, 0, {dW, X, dY, 1.0f, p.M_red, p.K_out, p.K_out, p.N}));
  std::vector<float> twice = dW.download_f32();
  for (float& v : twice) v = v + v;
  ASSERT_TRUE(run("tesvan_tn_gemv", grid, {128}, 0, {dW, X, dY, 1.0f, p.M_red, p.K_out, p.K_out, p.N}));
  EXPECT_TRUE(bits_equal(twice, dW.download_f32()));
}

TEST_F(F32Properties, BiasWithAlphaOtherThanOneFailsTheAssertion) {
  // A device fault ends a real context; the simulated device is reset.
  if (!sim().available()) GTEST_SKIP() << "needs the simulated device";
  const Forward p = Forward::make(4, 4, 4, 4, 4, 4, true, 51);
  for (const Family* f : {&kBig, &kSlim}) {
    SCOPED_TRACE(f->name);
    DeviceArray C = upload(p.C0), A = upload(p.A), B = upload(p.B), bias = upload(p.bias);
    const testing::AssertionResult r =
        run(f->nn, {1}, {static_cast<unsigned>(f->threads)}, f->dynamic_shared,
            {C, A, B, bias, 2.0f, 0.0f, 4, 4, 4, 4, 4, 4});
    ASSERT_FALSE(r);
    EXPECT_NE(std::string(r.message()).find("CUDA_ERROR_ASSERT"), std::string::npos) << r.message();
  }
}

}  // namespace
}  // namespace tesvan::test
