// ---------------------------------------------------------------------------
// Thin-M split-K f32 kernels: a partial product over one 32-wide reduction
// chunk per block, the fixed-order reduce that folds the chunks (and a short
// reduction tail), the column GEMV that fills one dX column, and the
// transpose that lets the input gradient reuse the forward split kernels.
// Partials go to scratch and are summed by a separate kernel in ascending
// chunk order; no atomics.
// ---------------------------------------------------------------------------

// Split-K tile glossary (ends before the transpose):
#define SBM 32                                     // block tile rows
#define SBN 64                                     // block tile columns
#define SBK 32                                     // reduction chunk of one block
#define SWM 16                                     // warp tile rows
#define SWN 32                                     // warp tile columns
#define STM 4                                      // thread tile rows
#define STN 4                                      // thread tile columns
#define SNUM_THREADS 128                           // block size: one warp per warp tile
#define TVN_SPLIT_A_PITCH (SBM + TVN_SMEM_A_PAD)  // floats per shared A row (As[k][row])
#define TVN_SPLIT_B_PITCH (SBN + TVN_SMEM_B_PAD)  // floats per shared B row (Bs[k][col])

static_assert(SNUM_THREADS == (SBM / SWM) * (SBN / SWN) * TVN_WARPSIZE, "one warp per warp tile");
static_assert(TVN_WARPSIZE * STM * STN == SWM * SWN, "the lanes cover the warp tile exactly once");
// The partial's copies: A rows t / 8 and t / 8 + 16 with 4 reduction
// columns per thread; B rows t / 16 + 8q for q < 4 with 4 columns each.
static_assert(SNUM_THREADS / 8 * 2 == SBM && 8 * 4 == SBK, "A copy covers the 32 x 32 slice");
static_assert(SNUM_THREADS / 16 * 4 == SBK && 16 * 4 == SBN, "B copy covers the 32 x 64 slice");

// --- tesvan_nn_splitk32_partial: one (chunk, 32 x 64 tile) pair per block -------
// Launch: grid ceil(M / SBM) * ceil(N / SBN) * K_CHUNKS blocks (chunk-major), block
// SNUM_THREADS, static shared memory only.
// The caller guarantees 32 * K_CHUNKS <= lda and N % 4 == 0 (16-byte B copies).

extern "C" __global__ void __launch_bounds__(SNUM_THREADS, 4)
    tesvan_nn_splitk32_partial(float* __restrict__ partial, const float* __restrict__ A,
                               const float* __restrict__ B, int M, int N, int K_CHUNKS,
                               int lda) {
  __shared__ __align__(16) float As[SBK * TVN_SPLIT_A_PITCH];
  __shared__ __align__(16) float Bs[SBK * TVN_SPLIT_B_PITCH];
  (void)K_CHUNKS;  // the grid carries the chunk count
  const int num_pid_m = tvn_ceil_div(M, SBM), num_pid_n = tvn_ceil_div(N, SBN);
  const int total_mn = num_pid_m * num_pid_n;
  const int pid_k = blockIdx.x / total_mn;
  int pid_m, pid_n;
  tvn_swizzle(blockIdx.x % total_mn, num_pid_m, num_pid_n, pid_m, pid_n);
  const int tileRow0 = pid_m * SBM, tileCol0 = pid_n * SBN, k0 = pid_k * SBK;

  const int t = threadIdx.x;
  const int warp = t / TVN_WARPSIZE, lane = t % TVN_WARPSIZE;
  const int row0 = (warp / (SBN / SWN)) * SWM + (lane / (SWN / STN)) * STM;
  const int col0 = (warp % (SBN / SWN)) * SWN + (lane % (SWN / STN)) * STN;

  // A, stored transposed: warp w takes tile rows 8w .. 8w + 7; a copy reads
  // 8 consecutive reduction indices of 4 rows, so words 4k + r of the
  // 36-float rows land in 32 distinct banks.
#pragma unroll
  for (int p = 0; p < 8; ++p) {
    const int r = 8 * warp + 4 * (p / 4) + lane / 8;
    const int k = 8 * (p % 4) + lane % 8;
    float* dst = As + k * TVN_SPLIT_A_PITCH + r;
    if (tileRow0 + r < M)
      cp_async_4(dst, A + (long long)(tileRow0 + r) * lda + k0 + k);
    else
      *dst = 0.0f;
  }
  // B: reduction rows t / 16 + 8q, columns 4 (t % 16) .. + 3.
#pragma unroll
  for (int q = 0; q < 4; ++q) {
    const int k = t / 16 + 8 * q;
    const int c4 = 4 * (t % 16);
    const int col = tileCol0 + c4;
    float* dst = Bs + k * TVN_SPLIT_B_PITCH + c4;
    const float* src = B + (long long)(k0 + k) * N + col;
    if (col + 3 < N) {
      cp_async_16(dst, src);
    } else {
#pragma unroll
      for (int i = 0; i < 4; ++i) dst[i] = col + i < N ? src[i] : 0.0f;
    }
  }
  cp_async_commit();
  cp_async_wait_all();
  __syncthreads();

  float acc[STM * STN];
#pragma unroll
  for (int e = 0; e < STM * STN; ++e) acc[e] = 0.0f;
  float4 a[2], b[2];
  a[0] = *reinterpret_cast<const float4*>(As + row0);
  b[0] = *reinterpret_cast<const float4*>(Bs + col0);
#pragma unroll
  for (int k = 0; k < SBK; ++k) {
    if (k + 1 < SBK) {
      a[(k + 1) & 1] = *reinterpret_cast<const float4*>(As + (k + 1) * TVN_SPLIT_A_PITCH + row0);
      b[(k + 1) & 1] = *reinterpret_cast<const float4*>(Bs + (k + 1) * TVN_SPLIT_B_PITCH + col0);
    }
    const float4 x = a[k & 1], y = b[k & 1];
    const float regM[STM] = {x.x, x.y, x.z, x.w};
    const float regN[STN] = {y.x, y.y, y.z, y.w};
#pragma unroll
    for (int rm = 0; rm < STM; ++rm)
#pragma unroll
      for (int rn = 0; rn < STN; ++rn)
        acc[rm * STN + rn] = __fmaf_rn(regM[rm], regN[rn], acc[rm * STN + rn]);
  }

  float* slab = partial + (long long)pid_k * M * N;
#pragma unroll
  for (int rm = 0; rm < STM; ++rm) {
    const int row = tileRow0 + row0 + rm;
    if (row < M) tvn_store4_raw(slab, acc + rm * STN, row, tileCol0 + col0, N);
  }
  __syncthreads();
}

