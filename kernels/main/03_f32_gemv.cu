// ---------------------------------------------------------------------------
// GEMV and ultra-thin f32 kernels: one output column (N = 1) or fewer than 32
// rows.  Their reduction orders are fixed trees that depend only on the
// reduction length (eight slab partials, or 32 strided lane partials and a
// butterfly), not the tiled kernels' single chain; the bias is added after
// the reduction so that it cannot change the tree.
// ---------------------------------------------------------------------------

// GEMV / ultra-thin glossary (this section's macros end with it):
#define UT_WARPS 8   // ultra-thin: warps per block, each summing one reduction slab
#define UT_COLS 32   // ultra-thin: output columns per block, one per lane
#define GEMV_ROWS 4  // NN / TN GEMV: outputs per block, one warp each

static_assert(UT_COLS == TVN_WARPSIZE, "ultra-thin: lane l owns column l of the block");
static_assert(UT_WARPS == 8, "ultra-thin: the fixed tree below sums eight slab partials");

// Full-warp butterfly with exchange distances 16, 8, 4, 2, 1; every lane ends
// with the same total (each addition is commutative).
__device__ __forceinline__ float tvn_warp_butterfly_sum(float v) {
#pragma unroll
  for (int d = TVN_WARPSIZE / 2; d >= 1; d /= 2)
    v = __fadd_rn(v, __shfl_xor_sync(0xffffffffu, v, d));
  return v;
}

// --- tesvan_nn_ultra_thin: Y[m, :] for one row m and 32 columns per block ------
// Launch: grid (ceil(N / UT_COLS), M), block UT_WARPS * 32, dynamic shared K floats
// (the row x_row).
// Eight warps each own one slab of ceil(K / 8) reduction indices; warp 0 sums
// the eight slab partials of a column as ((p0 + p1) + (p2 + p3)) + ((p4 + p5) + (p6 + p7)).

extern "C" __global__ void __launch_bounds__(UT_WARPS * TVN_WARPSIZE, 4)
    tesvan_nn_ultra_thin(float* __restrict__ Y, const float* __restrict__ X,
                         const float* __restrict__ W, const float* __restrict__ bias, float alpha,
                         float beta, int M, int N, int K, int lda, int ldb, int ldc) {
  extern __shared__ __align__(16) float x_row[];
  __shared__ float partials[UT_WARPS][UT_COLS];
  const int m = blockIdx.y;
  if (m >= M) return;
  const int warp = threadIdx.x / TVN_WARPSIZE, lane = threadIdx.x % TVN_WARPSIZE;
  const int col = blockIdx.x * UT_COLS + lane;

  for (int i = threadIdx.x; i < K; i += blockDim.x) x_row[i] = X[m * lda + i];
  __syncthreads();

  const int slab = (K + UT_WARPS - 1) / UT_WARPS;
  const int k_begin = warp * slab;
  const int k_end = min(k_begin + slab, K);
  float acc = 0.0f;
  if (col < N)
    for (int k = k_begin; k < k_end; ++k) acc = __fmaf_rn(x_row[k], W[k * ldb + col], acc);
  partials[warp][lane] = acc;
  __syncthreads();

  if (warp == 0 && col < N) {
    const float p01 = __fadd_rn(partials[0][lane], partials[1][lane]);
    const float p23 = __fadd_rn(partials[2][lane], partials[3][lane]);
    const float p45 = __fadd_rn(partials[4][lane], partials[5][lane]);
    const float p67 = __fadd_rn(partials[6][lane], partials[7][lane]);
    const float sum = __fadd_rn(__fadd_rn(p01, p23), __fadd_rn(p45, p67));
    float v = __fmul_rn(alpha, sum);
    if (bias != nullptr) v = __fadd_rn(v, bias[col]);
    float* y = Y + m * ldc + col;
    if (beta != 0.0f) v = __fadd_rn(v, __fmul_rn(beta, *y));
    *y = v;
  }
}

// --- tesvan_nn_gemv: Y[row] = alpha * X[row, :] . W + bias[0], one warp per row --
// Launch: grid ceil(M / GEMV_ROWS) blocks of GEMV_ROWS warps, no dynamic shared memory.

extern "C" __global__ void __launch_bounds__(GEMV_ROWS * TVN_WARPSIZE, 4)
    tesvan_nn_gemv(float* __restrict__ Y, const float* __restrict__ X,
                   const float* __restrict__ W, const float* __restrict__ bias, float alpha,
                   float beta, int M, int K, int lda, int ldy) {
  const int row = blockIdx.x * GEMV_ROWS + threadIdx.x / TVN_WARPSIZE;
  if (row >= M) return;
  const int lane = threadIdx.x % TVN_WARPSIZE;
  const float* x = X + row * lda;
  float acc = 0.0f;
  for (int k = lane; k < K; k += TVN_WARPSIZE) acc = __fmaf_rn(x[k], W[k], acc);
  acc = tvn_warp_butterfly_sum(acc);
  if (lane == 0) {
    float v = __fmul_rn(alpha, acc);
    if (bias != nullptr) v = __fadd_rn(v, bias[0]);
    float* y = Y + row * ldy;
    if (beta != 0.0f) v = __fadd_rn(v, __fmul_rn(beta, *y));
    *y = v;
  }
}

// --- tesvan_tn_gemv: dW[k] += alpha * X[:, k] . dY, one warp per output -----------
// Launch: grid ceil(K / GEMV_ROWS) blocks of GEMV_ROWS warps, no dynamic shared memory.

extern "C" __global__ void __launch_bounds__(GEMV_ROWS * TVN_WARPSIZE, 4)
    tesvan_tn_gemv(float* __restrict__ dW, const float* __restrict__ X,
                   const float* __restrict__ dY, float alpha, int M_red, int K_out, int lda,
                   int ldy) {
  const int k = blockIdx.x * GEMV_ROWS + threadIdx.x / TVN_WARPSIZE;
  if (k >= K_out) return;
  const int lane = threadIdx.x % TVN_WARPSIZE;
  float acc = 0.0f;
  for (int m = lane; m < M_red; m += TVN_WARPSIZE)
    acc = __fmaf_rn(X[m * lda + k], dY[m * ldy], acc);
  acc = tvn_warp_butterfly_sum(acc);
  if (lane == 0) dW[k] = __fadd_rn(dW[k], __fmul_rn(alpha, acc));
}

// --- tesvan_nt_gemv: dX[m, k] = (alpha * dY[m]) * W[k], one thread per element ----
// Launch: any 1-D grid covering M * K threads (the engine: ceil(M * K / 256) blocks
// of 256), no dynamic shared memory.

extern "C" __global__ void __launch_bounds__(256)
    tesvan_nt_gemv(float* __restrict__ dX, const float* __restrict__ dY,
                   const float* __restrict__ W, float alpha, int M, int K, int ldx, int ldy) {
  const int t = blockIdx.x * blockDim.x + threadIdx.x;
  if (t >= M * K) return;
  const int m = t / K;
  const int k = t - m * K;
  dX[m * ldx + k] = __fmul_rn(__fmul_rn(alpha, dY[m * ldy]), W[k]);
}

#undef UT_WARPS
#undef UT_COLS
#undef GEMV_ROWS
