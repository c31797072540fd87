// ---------------------------------------------------------------------------
// Narrow f32 kernels: 64 x 32 tiles with 128 threads (and a 16 x 16 forward
// tile with 64 threads for small batches) for outputs of a few dozen columns,
// where even slim tiles would leave most multiprocessors idle.  Same
// per-element chain as the big kernels; every element is stored on its own.
// ---------------------------------------------------------------------------

// Forward epilogue of one element: alpha * acc (+ beta * old, read only when
// beta != 0).  The bias is already the seed.
__device__ __forceinline__ void tvn_store1_blend(float* p, float acc, float alpha, float beta) {
  float v = __fmul_rn(alpha, acc);
  if (beta != 0.0f) v = __fadd_rn(v, __fmul_rn(beta, *p));
  *p = v;
}

// Four consecutive elements of a row-major operand at row, columns
// col .. col + 3: one 16-byte load when in range and aligned (use_vector),
// otherwise four loads with zeros outside [rows, cols).
__device__ __forceinline__ float4 tvn_load4_or_zero(const float* base, int row, int rows, int col,
                                                    int cols, int ld, bool use_vector) {
  if (row < rows && col + 3 < cols && use_vector)
    return ld_global_L2_128B(base + (long long)row * ld + col);
  float v[4];
#pragma unroll
  for (int i = 0; i < 4; ++i)
    v[i] = (row < rows && col + i < cols) ? base[(long long)row * ld + col + i] : 0.0f;
  return make_float4(v[0], v[1], v[2], v[3]);
}

#define NBM 64
#define NBN 32
#define NBK 16
#define NWM 32
#define NWN 16
#define NTM 4
#define NTN 4
#define NNUM_THREADS 128
#define NWMITER 1
#define NWNITER 1
#define NWSUBM 32
#define NWSUBN 16
#define NROW_STRIDE_B (NNUM_THREADS / (NBN / 4))
#define NROW_STRIDE_A ((NNUM_THREADS * 4) / NBK)
#define TVN_NARROW_A_PITCH (NBM + SMEM_A_PAD)
#define TVN_NARROW_B_PITCH (NBN + SMEM_B_PAD)

// Where a thread's 4 x 4 register tile sits inside the 64 x 32 tile.
struct NarrowPlace {
  int row;
  int col;
};

__device__ __forceinline__ NarrowPlace narrow_place() {
  const int warp = threadIdx.x / WARPSIZE, lane = threadIdx.x % WARPSIZE;
  const int warpCol = warp % (NBN / NWN), warpRow = warp / (NBN / NWN);
  const int threadColInWarp = lane % (NWSUBN / NTN), threadRowInWarp = lane / (NWSUBN / NTN);
  NarrowPlace p;
  p.row = warpRow * NWM + threadRowInWarp * NTM;
  p.col = warpCol * NWN + threadColInWarp * NTN;
  return p;
}

// A slice of the forward and dX kernels, stored transposed (As[k][row]): two
// rows of 16 consecutive reduction indices per copy instruction.
__device__ __forceinline__ void narrow_load_a_transposed(float* As, int pitch, const float* A_slice,
                                                         int rows_left, int red_left, int ld,
                                                         int passes) {
  const int warp = threadIdx.x / WARPSIZE, lane = threadIdx.x % WARPSIZE;
  const int r = lane / 16, k = lane % 16;
  for (int p = 0; p < passes; ++p) {
    const int row = 2 * passes * warp + 2 * p + r;
    float* dst = As + k * pitch + row;
    if (row < rows_left && k < red_left)
      cp_async_4(dst, A_slice + row * ld + k);
    else
      *dst = 0.0f;
  }
}

__device__ __forceinline__ void narrow_compute_slice(const float* As, const float* Bs,
                                                     NarrowPlace at, float* acc) {
#pragma unroll
  for (int d = 0; d < NBK; ++d) {
    const float4 a = *reinterpret_cast<const float4*>(As + d * TVN_NARROW_A_PITCH + at.row);
    const float4 b = *reinterpret_cast<const float4*>(Bs + d * TVN_NARROW_B_PITCH + at.col);
    const float regM[NTM] = {a.x, a.y, a.z, a.w};
    const float regN[NTN] = {b.x, b.y, b.z, b.w};
#pragma unroll
    for (int i = 0; i < NTM; ++i)
#pragma unroll
      for (int j = 0; j < NTN; ++j) acc[i * NTN + j] = __fmaf_rn(regM[i], regN[j], acc[i * NTN + j]);
  }
}

// --- tesvan_nn_narrow ---------------------------------------------------------

