// Shared pieces of the f32 kernel tests: the tile families with their launch
// geometry, and problem builders that hold host operands and run one
// product on the device.
#pragma once

#include <cmath>
#include <ostream>
#include <string>
#include <vector>

#include "support/kernel_harness.h"
#include "support/reference.h"

namespace tesvan::test {

// A tiled family: its three kernels (nullptr where it has none), tile shape,
// block size, dynamic shared memory, reduction slice (the zero padding of
// the last slice) and whether the forward kernel takes a trailing post_op.
struct Family {
  const char* name;
  const char* nn;
  const char* tn;
  const char* nt;
  int tile_rows, tile_cols, threads;
  unsigned dynamic_shared;
  int slice;
  bool post_op;
};

inline const Family kBig{"big", "tesvan_nn", "tesvan_tn", "tesvan_nt", 128, 128, 256, 34816, 16,
                         false};
inline const Family kSlim{"slim", "tesvan_nn_slim", "tesvan_tn_slim", "tesvan_nt_slim",
                          128, 64, 128, 0, 32, false};
inline const Family kNarrow{"narrow", "tesvan_nn_narrow", "tesvan_tn_narrow", "tesvan_nt_narrow",
                            64, 32, 128, 0, 16, true};
inline const Family kNarrowSmall{"narrow_small", "tesvan_nn_narrow_small", nullptr, nullptr,
                                 16, 16, 64, 0, 16, true};

// Names a family in test parameter listings.
inline void PrintTo(const Family* f, std::ostream* os) { *os << f->name; }

inline unsigned tile_count(const Family& f, int rows, int cols) {
  const int tr = (rows + f.tile_rows - 1) / f.tile_rows;
  const int tc = (cols + f.tile_cols - 1) / f.tile_cols;
  return static_cast<unsigned>(tr * tc);
}

// ceil(x / d) for non-negative x, as a grid dimension.
inline unsigned cdiv(size_t x, unsigned d) { return static_cast<unsigned>((x + d - 1) / d); }

// Forward product C[M, N] = alpha * A[M, K] B[K, N] (+ bias) (+ beta C).
struct Forward {
  int M, N, K, lda, ldb, ldc;
  std::vector<float> A, B, bias, C0;  // bias empty: none

  static Forward make(int M, int N, int K, int lda, int ldb, int ldc, bool with_bias,
                      uint32_t seed, float c_fill = NAN) {
    Forward p{M, N, K, lda, ldb, ldc, {}, {}, {}, {}};
    // Row padding (ld > columns) holds values too, so reading it would show.
    p.A = random_floats(static_cast<size_t>(M) * lda, seed);
    p.B = random_floats(static_cast<size_t>(K) * ldb, seed + 1);
    if (with_bias) p.bias = random_floats(static_cast<size_t>(N), seed + 2);
    p.C0.assign(static_cast<size_t>(M) * ldc, c_fill);
    return p;
  }

  std::vector<float> expected(int slice, float alpha, float beta) const {
    const std::vector<float> acc =
        ref::fma_chains({A.data(), lda, false}, {B.data(), ldb, true}, M, N, 0, K,
                        bias.empty() ? nullptr : bias.data(), slice);
    std::vector<float> C = C0;
    ref::store_blend(C, ldc, acc, M, N, alpha, beta);
    return C;
  }
};

// Weight gradient dW[K_out, N] += alpha * X[M_red, K_out]^T dY[M_red, N].
struct WeightGrad {
  int M_red, K_out, N;
  std::vector<float> X, dY, dW0;

  static WeightGrad make(int M_red, int K_out, int N, uint32_t seed) {
    WeightGrad p{M_red, K_out, N, {}, {}, {}};
    p.X = random_floats(static_cast<size_t>(M_red) * K_out, seed);
    p.dY = random_floats(static_cast<size_t>(M_red) * N, seed + 1);
    p.dW0 = random_floats(static_cast<size_t>(K_out) * N, seed + 2);
    return p;
  }

