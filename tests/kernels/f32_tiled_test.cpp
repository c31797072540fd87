// The tiled f32 kernels (big, slim, narrow, narrow-small) against the
// sequential fused-chain reference, on shapes placed around each family's
// tile edges: partial last tiles, a last tile column with one valid column,
// odd widths and strides (scalar copy and store paths), aligned padded
// strides (16-byte paths), single rows and columns, empty reductions.
// Outputs that are overwritten start as NaN, so any read of the old output
// with beta = 0 shows; padding columns of a strided output must stay NaN.
#include <cmath>

#include "f32_common.h"

namespace tesvan::test {
namespace {

class TiledForward : public F32KernelTest, public ::testing::WithParamInterface<const Family*> {};
class TiledWeightGrad : public F32KernelTest,
                        public ::testing::WithParamInterface<const Family*> {};
class TiledInputGrad : public F32KernelTest, public ::testing::WithParamInterface<const Family*> {};

std::string family_name(const ::testing::TestParamInfo<const Family*>& info) {
  return info.param->name;
}

TEST_P(TiledForward, MatchesChainAroundTileEdges) {
  const Family& f = *GetParam();
  const int tr = f.tile_rows, tc = f.tile_cols, s = f.slice;
  struct Case {
    const char* what;
    int M, N, K, lda, ldb, ldc;
    bool bias;
  };
  const Case cases[] = {
      {"partial tiles, one valid last column, odd widths", tr + 2, tc + 1, 2 * s + 5, 2 * s + 5,
       tc + 1, tc + 1, true},
      {"padded aligned strides", tr - 3, 2 * tc, s + 3, s + 6, 2 * tc + 4, 2 * tc + 8, false},
      {"one row, one column", 1, 1, 5, 5, 1, 1, true},
      {"aligned width, odd output stride", 5, 8, s, s, 8, 10, true},
      {"aligned width, odd B stride", 7, 12, s + 1, s + 1, 13, 12, false},
      {"empty reduction with bias", 3, 6, 0, 1, 6, 6, true},
      {"empty reduction without bias", 3, 6, 0, 1, 6, 7, false},
  };
  uint32_t seed = 100;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Forward p = Forward::make(c.M, c.N, c.K, c.lda, c.ldb, c.ldc, c.bias, seed += 10);
    EXPECT_TRUE(bits_equal(p.expected(f.slice, 1.0f, 0.0f), run_forward(f, p, 1.0f, 0.0f), c.ldc));
  }
}

TEST_P(TiledForward, BlendsOldOutputWithBeta) {
  const Family& f = *GetParam();
  // alpha != 1 is allowed without a bias; the old C is read only here.
  for (const int ldc_pad : {0, 4}) {
    SCOPED_TRACE(ldc_pad == 0 ? "scalar stores" : "16-byte stores");
    const int M = f.tile_rows + 1, N = f.tile_cols + 4, K = 20;
    Forward p = Forward::make(M, N, K, K, N, N + ldc_pad, false, 7 + ldc_pad);
    p.C0 = random_floats(p.C0.size(), 99);
    EXPECT_TRUE(bits_equal(p.expected(f.slice, 0.75f, -1.25f), run_forward(f, p, 0.75f, -1.25f),
                           p.ldc));
  }
}

TEST_P(TiledForward, CoversEveryTileAcrossSwizzleGroups) {
  // Ten tile rows: more than one group of TVN_GROUP_M (8 for sm_80) and a
  // short last group.  A tile computed twice means another is never
  // computed, and its NaN prefill stays.
  const Family& f = *GetParam();
  const Forward p = Forward::make(9 * f.tile_rows + 1, 2 * f.tile_cols + 3, 7, 7,
                                  2 * f.tile_cols + 3, 2 * f.tile_cols + 3, true, 200);
  EXPECT_TRUE(bits_equal(p.expected(f.slice, 1.0f, 0.0f), run_forward(f, p, 1.0f, 0.0f), p.ldc));
}

INSTANTIATE_TEST_SUITE_P(F32, TiledForward,
                         ::testing::Values(&kBig, &kSlim, &kNarrow, &kNarrowSmall), family_name);

TEST_P(TiledWeightGrad, AccumulatesChainAroundTileEdges) {
  const Family& f = *GetParam();
  const int tr = f.tile_rows, tc = f.tile_cols, s = f.slice;
  struct Case {
    const char* what;
    int M_red, K_out, N;
    float alpha;
  };
  const Case cases[] = {
      {"partial tiles, odd widths", 2 * s + 5, tr + 2, tc + 1, 1.0f},
      {"widths multiple of 4, scaled", s + 7, tr + 4, tc + 4, 0.5f},
      {"one output element", 40, 1, 1, 1.0f},
      {"short reduction, one valid last column", 3, tr - 1, 2 * tc + 1, 1.0f},
      {"empty reduction", 0, 9, 5, 1.0f},
  };
  uint32_t seed = 300;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const WeightGrad p = WeightGrad::make(c.M_red, c.K_out, c.N, seed += 10);
    EXPECT_TRUE(bits_equal(p.expected(f.slice, c.alpha), run_weight_grad(f, p, c.alpha), c.N));
  }
}

INSTANTIATE_TEST_SUITE_P(F32, TiledWeightGrad, ::testing::Values(&kBig, &kSlim, &kNarrow),
                         family_name);

TEST_P(TiledInputGrad, MatchesChainAroundTileEdges) {
  const Family& f = *GetParam();
  const int tr = f.tile_rows, tc = f.tile_cols, s = f.slice;
  struct Case {
    const char* what;
    int M, N, K_out;
    float alpha;
  };
  const Case cases[] = {
      {"partial tiles, odd widths", tr + 2, 2 * s + 5, tc + 1, 1.0f},
      {"widths multiple of 4, scaled", tr - 1, s + 8, 2 * tc + 4, 2.0f},
      {"one valid column in the ninth tile column", 3, 7, 8 * tc + 1, 1.0f},
      {"one output element", 1, 3, 1, 1.0f},
      {"empty reduction", 5, 0, 6, 1.0f},
  };
  uint32_t seed = 500;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const InputGrad p = InputGrad::make(c.M, c.N, c.K_out, seed += 10);
    EXPECT_TRUE(bits_equal(p.expected(f.slice, c.alpha), run_input_grad(f, p, c.alpha), c.K_out));
  }
}

INSTANTIATE_TEST_SUITE_P(F32, TiledInputGrad, ::testing::Values(&kBig, &kSlim, &kNarrow),
                         family_name);

// The sm_90 build groups 16 tile rows; 18 tile rows of the 16 x 16 tile
// cover a full group and a short one.
class TiledForwardSm90 : public F32KernelTest {
 protected:
  DeviceModel model() const override { return kSm90; }
};

TEST_F(TiledForwardSm90, CoversEveryTileAcrossSwizzleGroups) {
  const Forward p = Forward::make(17 * 16 + 3, 40, 9, 9, 40, 40, false, 210);
  EXPECT_TRUE(bits_equal(p.expected(kNarrowSmall.slice, 1.0f, 0.0f),
                         run_forward(kNarrowSmall, p, 1.0f, 0.0f), p.ldc));
}

}  // namespace
}  // namespace tesvan::test