extern "C" __global__ void __launch_bounds__(NNUM_THREADS, 4)
    tesvan_nn_narrow(float* __restrict__ C, const float* __restrict__ A,
                     const float* __restrict__ B, const float* __restrict__ bias, float alpha,
                     float beta, int M, int N, int K, int lda, int ldb, int ldc, int post_op) {
  (void)post_op;  // reserved for a fused post-operation
  __shared__ __align__(16) float As[NBK * TVN_NARROW_A_PITCH];
  __shared__ __align__(16) float Bs[NBK * TVN_NARROW_B_PITCH];
  int pid_m, pid_n;
  tvn_swizzle(blockIdx.x, tvn_ceil_div(M, NBM), tvn_ceil_div(N, NBN), pid_m, pid_n);
  const int tileRow0 = pid_m * NBM, tileCol0 = pid_n * NBN;
  const NarrowPlace at = narrow_place();

  float acc[NTM * NTN];
#pragma unroll
  for (int j = 0; j < NTN; ++j) {
    const int col = tileCol0 + at.col + j;
    const float seed = (bias != nullptr && col < N) ? bias[col] : 0.0f;
#pragma unroll
    for (int i = 0; i < NTM; ++i) acc[i * NTN + j] = seed;
  }

  const float* a_ptr = A + tileRow0 * lda;
  const float* b_ptr = B + tileCol0;
  const int b_row = threadIdx.x / (NBN / 4), b_c4 = 4 * (threadIdx.x % (NBN / 4));
  for (int r0 = 0; r0 < K; r0 += NBK) {
    narrow_load_a_transposed(As, TVN_NARROW_A_PITCH, a_ptr, M - tileRow0, K - r0, lda, 8);
    float* b_dst = Bs + b_row * TVN_NARROW_B_PITCH + b_c4;
    if (b_row < K - r0 && b_c4 + 3 < N - tileCol0 && ldb % 4 == 0) {
      cp_async_16(b_dst, b_ptr + b_row * ldb + b_c4);
    } else {
#pragma unroll
      for (int i = 0; i < 4; ++i)
        b_dst[i] = (b_row < K - r0 && b_c4 + i < N - tileCol0) ? b_ptr[b_row * ldb + b_c4 + i] : 0.0f;
    }
    cp_async_commit();
    cp_async_wait_all();
    __syncthreads();
    narrow_compute_slice(As, Bs, at, acc);
    __syncthreads();
    a_ptr += NBK;
    b_ptr += NBK * ldb;
  }

#pragma unroll
  for (int i = 0; i < NTM; ++i) {
    const int row = tileRow0 + at.row + i;
#pragma unroll
    for (int j = 0; j < NTN; ++j) {
      const int col = tileCol0 + at.col + j;
      if (row < M && col < N) tvn_store1_blend(C + row * ldc + col, acc[i * NTN + j], alpha, beta);
    }
  }
  __syncthreads();
}

// --- tesvan_tn_narrow: dW += alpha * X^T * dY ------------------------------------

extern "C" __global__ void __launch_bounds__(NNUM_THREADS, 4)
    tesvan_tn_narrow(float* __restrict__ C, const float* __restrict__ A,
                     const float* __restrict__ B, float alpha, int M_red, int K_out, int N) {
  __shared__ __align__(16) float As[NBK * TVN_NARROW_A_PITCH];
  __shared__ __align__(16) float Bs[NBK * TVN_NARROW_B_PITCH];
  int pid_m, pid_n;
  tvn_swizzle(blockIdx.x, tvn_ceil_div(K_out, NBM), tvn_ceil_div(N, NBN), pid_m, pid_n);
  const int tileRow0 = pid_m * NBM, tileCol0 = pid_n * NBN;
  const NarrowPlace at = narrow_place();
  const int warp = threadIdx.x / WARPSIZE, lane = threadIdx.x % WARPSIZE;

  float acc[NTM * NTN];
#pragma unroll
  for (int e = 0; e < NTM * NTN; ++e) acc[e] = 0.0f;

  const int b_row = threadIdx.x / (NBN / 4), b_c4 = 4 * (threadIdx.x % (NBN / 4));
  for (int r0 = 0; r0 < M_red; r0 += NBK) {
    // X rows: 16 lanes cover one 64-float row; warp w takes reduction rows
    // 4w + 2p + lane / 16.
#pragma unroll
    for (int p = 0; p < 2; ++p) {
      const int k = 4 * warp + 2 * p + lane / 16;
      const int m = r0 + k;
      const int c4 = 4 * (lane % 16);
      const int col = tileRow0 + c4;
      float* dst = As + k * TVN_NARROW_A_PITCH + c4;
      if (m < M_red && col + 3 < K_out && K_out % 4 == 0) {
        cp_async_16(dst, A + (long long)m * K_out + col);
      } else {
#pragma unroll
        for (int i = 0; i < 4; ++i) {
          if (m < M_red && col + i < K_out)
            cp_async_4(dst + i, A + (long long)m * K_out + col + i);
          else
            dst[i] = 0.0f;
        }
      }
    }
    const float4 b = tvn_load4_or_zero(B, r0 + b_row, M_red, tileCol0 + b_c4, N, N, N % 4 == 0);
    *reinterpret_cast<float4*>(Bs + b_row * TVN_NARROW_B_PITCH + b_c4) = b;
    cp_async_commit();
    cp_async_wait_all();
    __syncthreads();
    narrow_compute_slice(As, Bs, at, acc);
    __syncthreads();
  }

#pragma unroll
  for (int i = 0; i < NTM; ++i) {
    const int row = tileRow0 + at.row + i;
#pragma unroll
    for (int j = 0; j < NTN; ++j) {
      const int col = tileCol0 + at.col + j;
      if (row < K_out && col < N) {
        float* p = C + row * N + col;
        *p = __fadd_rn(*p, __fmul_rn(alpha, acc[i * NTN + j]));
      }
    }
  }
  __syncthreads();
}

