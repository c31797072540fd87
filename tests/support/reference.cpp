#include "support/reference.h"

#include <algorithm>
#include <cmath>

namespace tesvan::test::ref {

std::vector<float> fma_chains(Operand left, Operand right, int rows, int cols, int r_begin,
                              int r_end, const float* seed, int slice) {
  const int length = std::max(r_end - r_begin, 0);
  const int padding = (slice - length % slice) % slice;
  std::vector<float> out(static_cast<size_t>(rows) * cols);
  for (int i = 0; i < rows; ++i) {
    for (int j = 0; j < cols; ++j) {
      float acc = seed != nullptr ? seed[j] : 0.0f;
      for (int r = r_begin; r < r_end; ++r) acc = std::fma(left.at(i, r), right.at(j, r), acc);
      for (int z = 0; z < padding; ++z) acc = std::fma(0.0f, 0.0f, acc);
      out[static_cast<size_t>(i) * cols + j] = acc;
    }
  }
  return out;
}

void store_blend(std::vector<float>& C, int ldc, const std::vector<float>& acc, int rows,
                 int cols, float alpha, float beta) {
  for (int i = 0; i < rows; ++i) {
    for (int j = 0; j < cols; ++j) {
      float& c = C[static_cast<size_t>(i) * ldc + j];
      float v = alpha * acc[static_cast<size_t>(i) * cols + j];
      if (beta != 0.0f) v = v + beta * c;
      c = v;
    }
  }
}

void store_accumulate(std::vector<float>& dW, const std::vector<float>& acc, float alpha) {
  for (size_t e = 0; e < dW.size(); ++e) dW[e] = dW[e] + alpha * acc[e];
}

void store_scaled(std::vector<float>& dX, const std::vector<float>& acc, float alpha) {
  for (size_t e = 0; e < dX.size(); ++e) dX[e] = alpha * acc[e];
}

void ultra_thin(std::vector<float>& Y, int ldc, const float* X, int lda, const float* W, int ldb,
                const float* bias, float alpha, float beta, int M, int N, int K) {
  const int S = (K + 7) / 8;
  for (int m = 0; m < M; ++m) {
    for (int n = 0; n < N; ++n) {
      float p[8];
      for (int w = 0; w < 8; ++w) {
        p[w] = 0.0f;
        for (int k = w * S; k < std::min(w * S + S, K); ++k)
          p[w] = std::fma(X[static_cast<size_t>(m) * lda + k], W[static_cast<size_t>(k) * ldb + n], p[w]);
      }
      const float sum = ((p[0] + p[1]) + (p[2] + p[3])) + ((p[4] + p[5]) + (p[6] + p[7]));
      float v = alpha * sum;
      if (bias != nullptr) v = v + bias[n];
      float& y = Y[static_cast<size_t>(m) * ldc + n];
      if (beta != 0.0f) v = v + beta * y;
      y = v;
    }
  }
}

float gemv_dot(const float* x, int x_step, const float* y, int y_step, int R) {
  float lane[32];
  for (int l = 0; l < 32; ++l) {
    lane[l] = 0.0f;
    for (int t = l; t < R; t += 32)
      lane[l] = std::fma(x[static_cast<size_t>(t) * x_step], y[static_cast<size_t>(t) * y_step], lane[l]);
  }
  for (int d = 16; d >= 1; d /= 2) {
    float next[32];
    for (int l = 0; l < 32; ++l) next[l] = lane[l] + lane[l ^ d];
    std::copy(next, next + 32, lane);
  }
  return lane[0];
}

void nn_gemv(std::vector<float>& Y, int ldy, const float* X, int lda, const float* W,
             const float* bias, float alpha, float beta, int M, int K) {
  for (int m = 0; m < M; ++m) {
    float v = alpha * gemv_dot(X + static_cast<size_t>(m) * lda, 1, W, 1, K);
    if (bias != nullptr) v = v + bias[0];
    float& y = Y[static_cast<size_t>(m) * ldy];
    if (beta != 0.0f) v = v + beta * y;
    y = v;
  }
}

void tn_gemv(std::vector<float>& dW, const float* X, int lda, const float* dY, int ldy,
             float alpha, int M_red, int K_out) {
  for (int k = 0; k < K_out; ++k) dW[k] = dW[k] + alpha * gemv_dot(X + k, lda, dY, ldy, M_red);
}

void nt_gemv(std::vector<float>& dX, int ldx, const float* dY, int ldy, const float* W,
             float alpha, int M, int K) {
  for (int m = 0; m < M; ++m)
    for (int k = 0; k < K; ++k)
      dX[static_cast<size_t>(m) * ldx + k] = (alpha * dY[static_cast<size_t>(m) * ldy]) * W[k];
}

void splitm_reduce(std::vector<float>& dW, const std::vector<float>& partial, float alpha, int F) {
  const size_t slab = dW.size();
  for (size_t e = 0; e < slab; ++e) {
    double sum = partial[e];
    for (int f = 1; f < F; ++f) sum += static_cast<double>(partial[f * slab + e]);
    dW[e] = dW[e] + static_cast<float>(static_cast<double>(alpha) * sum);
  }
}

void splitk_reduce(std::vector<float>& C, int out_stride, const std::vector<float>& partial,
                   const float* bias, const float* x_tail, int x_stride, const float* w_tail,
                   float alpha, int M, int N, int K_CHUNKS, int tail_cnt) {
  const size_t slab = static_cast<size_t>(M) * N;
  const int stride = out_stride > 0 ? out_stride : N;
  for (int m = 0; m < M; ++m) {
    for (int n = 0; n < N; ++n) {
      const size_t e = static_cast<size_t>(m) * N + n;
      float sum = partial[e];
      for (int c = 1; c < K_CHUNKS; ++c) sum = sum + partial[c * slab + e];
      if (tail_cnt > 0 && x_tail != nullptr && w_tail != nullptr)
        for (int k = 0; k < tail_cnt; ++k)
          sum = std::fma(x_tail[static_cast<size_t>(m) * x_stride + k],
                         w_tail[static_cast<size_t>(k) * N + n], sum);
      sum = sum * alpha;
      if (bias != nullptr) sum = sum + bias[n];
      C[static_cast<size_t>(m) * stride + n] = sum;
    }
  }
}

void dx_col_gemv(std::vector<float>& dX, int out_stride, int col, const float* dY,
                 const float* w_row, int M, int N) {
  for (int m = 0; m < M; ++m) {
    float sum = 0.0f;
    for (int n = 0; n < N; ++n) sum = std::fma(dY[static_cast<size_t>(m) * N + n], w_row[n], sum);
    dX[static_cast<size_t>(m) * out_stride + col] = sum;
  }
}

std::vector<float> transpose(const std::vector<float>& src, int rows, int cols) {
  std::vector<float> dst(src.size());
  for (int r = 0; r < rows; ++r)
    for (int c = 0; c < cols; ++c)
      dst[static_cast<size_t>(c) * rows + r] = src[static_cast<size_t>(r) * cols + c];
  return dst;
}

}  // namespace tesvan::test::ref