// --- tesvan_splitk_reduce: chunks in ascending order, tail, alpha, bias ---------
// Launch: grid ceil(M * N / 256) blocks, block 256, no shared memory.

extern "C" __global__ void __launch_bounds__(256, 8)
    tesvan_splitk_reduce(float* __restrict__ C, const float* __restrict__ partial,
                         const float* __restrict__ bias, const float* __restrict__ x_tail_ptr,
                         const float* __restrict__ w_tail_ptr, float alpha, int M, int N,
                         int K_CHUNKS, int x_tail_stride, int out_col_stride, int tail_cnt) {
  const int idx = blockIdx.x * blockDim.x + threadIdx.x;
  const int total = M * N;
  if (idx >= total) return;
  const int m = idx / N, n = idx % N;
  const long long slab = (long long)M * N;
  float sum = partial[idx];
  for (int c = 1; c < K_CHUNKS; ++c) sum = __fadd_rn(sum, partial[c * slab + idx]);
  if (tail_cnt > 0 && x_tail_ptr != nullptr && w_tail_ptr != nullptr) {
    const float* x_row = x_tail_ptr + m * x_tail_stride;
    for (int k = 0; k < tail_cnt; ++k) sum = __fmaf_rn(x_row[k], w_tail_ptr[k * N + n], sum);
  }
  // Two separate roundings: scaling and bias are never fused.
  sum = __fmul_rn(sum, alpha);
  if (bias != nullptr) sum = __fadd_rn(sum, bias[n]);
  const int stride = out_col_stride > 0 ? out_col_stride : N;
  C[(long long)m * stride + n] = sum;
}

// --- tesvan_dx_col_gemv: dX[m, col_idx] = dY[m, :] . w_row, one thread per row ----
// Launch: grid ceil(M / 128) blocks of 128 (at most 256), no shared memory.

extern "C" __global__ void __launch_bounds__(256, 8)
    tesvan_dx_col_gemv(float* __restrict__ dX, const float* __restrict__ dY,
                       const float* __restrict__ w_row, int M, int N, int col_idx,
                       int out_col_stride) {
  const int m = blockIdx.x * blockDim.x + threadIdx.x;
  if (m >= M) return;
  const float* dy = dY + (long long)m * N;
  float sum = 0.0f;
  for (int n = 0; n < N; ++n) sum = __fmaf_rn(dy[n], w_row[n], sum);
  dX[m * out_col_stride + col_idx] = sum;
}

#undef SBM
#undef SBN
#undef SBK
#undef SWM
#undef SWN
#undef STM
#undef STN
#undef SNUM_THREADS
#undef TVN_SPLIT_A_PITCH
#undef TVN_SPLIT_B_PITCH

// --- tesvan_transpose_f32_2d: dst[cols, rows] = src[rows, cols]^T ----------------
// Launch: grid (ceil(cols / 32), ceil(rows / 32)), block (32, 32), static shared only.
// Through a 32 x 33 shared tile: both the read and the write are
// row-contiguous across a warp, and the extra column keeps the transposed
// shared read free of bank conflicts.

extern "C" __global__ void __launch_bounds__(1024, 2)
    tesvan_transpose_f32_2d(float* __restrict__ dst, const float* __restrict__ src, int rows,
                            int cols) {
  __shared__ float tile[32][33];
  const int tx = threadIdx.x, ty = threadIdx.y;
  const int r = blockIdx.y * 32 + ty, c = blockIdx.x * 32 + tx;
  tile[ty][tx] = (r < rows && c < cols) ? src[r * cols + c] : 0.0f;
  __syncthreads();
  const int out_row = blockIdx.x * 32 + ty, out_col = blockIdx.y * 32 + tx;
  if (out_row < cols && out_col < rows) dst[out_row * rows + out_col] = tile[tx][ty];
}