// --- tesvan_nt_narrow: dX = alpha * dY * W^T -------------------------------------

extern "C" __global__ void __launch_bounds__(NNUM_THREADS, 4)
    tesvan_nt_narrow(float* __restrict__ C, const float* __restrict__ A,
                     const float* __restrict__ B, float alpha, int M, int N, int K_out) {
  __shared__ __align__(16) float As[NBK * TVN_NARROW_A_PITCH];
  __shared__ __align__(16) float Bs[NBK * TVN_NARROW_B_PITCH];
  int pid_m, pid_n;
  tvn_swizzle(blockIdx.x, tvn_ceil_div(M, NBM), tvn_ceil_div(K_out, NBN), pid_m, pid_n);
  const int tileRow0 = pid_m * NBM, tileCol0 = pid_n * NBN;
  const NarrowPlace at = narrow_place();

  float acc[NTM * NTN];
#pragma unroll
  for (int e = 0; e < NTM * NTN; ++e) acc[e] = 0.0f;

  // W read transposed: thread t takes output column t / 4 and four
  // consecutive reduction indices of that row of W.
  const int w_col = threadIdx.x / 4, w_n4 = 4 * (threadIdx.x % 4);
  for (int r0 = 0; r0 < N; r0 += NBK) {
    narrow_load_a_transposed(As, TVN_NARROW_A_PITCH, A + tileRow0 * N + r0, M - tileRow0, N - r0, N, 8);
    const float4 w = tvn_load4_or_zero(B, tileCol0 + w_col, K_out, r0 + w_n4, N, N, N % 4 == 0);
    Bs[(w_n4 + 0) * TVN_NARROW_B_PITCH + w_col] = w.x;
    Bs[(w_n4 + 1) * TVN_NARROW_B_PITCH + w_col] = w.y;
    Bs[(w_n4 + 2) * TVN_NARROW_B_PITCH + w_col] = w.z;
    Bs[(w_n4 + 3) * TVN_NARROW_B_PITCH + w_col] = w.w;
    cp_async_commit();
    cp_async_wait_all();
    __syncthreads();
    narrow_compute_slice(As, Bs, at, acc);
    __syncthreads();
  }

#pragma unroll
  for (int i = 0; i < NTM; ++i) {
    const int row = tileRow0 + at.row + i;
#pragma unroll
    for (int j = 0; j < NTN; ++j) {
      const int col = tileCol0 + at.col + j;
      if (row < M && col < K_out) __stwt(C + row * K_out + col, __fmul_rn(alpha, acc[i * NTN + j]));
    }
  }
  __syncthreads();
}

#undef NBM
#undef NBN
#undef NBK
#undef NWM
#undef NWN
#undef NTM
#undef NTN
#undef NNUM_THREADS
#undef NWMITER
#undef NWNITER
#undef NWSUBM
#undef NWSUBN
#undef NROW_STRIDE_B
#undef NROW_STRIDE_A
#undef TVN_NARROW_A_PITCH
#undef TVN_NARROW_B_PITCH

// --- tesvan_nn_narrow_small: the same forward on 16 x 16 tiles, 64 threads -------

#define NSBM 16
#define NSBN 16
#define NSBK 16
#define NSWM 8
#define NSWN 16
#define NSTM 2
#define NSTN 2
#define NSNUM_THREADS 64
#define NSWMITER 1
#define NSWNITER 1
#define NSWSUBM 8
#define NSWSUBN 16
#define NSROW_STRIDE_B (NSNUM_THREADS / (NSBN / 4))
#define TVN_NSMALL_A_PITCH (NSBM + SMEM_A_PAD)
#define TVN_NSMALL_B_PITCH (NSBN + SMEM_B_PAD)

