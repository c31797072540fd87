// ---------------------------------------------------------------------------
// Slim f32 kernels: 128 x 64 output tiles, 32-deep reduction slices, 128
// threads, static shared memory and a single-stage load loop, for outputs of
// up to a few hundred columns where 128-column tiles would leave
// multiprocessors idle.  Same per-element chain as the big kernels; only the
// number of trailing zero steps differs, which leaves every sum unchanged.
// ---------------------------------------------------------------------------

// Slim-tile glossary (this section's macros end with it):
#define NUM_THREADS 128  // block size: one warp per WM x WN warp tile
#define BM 128           // block tile rows
#define BN 64            // block tile columns
#define BK 32            // reduction depth of one shared-memory slice
#define WM 64            // warp tile rows
#define WN 32            // warp tile columns
#define WNITER 2         // warp subtiles across a warp tile
#define TM 8             // thread tile rows
#define TN 4             // thread tile columns of one subtile
#define WMITER ((WM * WN) / (TVN_WARPSIZE * TM * TN * WNITER))  // warp subtiles down a warp tile
#define WSUBM (WM / WMITER)                     // rows of one warp subtile
#define WSUBN (WN / WNITER)                     // columns of one warp subtile
#define ROW_STRIDE_B (NUM_THREADS / (BN / 4))  // slice rows one pass of float4 copies covers
#define TVN_SLIM_A_PITCH (BM + TVN_SMEM_A_PAD)  // floats per shared A row (As[k][row])
#define TVN_SLIM_B_PITCH (BN + TVN_SMEM_B_PAD)  // floats per shared B row (Bs[k][col])

static_assert(NUM_THREADS == (BM / WM) * (BN / WN) * TVN_WARPSIZE, "one warp per warp tile");
static_assert(WMITER * WNITER * TVN_WARPSIZE * TM * TN == WM * WN,
              "the warp's lanes cover its tile exactly once");
static_assert(NUM_THREADS / TVN_WARPSIZE * 32 == BM,
              "slim_load_a_transposed: each of the 4 warps copies 32 tile rows");
static_assert(BK == TVN_WARPSIZE, "slim_load_a_transposed: the lane is the reduction index");
static_assert(BK % ROW_STRIDE_B == 0, "B loaders: whole passes cover the slice");

// Where a thread's 8 rows and two sub-tiles of four columns sit in the tile.
struct SlimPlace {
  int row;  // first of the thread's TM tile rows
  int col;  // first column of sub-tile 0; sub-tile s starts WSUBN * s later
};

__device__ __forceinline__ SlimPlace slim_place() {
  const int warp = threadIdx.x / TVN_WARPSIZE, lane = threadIdx.x % TVN_WARPSIZE;
  const int warpCol = warp % (BN / WN), warpRow = warp / (BN / WN);
  const int threadColInWarp = lane % (WSUBN / TN), threadRowInWarp = lane / (WSUBN / TN);
  SlimPlace p;
  p.row = warpRow * WM + threadRowInWarp * TM;
  p.col = warpCol * WN + threadColInWarp * TN;
  return p;
}

// A slice stored transposed (As[k][row]) from a row-major [rows, ld] operand
// whose slice starts at A_slice: warp w takes tile rows 32w .. 32w + 31; a
// copy reads 8 consecutive reduction indices of 4 rows, so words 4k + row
// of the 132-float rows land in 32 distinct banks.
__device__ __forceinline__ void slim_load_a_transposed(float* As, const float* A_slice,
                                                       int rows_left, int red_left, int ld) {
  const int warp = threadIdx.x / TVN_WARPSIZE, lane = threadIdx.x % TVN_WARPSIZE;
#pragma unroll 4
  for (int p = 0; p < 32; ++p) {
    const int row = 32 * warp + 4 * (p / 4) + lane / 8;
    const int k = 8 * (p % 4) + lane % 8;
    float* dst = As + k * TVN_SLIM_A_PITCH + row;
    if (row < rows_left && k < red_left)
      cp_async_4(dst, A_slice + row * ld + k);
    else
      *dst = 0.0f;
  }
}

