// Every typed (bf16/f16) scalar-tier and big kernel against its f32 twin: for
// both element types, every output is the twin's output on the widened
// operands rounded once to nearest even (dW: the twin's output exactly).
// One property, one row per kernel: the row names the operation, how the
// kernel takes its operands (vectors with strides, or tiles), its grid and
// the cases placed around its tile edges.
#include <span>
#include <string>
#include <vector>

#include "kernels.h"
#include "support/typed_twin.h"

namespace tesvan::test {
namespace {

// What the kernel computes, in the forward product's names (m, n, k):
// Forward   C[m, n] = A[m, k] B[k, n] (+ bias[n]), row strides + pad
// WeightGrad dW[k, n] += X[m, k]^T dY[m, n]: the reduction is m
// InputGrad  dX[m, n] = dY[m, k] W[n, k]^T: the reduction is k
enum class Op { Forward, WeightGrad, InputGrad };

// How the kernel takes its operands: GEMV kernels take one vector operand
// and both row strides; tile kernels take the shape (narrow forward kernels
// with one more int, zero here).
enum class Form { Vector, Tile, NarrowTile };

struct TwinKernel {
  const char* label;       // the instantiation name
  const char* typed_base;  // <typed_base>_bf16 / _f16
  const char* twin;        // the f32 kernel run on the widened operands
  Op op;
  Form form;
  Grid (*grid)(const TwinCase& c, unsigned threads);
  std::span<const TwinCase> cases;
  // Blocks to launch with besides the table's (kernels whose grid adapts).
  std::vector<unsigned> extra_threads = {};
  // Dynamic shared bytes instead of the table's (0: the table's).
  unsigned exact_shared = 0;
};

// The launch shape the engine uses for a typed kernel.
LaunchShape table_shape(const char* typed_base) {
  for (const KernelEntryInfo& e : kernel_entries())
    if (e.pair && std::string(e.name) == typed_base) return e.shape;
  ADD_FAILURE() << typed_base << " is not a typed pair of the kernel table";
  return {};
}

// A 1-D grid of rows x cols output tiles.
template <int kRows, int kCols>
Grid tiles_mn(const TwinCase& c, unsigned) {
  return {blocks_for(c.m, kRows) * blocks_for(c.n, kCols)};
}
template <int kRows, int kCols>
Grid tiles_kn(const TwinCase& c, unsigned) {
  return {blocks_for(c.k, kRows) * blocks_for(c.n, kCols)};
}

// --- cases -------------------------------------------------------------------
// {m, n, k, bias, alpha, beta, pad}

const TwinCase kNnGemv[] = {
    {1, 1, 0, true, 1.0f, 0.0f, 0},     // empty reduction: bias alone
    {5, 1, 31, true, 1.0f, 0.0f, 0},    // fewer than 32 lanes busy, M not a multiple of 4
    {9, 1, 70, false, 1.0f, 0.5f, 3},   // beta blend, odd strides
    {4, 1, 33, true, 1.0f, -1.5f, 1},   // beta blend with a bias
    {6, 1, 45, false, 0.75f, 0.0f, 0},  // alpha scaling
};
const TwinCase kTnGemv[] = {
    {0, 1, 3, false, 1.0f, 0.0f, 0},  // empty reduction adds zero
    {45, 1, 6, false, 1.0f, 0.0f, 0},
    {31, 1, 9, false, 1.0f, 0.0f, 3},
    {70, 1, 5, false, 0.75f, 0.0f, 1},
};
// One-term reduction: dX[m, n] = (alpha * dY[m]) * W[n]; the grids cover
// more threads than m * n.
const TwinCase kNtGemv[] = {
    {1, 1, 1, false, 1.0f, 0.0f, 0},
    {7, 33, 1, false, 1.0f, 0.0f, 3},
    {20, 13, 1, false, 0.75f, 0.0f, 1},
    {3, 0, 1, false, 1.0f, 0.0f, 2},  // no columns: nothing written
};
const TwinCase kNnUltraThin[] = {
    {1, 1, 0, true, 1.0f, 0.0f, 0},      // empty reduction: bias alone
    {3, 33, 5, true, 1.0f, 0.0f, 0},     // K < 8: empty slabs; one valid lane in the last block
    {31, 70, 67, false, 1.0f, 0.5f, 3},  // beta blend, odd strides
    {2, 40, 130, true, 1.0f, -1.0f, 1},  // beta blend with a bias
    {5, 17, 20, false, 0.75f, 0.0f, 0},  // alpha scaling
};
const TwinCase kNnNarrow[] = {
    {1, 1, 0, true, 1.0f, 0.0f, 0},        // empty reduction: the seeded bias alone
    {65, 25, 17, true, 1.0f, 0.0f, 0},     // width not a multiple of 4, one row in the last tile row
    {70, 33, 40, false, 1.0f, 0.5f, 3},    // last tile column holds one valid column
    {130, 20, 15, true, 1.0f, -1.25f, 1},  // more tile rows than one swizzle group (small tiles)
    {17, 9, 33, false, 0.75f, 0.0f, 0},
};
const TwinCase kTnNarrow[] = {
    {0, 3, 5, false, 1.0f, 0.0f, 0},     // empty reduction adds zero
    {17, 25, 65, false, 1.0f, 0.0f, 0},  // one valid row in the last tile row, N % 4 != 0
    {40, 33, 70, false, 1.0f, 0.0f, 0},  // last tile column holds one valid column
    {33, 1, 6, false, 0.75f, 0.0f, 0},
    {20, 5, 520, false, 1.0f, 0.0f, 0},  // more tile rows than one swizzle group
};
const TwinCase kNtNarrow[] = {
    {3, 5, 0, false, 1.0f, 0.0f, 0},  // empty reduction writes zeros
    {65, 33, 17, false, 1.0f, 0.0f, 0},
    {70, 257, 40, false, 1.0f, 0.0f, 0},  // 257th column alone in its tile column
    {1, 1, 35, false, 0.75f, 0.0f, 0},
    {520, 3, 16, false, 1.0f, 0.0f, 0},  // more tile rows than one swizzle group
};
const TwinCase kNnBig[] = {
    {1, 1, 0, true, 1.0f, 0.0f, 0},       // empty reduction: the seeded bias alone
    {130, 129, 20, true, 1.0f, 0.0f, 0},  // partial tiles; one valid column in the last
    {129, 7, 33, false, 1.0f, 0.5f, 3},   // beta blend, odd strides
    {5, 130, 16, true, 1.0f, -1.25f, 1},  // beta blend with a bias
    {3, 5, 17, false, 0.75f, 0.0f, 0},    // alpha scaling
    {1100, 2, 3, false, 1.0f, 0.0f, 0},   // more tile rows than one swizzle group
};
const TwinCase kTnBig[] = {
    {0, 5, 3, false, 1.0f, 0.0f, 0},  // empty reduction adds zero
    {33, 129, 130, false, 1.0f, 0.0f, 0},
    {20, 131, 7, false, 0.75f, 0.0f, 0},
    {17, 1, 129, false, 1.0f, 0.0f, 0},
};
const TwinCase kNtBig[] = {
    {2, 3, 0, false, 1.0f, 0.0f, 0},  // empty reduction writes zeros
    {130, 129, 33, false, 1.0f, 0.0f, 0},
    {129, 6, 17, false, 0.75f, 0.0f, 0},
    {1, 130, 20, false, 1.0f, 0.0f, 0},
};

// The big kernels get exactly the shared memory they stage (two slabs of
// A and B, 16 deep, rows padded by 4 floats), not the engine's larger
// grant, so an access past it faults.
constexpr unsigned kBigStagedShared = 2 * 16 * (132 + 132) * 4;

const TwinKernel kTwinKernels[] = {
    {"NnGemv", "tesvan_nn_gemv", "tesvan_nn_gemv", Op::Forward, Form::Vector, tiles_mn<4, 1>,
     kNnGemv},
    {"TnGemv", "tesvan_tn_gemv", "tesvan_tn_gemv", Op::WeightGrad, Form::Vector, tiles_kn<4, 1>,
     kTnGemv},
    {"NtGemv", "tesvan_nt_gemv", "tesvan_nt_gemv", Op::InputGrad, Form::Vector,
     [](const TwinCase& c, unsigned threads) -> Grid {
       return {blocks_for(c.m * c.n, static_cast<int>(threads)) + 1};
     },
     kNtGemv, {64}},
    {"NnUltraThin", "tesvan_nn_ultra_thin", "tesvan_nn_ultra_thin", Op::Forward, Form::Tile,
     [](const TwinCase& c, unsigned) -> Grid {
       return {blocks_for(c.n, 32), static_cast<unsigned>(c.m)};
     },
     kNnUltraThin},
    {"NnNarrow", "tesvan_nn_narrow", "tesvan_nn_narrow", Op::Forward, Form::NarrowTile,
     tiles_mn<64, 32>, kNnNarrow},
    {"NnNarrowSmall", "tesvan_nn_narrow_small", "tesvan_nn_narrow_small", Op::Forward,
     Form::NarrowTile, tiles_mn<16, 16>, kNnNarrow},
    {"TnNarrow", "tesvan_tn_narrow", "tesvan_tn_narrow", Op::WeightGrad, Form::Tile,
     tiles_kn<64, 32>, kTnNarrow},
    {"NtNarrow", "tesvan_nt_narrow", "tesvan_nt_narrow", Op::InputGrad, Form::Tile,
     tiles_mn<64, 32>, kNtNarrow},
    {"NnBig", "tesvan_nn_big", "tesvan_nn", Op::Forward, Form::Tile, tiles_mn<128, 128>, kNnBig,
     {}, kBigStagedShared},
    {"TnBig", "tesvan_tn_big", "tesvan_tn", Op::WeightGrad, Form::Tile, tiles_kn<128, 128>, kTnBig,
     {}, kBigStagedShared},
    {"NtBig", "tesvan_nt_big", "tesvan_nt", Op::InputGrad, Form::Tile, tiles_mn<128, 128>, kNtBig,
     {}, kBigStagedShared},
};

class TypedTwin : public TypedTwinTest, public ::testing::WithParamInterface<const TwinKernel*> {
 protected:
  // One case in one element type with one block size.
  void check(const TwinKernel& t, const TwinCase& c, Half h, unsigned threads, uint32_t seed);
};

void TypedTwin::check(const TwinKernel& t, const TwinCase& c, Half h, unsigned threads,
                      uint32_t seed) {
  const LaunchShape shape = table_shape(t.typed_base);
  const Grid grid = t.grid(c, threads);
  const Grid block{threads, shape.block.y, shape.block.z};
  const bool vector = t.form == Form::Vector;
  switch (t.op) {
    case Op::Forward: {
      const unsigned shared =
          t.exact_shared ? t.exact_shared : shape.shared + shape.shared_per_k * c.k;
      const int lda = c.k + c.pad, ldb = vector ? 1 : c.n + c.pad, ldc = c.n + c.pad;
      auto [a, b] = product(h, c.k, {static_cast<size_t>(c.m) * lda, c.m, size_t(lda), 1},
                            {static_cast<size_t>(c.k) * ldb, c.n, 1, size_t(ldb)}, seed);
      DeviceArray bi = bias(c.n, seed + 1);
      TwinOutput out = output(h, c.m, c.n, ldc, c.beta != 0.0f, seed + 2);
      auto launch = [&](const char* name, const DeviceArray& cc, const DeviceArray& aa,
                        const DeviceArray& bb) {
        const Arg bias_value = bias_arg(c, bi);
        if (vector)
          return run(name, grid, block, shared,
                     {cc, aa, bb, bias_value, c.alpha, c.beta, c.m, c.k, lda, ldc});
        if (t.form == Form::NarrowTile)
          return run(name, grid, block, shared,
                     {cc, aa, bb, bias_value, c.alpha, c.beta, c.m, c.n, c.k, lda, ldb, ldc, 0});
        return run(name, grid, block, shared,
                   {cc, aa, bb, bias_value, c.alpha, c.beta, c.m, c.n, c.k, lda, ldb, ldc});
      };
      ASSERT_TRUE(run_both(t.typed_base, t.twin, h, out, a, b, launch));
      EXPECT_TRUE(matches_twin(out));
      return;
    }
    case Op::WeightGrad: {
      const unsigned shared = t.exact_shared ? t.exact_shared : shape.shared;
      const int ldx = c.k + c.pad, ldy = c.n + c.pad;
      auto [x, dy] = product(h, c.m, {static_cast<size_t>(c.m) * ldx, c.k, 1, size_t(ldx)},
                             {static_cast<size_t>(c.m) * ldy, c.n, 1, size_t(ldy)}, seed);
      TwinAccumulator dw = accumulator(static_cast<size_t>(c.k) * c.n, seed + 1);
      auto launch = [&](const char* name, const DeviceArray& out, const DeviceArray& xx,
                        const DeviceArray& dyy) {
        if (vector) return run(name, grid, block, shared, {out, xx, dyy, c.alpha, c.m, c.k, ldx, ldy});
        return run(name, grid, block, shared, {out, xx, dyy, c.alpha, c.m, c.k, c.n});
      };
      ASSERT_TRUE(run_both(t.typed_base, t.twin, h, dw, x, dy, launch));
      EXPECT_TRUE(matches_twin(dw));
      return;
    }
    case Op::InputGrad: {
      const unsigned shared = t.exact_shared ? t.exact_shared : shape.shared;
      const int ldy = c.k + c.pad, ldx = c.n + c.pad;
      auto [dy, w] = product(h, c.k, {static_cast<size_t>(c.m) * ldy, c.m, size_t(ldy), 1},
                             {static_cast<size_t>(c.n) * c.k, c.n, size_t(c.k), 1}, seed);
      TwinOutput dx = output(h, c.m, c.n, ldx, false, seed + 1);
      auto launch = [&](const char* name, const DeviceArray& out, const DeviceArray& dyy,
                        const DeviceArray& ww) {
        if (vector) return run(name, grid, block, shared, {out, dyy, ww, c.alpha, c.m, c.n, ldx, ldy});
        return run(name, grid, block, shared, {out, dyy, ww, c.alpha, c.m, c.k, c.n});
      };
      ASSERT_TRUE(run_both(t.typed_base, t.twin, h, dx, dy, w, launch));
      EXPECT_TRUE(matches_twin(dx));
      return;
    }
  }
}

TEST_P(TypedTwin, IsTheTwinRoundedOnce) {
  const TwinKernel& t = *GetParam();
  std::vector<unsigned> threads = {table_shape(t.typed_base).block.x};
  threads.insert(threads.end(), t.extra_threads.begin(), t.extra_threads.end());
  uint32_t seed = 100;
  for (Half h : kHalves) {
    for (const TwinCase& c : t.cases) {
      for (unsigned block : threads) {
        SCOPED_TRACE(describe(c, h) + " block=" + std::to_string(block));
        check(t, c, h, block, seed += 10);
        if (HasFatalFailure()) return;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Typed, TypedTwin,
                         ::testing::ValuesIn([] {
                           std::vector<const TwinKernel*> all;
                           for (const TwinKernel& t : kTwinKernels) all.push_back(&t);
                           return all;
                         }()),
                         [](const ::testing::TestParamInfo<const TwinKernel*>& info) {
                           return std::string(info.param->label);
                         });

}  // namespace
}  // namespace tesvan::test
