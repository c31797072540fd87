// Host references for the f32 kernels, each reproducing its kernel's
// floating-point order exactly, so kernel results are compared bit for bit.
//
// Matrices are row-major vectors with an explicit row stride.  Every
// reference writes only the output elements its kernel writes; the rest of
// the destination (padding columns of a strided output) keeps its contents.
// Built with contraction off: each * and + below is one rounding.
#pragma once

#include <cstddef>
#include <vector>

namespace tesvan::test::ref {

// An operand seen by output index i and reduction index r: stored either as
// [outputs][R] (element (i, r) at i * ld + r) or reduction-major as
// [R][outputs] (element at r * ld + i).
//   forward:   left A [M, K] output-major, right B [K, N] reduction-major
//   weight:    left X [M_red, K_out] and right dY [M_red, N], both reduction-major
//   input:     left dY [M, N] and right W [K_out, N], both output-major
struct Operand {
  const float* data;
  int ld;
  bool reduction_major;
  float at(int i, int r) const {
    return reduction_major ? data[static_cast<size_t>(r) * ld + i]
                           : data[static_cast<size_t>(i) * ld + r];
  }
};

// The tiled kernels' order: for each output (i, j) one accumulator seeded
// with seed[j] (or 0 when seed is null), then acc = fma(left(i, r),
// right(j, r), acc) for r = r_begin .. r_end - 1 ascending, then the zero
// steps acc = fma(0, 0, acc) that pad the range to a multiple of `slice`
// (they turn a negative-zero accumulator into +0).  Dense [rows, cols].
std::vector<float> fma_chains(Operand left, Operand right, int rows, int cols, int r_begin,
                              int r_end, const float* seed, int slice);

// Forward epilogue into C [rows, cols] with row stride ldc:
// C = alpha * acc, then + beta * old C when beta != 0.
void store_blend(std::vector<float>& C, int ldc, const std::vector<float>& acc, int rows,
                 int cols, float alpha, float beta);
// Weight-gradient epilogue into dense dW: dW += alpha * acc.
void store_accumulate(std::vector<float>& dW, const std::vector<float>& acc, float alpha);
// Input-gradient epilogue: dense dX = alpha * acc.
void store_scaled(std::vector<float>& dX, const std::vector<float>& acc, float alpha);

// Ultra-thin forward: per row m and column n, eight slab chains over
// S = ceil(K / 8) indices each (warp w owns [w S, min(w S + S, K))), summed
// as ((p0 + p1) + (p2 + p3)) + ((p4 + p5) + (p6 + p7)); then alpha * sum,
// + bias[n], + beta * old Y (when beta != 0).  Y has row stride ldc.
void ultra_thin(std::vector<float>& Y, int ldc, const float* X, int lda, const float* W, int ldb,
                const float* bias, float alpha, float beta, int M, int N, int K);

// The GEMV order for a dot product of length R with element t = x(t) * y(t):
// lane l chains r = l, l + 32, ... from 0; lanes are combined by the
// butterfly with distances 16, 8, 4, 2, 1 (lane l adds lane l ^ d); the
// result is lane 0's.
float gemv_dot(const float* x, int x_step, const float* y, int y_step, int R);

// Y[row * ldy] = alpha * (X[row, :] . W) (+ bias[0]) (+ beta * old).
void nn_gemv(std::vector<float>& Y, int ldy, const float* X, int lda, const float* W,
             const float* bias, float alpha, float beta, int M, int K);
// dW[k] += alpha * (X[:, k] . dY), dY with element stride ldy.
void tn_gemv(std::vector<float>& dW, const float* X, int lda, const float* dY, int ldy,
             float alpha, int M_red, int K_out);
// dX[m * ldx + k] = (alpha * dY[m * ldy]) * W[k].
void nt_gemv(std::vector<float>& dX, int ldx, const float* dY, int ldy, const float* W,
             float alpha, int M, int K);

// Split-M reduce: dW[e] += (float)((double)alpha * sum), where sum adds the
// F dense slabs of `partial` in ascending order in double.
void splitm_reduce(std::vector<float>& dW, const std::vector<float>& partial, float alpha, int F);

// Split-K reduce into C (row stride out_stride, or N when 0): the K_CHUNKS
// slabs added in ascending order in f32; then, when tail_cnt > 0 and both
// tails are given, fma(x_tail[m * x_stride + k], w_tail[k * N + n], sum) for
// k ascending; then sum * alpha; then + bias[n].
void splitk_reduce(std::vector<float>& C, int out_stride, const std::vector<float>& partial,
                   const float* bias, const float* x_tail, int x_stride, const float* w_tail,
                   float alpha, int M, int N, int K_CHUNKS, int tail_cnt);

// dX[m * out_stride + col] = chain over n ascending of dY[m, n] * w_row[n].
void dx_col_gemv(std::vector<float>& dX, int out_stride, int col, const float* dY,
                 const float* w_row, int M, int N);

// dst [cols, rows] = src [rows, cols] transposed.
std::vector<float> transpose(const std::vector<float>& src, int rows, int cols);

}  // namespace tesvan::test::ref