// B slice of a row-major [K, N] operand (row stride ld) starting at B_slice:
// rows thread / 16 + ROW_STRIDE_B * q, four columns per thread; a 16-byte
// copy when in range and aligned, else four plain loads with zeros.
__device__ __forceinline__ void slim_load_b_rows(float* Bs, const float* B_slice, int red_left,
                                                 int cols_left, int ld) {
  const int c4 = 4 * (threadIdx.x % (BN / 4));
#pragma unroll
  for (int q = 0; q < BK / ROW_STRIDE_B; ++q) {
    const int r = threadIdx.x / (BN / 4) + ROW_STRIDE_B * q;
    tvn_copy4_or_load(Bs + r * TVN_SLIM_B_PITCH + c4, B_slice, r, red_left, c4, cols_left, ld);
  }
}

// The BK reduction steps of a loaded slice, 8 rows by 2 x 4 columns.
__device__ __forceinline__ void slim_compute_slice(const float* As, const float* Bs,
                                                   SlimPlace at, float* acc) {
#pragma unroll
  for (int d = 0; d < BK; ++d) {
    const float4* a = reinterpret_cast<const float4*>(As + d * TVN_SLIM_A_PITCH + at.row);
    const float4 a0 = a[0], a1 = a[1];
    const float regM[TM] = {a0.x, a0.y, a0.z, a0.w, a1.x, a1.y, a1.z, a1.w};
    float regN[WNITER * TN];
#pragma unroll
    for (int s = 0; s < WNITER; ++s) {
      const float4 b =
          *reinterpret_cast<const float4*>(Bs + d * TVN_SLIM_B_PITCH + at.col + s * WSUBN);
      regN[s * TN] = b.x, regN[s * TN + 1] = b.y, regN[s * TN + 2] = b.z, regN[s * TN + 3] = b.w;
    }
#pragma unroll
    for (int i = 0; i < TM; ++i)
#pragma unroll
      for (int e = 0; e < WNITER * TN; ++e)
        acc[i * WNITER * TN + e] = __fmaf_rn(regM[i], regN[e], acc[i * WNITER * TN + e]);
  }
}

// Forward main loop over reduction indices [k_begin, k_end), walking A and B
// by pointer from the tile's first row and column.
__device__ __forceinline__ void slim_nn_mainloop(float* As, float* Bs, const float* A,
                                                 const float* B, int M, int N, int k_begin,
                                                 int k_end, int lda, int ldb, int tileRow0,
                                                 int tileCol0, SlimPlace at, float* acc) {
  const float* a_ptr = A + tileRow0 * lda + k_begin;
  const float* b_ptr = B + k_begin * ldb + tileCol0;
  for (int r0 = k_begin; r0 < k_end; r0 += BK) {
    slim_load_a_transposed(As, a_ptr, M - tileRow0, k_end - r0, lda);
    slim_load_b_rows(Bs, b_ptr, k_end - r0, N - tileCol0, ldb);
    cp_async_commit();
    cp_async_wait_all();
    __syncthreads();
    slim_compute_slice(As, Bs, at, acc);
    __syncthreads();
    a_ptr += BK;
    b_ptr += BK * ldb;
  }
}

// --- tesvan_nn_slim -------------------------------------------------------------
// Launch: grid ceil(M / BM) * ceil(N / BN) blocks (swizzled), block NUM_THREADS,
// static shared memory only.