  std::vector<float> chains(int r_begin, int r_end, int slice) const {
    return ref::fma_chains({X.data(), K_out, true}, {dY.data(), N, true}, K_out, N, r_begin,
                           r_end, nullptr, slice);
  }

  std::vector<float> expected(int slice, float alpha) const {
    std::vector<float> dW = dW0;
    ref::store_accumulate(dW, chains(0, M_red, slice), alpha);
    return dW;
  }
};

// Input gradient dX[M, K_out] = alpha * dY[M, N] W[K_out, N]^T.
struct InputGrad {
  int M, N, K_out;
  std::vector<float> dY, W;

  static InputGrad make(int M, int N, int K_out, uint32_t seed) {
    InputGrad p{M, N, K_out, {}, {}};
    p.dY = random_floats(static_cast<size_t>(M) * N, seed);
    p.W = random_floats(static_cast<size_t>(K_out) * N, seed + 1);
    return p;
  }

  std::vector<float> expected(int slice, float alpha) const {
    std::vector<float> dX(static_cast<size_t>(M) * K_out);
    ref::store_scaled(dX,
                      ref::fma_chains({dY.data(), N, false}, {W.data(), N, false}, M, K_out, 0, N,
                                      nullptr, slice),
                      alpha);
    return dX;
  }
};

// Fixture with one-call runners for the tiled families.  Each returns the
// output as read back, or an empty vector after a failed launch (the
// failure is reported).
class F32KernelTest : public KernelTest {
 protected:
  std::vector<float> run_forward(const Family& f, const Forward& p, float alpha, float beta) {
    DeviceArray C = upload(p.C0), A = upload(p.A), B = upload(p.B);
    DeviceArray bias = upload(p.bias);
    const Arg bias_arg = p.bias.empty() ? Arg(nullptr) : Arg(bias);
    const Grid grid{tile_count(f, p.M, p.N)}, block{static_cast<unsigned>(f.threads)};
    testing::AssertionResult ok =
        f.post_op
            ? run(f.nn, grid, block, f.dynamic_shared,
                  {C, A, B, bias_arg, alpha, beta, p.M, p.N, p.K, p.lda, p.ldb, p.ldc, 0})
            : run(f.nn, grid, block, f.dynamic_shared,
                  {C, A, B, bias_arg, alpha, beta, p.M, p.N, p.K, p.lda, p.ldb, p.ldc});
    EXPECT_TRUE(ok) << f.name;
    return ok ? C.download_f32() : std::vector<float>();
  }

  // calls: how many times the kernel runs on the same dW (it accumulates).
  std::vector<float> run_weight_grad(const Family& f, const WeightGrad& p, float alpha,
                                     int calls = 1) {
    DeviceArray dW = upload(p.dW0), X = upload(p.X), dY = upload(p.dY);
    for (int c = 0; c < calls; ++c) {
      testing::AssertionResult ok =
          run(f.tn, {tile_count(f, p.K_out, p.N)}, {static_cast<unsigned>(f.threads)},
              f.dynamic_shared, {dW, X, dY, alpha, p.M_red, p.K_out, p.N});
      EXPECT_TRUE(ok) << f.name;
      if (!ok) return {};
    }
    return dW.download_f32();
  }

  std::vector<float> run_input_grad(const Family& f, const InputGrad& p, float alpha) {
    DeviceArray dX = filled(static_cast<size_t>(p.M) * p.K_out, NAN);
    DeviceArray dY = upload(p.dY), W = upload(p.W);
    testing::AssertionResult ok =
        run(f.nt, {tile_count(f, p.M, p.K_out)}, {static_cast<unsigned>(f.threads)},
            f.dynamic_shared, {dX, dY, W, alpha, p.M, p.N, p.K_out});
    EXPECT_TRUE(ok) << f.name;
    return ok ? dX.download_f32() : std::vector<float>();
  }
};

}  // namespace tesvan::test