extern "C" __global__ void __launch_bounds__(NSNUM_THREADS, 8)
    tesvan_nn_narrow_small(float* __restrict__ C, const float* __restrict__ A,
                           const float* __restrict__ B, const float* __restrict__ bias,
                           float alpha, float beta, int M, int N, int K, int lda, int ldb,
                           int ldc, int post_op) {
  (void)post_op;  // reserved for a fused post-operation
  __shared__ __align__(16) float As[NSBK * TVN_NSMALL_A_PITCH];
  __shared__ __align__(16) float Bs[NSBK * TVN_NSMALL_B_PITCH];
  int pid_m, pid_n;
  tvn_swizzle(blockIdx.x, tvn_ceil_div(M, NSBM), tvn_ceil_div(N, NSBN), pid_m, pid_n);
  const int tileRow0 = pid_m * NSBM, tileCol0 = pid_n * NSBN;
  // Warps stacked along rows; a thread owns 2 x 2 elements.
  const int warp = threadIdx.x / WARPSIZE, lane = threadIdx.x % WARPSIZE;
  const int threadColInWarp = lane % (NSWSUBN / NSTN), threadRowInWarp = lane / (NSWSUBN / NSTN);
  const int row0 = warp * NSWM + threadRowInWarp * NSTM;
  const int col0 = threadColInWarp * NSTN;

  float acc[NSTM * NSTN];
#pragma unroll
  for (int j = 0; j < NSTN; ++j) {
    const int col = tileCol0 + col0 + j;
    const float seed = (bias != nullptr && col < N) ? bias[col] : 0.0f;
#pragma unroll
    for (int i = 0; i < NSTM; ++i) acc[i * NSTN + j] = seed;
  }

  const float* a_ptr = A + tileRow0 * lda;
  const float* b_ptr = B + tileCol0;
  const int b_row = threadIdx.x / (NSBN / 4), b_c4 = 4 * (threadIdx.x % (NSBN / 4));
  for (int r0 = 0; r0 < K; r0 += NSBK) {
    narrow_load_a_transposed(As, TVN_NSMALL_A_PITCH, a_ptr, M - tileRow0, K - r0, lda, 4);
    float* b_dst = Bs + b_row * TVN_NSMALL_B_PITCH + b_c4;
    if (b_row < K - r0 && b_c4 + 3 < N - tileCol0 && ldb % 4 == 0) {
      cp_async_16(b_dst, b_ptr + b_row * ldb + b_c4);
    } else {
#pragma unroll
      for (int i = 0; i < 4; ++i)
        b_dst[i] = (b_row < K - r0 && b_c4 + i < N - tileCol0) ? b_ptr[b_row * ldb + b_c4 + i] : 0.0f;
    }
    cp_async_commit();
    cp_async_wait_all();
    __syncthreads();
#pragma unroll
    for (int d = 0; d < NSBK; ++d) {
      const float regM[NSTM] = {As[d * TVN_NSMALL_A_PITCH + row0], As[d * TVN_NSMALL_A_PITCH + row0 + 1]};
      const float regN[NSTN] = {Bs[d * TVN_NSMALL_B_PITCH + col0], Bs[d * TVN_NSMALL_B_PITCH + col0 + 1]};
#pragma unroll
      for (int i = 0; i < NSTM; ++i)
#pragma unroll
        for (int j = 0; j < NSTN; ++j)
          acc[i * NSTN + j] = __fmaf_rn(regM[i], regN[j], acc[i * NSTN + j]);
    }
    __syncthreads();
    a_ptr += NSBK;
    b_ptr += NSBK * ldb;
  }

#pragma unroll
  for (int i = 0; i < NSTM; ++i) {
    const int row = tileRow0 + row0 + i;
#pragma unroll
    for (int j = 0; j < NSTN; ++j) {
      const int col = tileCol0 + col0 + j;
      if (row < M && col < N) tvn_store1_blend(C + row * ldc + col, acc[i * NSTN + j], alpha, beta);
    }
  }
  __syncthreads();
}

#undef NSBM
#undef NSBN
#undef NSBK
#undef NSWM
#undef NSWN
#undef NSTM
#undef NSTN
#undef NSNUM_THREADS
#undef NSWMITER
#undef NSWNITER
#undef NSWSUBM
#undef NSWSUBN
#undef NSROW_STRIDE_B
#undef TVN_NSMALL_A_PITCH
#undef TVN_NSMALL_B_PITCH