extern "C" __global__ void __launch_bounds__(NUM_THREADS, 2)
    tesvan_nn_slim(float* __restrict__ C, const float* __restrict__ A, const float* __restrict__ B,
                   const float* __restrict__ bias, float alpha, float beta, int M, int N, int K,
                   int lda, int ldb, int ldc) {
  assert(alpha == 1.0f || bias == nullptr);
  __shared__ __align__(16) float As[BK * TVN_SLIM_A_PITCH];
  __shared__ __align__(16) float Bs[BK * TVN_SLIM_B_PITCH];
  int pid_m, pid_n;
  tvn_swizzle(blockIdx.x, tvn_ceil_div(M, BM), tvn_ceil_div(N, BN), pid_m, pid_n);
  const int tileRow0 = pid_m * BM, tileCol0 = pid_n * BN;
  const SlimPlace at = slim_place();

  float acc[TM * WNITER * TN];
#pragma unroll
  for (int s = 0; s < WNITER; ++s)
#pragma unroll
    for (int j = 0; j < TN; ++j) {
      const int col = tileCol0 + at.col + s * WSUBN + j;
      const float seed = (bias != nullptr && col < N) ? bias[col] : 0.0f;
#pragma unroll
      for (int i = 0; i < TM; ++i) acc[i * WNITER * TN + s * TN + j] = seed;
    }

  slim_nn_mainloop(As, Bs, A, B, M, N, 0, K, lda, ldb, tileRow0, tileCol0, at, acc);

#pragma unroll
  for (int i = 0; i < TM; ++i) {
    const int row = tileRow0 + at.row + i;
    if (row < M) {
#pragma unroll
      for (int s = 0; s < WNITER; ++s)
        tvn_store4_blend(C, acc + i * WNITER * TN + s * TN, alpha, beta, row,
                         tileCol0 + at.col + s * WSUBN, N, ldc);
    }
  }
  __syncthreads();
}

// --- tesvan_nn_splitk_slim_partial: raw sums of one K chunk into slab fc --------
// Launch: grid (ceil(M / BM) * ceil(N / BN), 1, chunks), block NUM_THREADS, static
// shared memory only.

extern "C" __global__ void __launch_bounds__(NUM_THREADS, 2)
    tesvan_nn_splitk_slim_partial(float* __restrict__ partial, const float* __restrict__ A,
                                  const float* __restrict__ B, int M, int N, int K, int lda,
                                  int ldb, int K_chunk) {
  __shared__ __align__(16) float As[BK * TVN_SLIM_A_PITCH];
  __shared__ __align__(16) float Bs[BK * TVN_SLIM_B_PITCH];
  const int fc = blockIdx.z;
  const int k_begin = fc * K_chunk;
  if (k_begin >= K) return;
  const int k_end = min(K, k_begin + K_chunk);
  int pid_m, pid_n;
  tvn_swizzle(blockIdx.x, tvn_ceil_div(M, BM), tvn_ceil_div(N, BN), pid_m, pid_n);
  const int tileRow0 = pid_m * BM, tileCol0 = pid_n * BN;
  const SlimPlace at = slim_place();

  float acc[TM * WNITER * TN];
#pragma unroll
  for (int e = 0; e < TM * WNITER * TN; ++e) acc[e] = 0.0f;

  slim_nn_mainloop(As, Bs, A, B, M, N, k_begin, k_end, lda, ldb, tileRow0, tileCol0, at, acc);

  float* slab = partial + (long long)fc * M * N;
#pragma unroll
  for (int i = 0; i < TM; ++i) {
    const int row = tileRow0 + at.row + i;
    if (row < M) {
#pragma unroll
      for (int s = 0; s < WNITER; ++s)
        tvn_store4_raw(slab, acc + i * WNITER * TN + s * TN, row, tileCol0 + at.col + s * WSUBN, N);
    }
  }
  __syncthreads();
}

// --- tesvan_tn_slim: dW += alpha * X^T * dY -----------------------------------
// Launch: grid ceil(K_out / BM) * ceil(N / BN) blocks (swizzled), block NUM_THREADS,
// static shared memory only.

extern "C" __global__ void __launch_bounds__(NUM_THREADS, 2)
    tesvan_tn_slim(float* __restrict__ C, const float* __restrict__ A, const float* __restrict__ B,
                   float alpha, int M_red, int K_out, int N) {
  __shared__ __align__(16) float As[BK * TVN_SLIM_A_PITCH];
  __shared__ __align__(16) float Bs[BK * TVN_SLIM_B_PITCH];
  int pid_m, pid_n;
  tvn_swizzle(blockIdx.x, tvn_ceil_div(K_out, BM), tvn_ceil_div(N, BN), pid_m, pid_n);
  const int tileRow0 = pid_m * BM, tileCol0 = pid_n * BN;
  const SlimPlace at = slim_place();
  const int warp = threadIdx.x / TVN_WARPSIZE, lane = threadIdx.x % TVN_WARPSIZE;

  float acc[TM * WNITER * TN];
#pragma unroll
  for (int e = 0; e < TM * WNITER * TN; ++e) acc[e] = 0.0f;

  for (int r0 = 0; r0 < M_red; r0 += BK) {
    // X rows: warp w takes reduction rows 8w .. 8w + 7, lane l columns 4l .. 4l + 3.
#pragma unroll
    for (int q = 0; q < 8; ++q) {
      const int k = 8 * warp + q;
      tvn_copy4_or_zero(As + k * TVN_SLIM_A_PITCH + 4 * lane, A, r0 + k, M_red, tileRow0 + 4 * lane,
                        K_out, K_out);
    }
    slim_load_b_rows(Bs, B + (long long)r0 * N + tileCol0, M_red - r0, N - tileCol0, N);
    cp_async_commit();
    cp_async_wait_all();
    __syncthreads();
    slim_compute_slice(As, Bs, at, acc);
    __syncthreads();
  }

#pragma unroll
  for (int i = 0; i < TM; ++i) {
    const int row = tileRow0 + at.row + i;
    if (row < K_out) {
#pragma unroll
      for (int s = 0; s < WNITER; ++s)
        tvn_store4_accumulate(C, acc + i * WNITER * TN + s * TN, alpha, row,
                              tileCol0 + at.col + s * WSUBN, N);
    }
  }
  __syncthreads();
}

// --- tesvan_nt_slim: dX = alpha * dY * W^T ------------------------------------
// Launch: grid ceil(M / BM) * ceil(K_out / BN) blocks (swizzled), block NUM_THREADS,
// static shared memory only.

extern "C" __global__ void __launch_bounds__(NUM_THREADS, 2)
    tesvan_nt_slim(float* __restrict__ C, const float* __restrict__ A, const float* __restrict__ B,
                   float alpha, int M, int N, int K_out) {
  __shared__ __align__(16) float As[BK * TVN_SLIM_A_PITCH];
  __shared__ __align__(16) float Bs[BK * TVN_SLIM_B_PITCH];
  int pid_m, pid_n;
  tvn_swizzle(blockIdx.x, tvn_ceil_div(M, BM), tvn_ceil_div(K_out, BN), pid_m, pid_n);
  const int tileRow0 = pid_m * BM, tileCol0 = pid_n * BN;
  const SlimPlace at = slim_place();
  const int c4 = 4 * (threadIdx.x % (BN / 4));

  float acc[TM * WNITER * TN];
#pragma unroll
  for (int e = 0; e < TM * WNITER * TN; ++e) acc[e] = 0.0f;

  for (int r0 = 0; r0 < N; r0 += BK) {
    slim_load_a_transposed(As, A + tileRow0 * N + r0, M - tileRow0, N - r0, N);
    // W read transposed: Bs[n][col] = W[col][r0 + n].
#pragma unroll
    for (int q = 0; q < BK / ROW_STRIDE_B; ++q) {
      const int n = threadIdx.x / (BN / 4) + ROW_STRIDE_B * q;
#pragma unroll
      for (int i = 0; i < 4; ++i) {
        const int c = tileCol0 + c4 + i;
        float* dst = Bs + n * TVN_SLIM_B_PITCH + c4 + i;
        if (r0 + n < N && c < K_out)
          cp_async_4(dst, B + (long long)c * N + r0 + n);
        else
          *dst = 0.0f;
      }
    }
    cp_async_commit();
    cp_async_wait_all();
    __syncthreads();
    slim_compute_slice(As, Bs, at, acc);
    __syncthreads();
  }

#pragma unroll
  for (int i = 0; i < TM; ++i) {
    const int row = tileRow0 + at.row + i;
    if (row < M) {
#pragma unroll
      for (int s = 0; s < WNITER; ++s)
        tvn_store4_writethrough(C, acc + i * WNITER * TN + s * TN, alpha, row,
                                tileCol0 + at.col + s * WSUBN, K_out);
    }
  }
  __syncthreads();
}

#undef TVN_SLIM_A_PITCH
#undef TVN_SLIM_B_PITCH

#undef NUM_THREADS
#undef BM
#undef BN
#undef BK
#undef WM
#undef WN
#undef WNITER
#undef TM
#undef TN
#undef WMITER
#undef WSUBM
#undef WSUBN
#undef ROW_STRIDE_B
