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

// Where a thread's register tile (4 x 4, or 2 x 2 in the narrow-small set)
// sits inside its tile.
struct NarrowPlace {
  int row;
  int col;
};

// A slice of the forward and dX kernels, stored transposed (As[k][row]): two
// rows of 16 consecutive reduction indices per copy instruction.
__device__ __forceinline__ void narrow_load_a_transposed(float* As, int pitch, const float* A_slice,
                                                         int rows_left, int red_left, int ld,
                                                         int passes) {
  const int warp = threadIdx.x / TVN_WARPSIZE, lane = threadIdx.x % TVN_WARPSIZE;
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

// The forward kernel of one tile set, bias seeded: the narrow and the
// narrow-small kernels differ only in their constants, their thread
// placement PLACE() and their slice product COMPUTE(As, Bs, at, acc).  A
// and B are walked by pointer; each warp copies BM / (2 * warps) pairs of
// A rows per slice.
#define TVN_NARROW_FORWARD(NAME, BM_, BN_, BK_, TM_, TN_, THREADS, MIN_BLOCKS, A_PITCH, B_PITCH,  \
                           PLACE, COMPUTE)                                                        \
  extern "C" __global__ void __launch_bounds__(THREADS, MIN_BLOCKS)                               \
      NAME(float* __restrict__ C, const float* __restrict__ A, const float* __restrict__ B,       \
           const float* __restrict__ bias, float alpha, float beta, int M, int N, int K, int lda, \
           int ldb, int ldc, int post_op) {                                                       \
    (void)post_op; /* reserved for a fused post-operation */                                      \
    __shared__ __align__(16) float As[(BK_) * (A_PITCH)];                                         \
    __shared__ __align__(16) float Bs[(BK_) * (B_PITCH)];                                         \
    int pid_m, pid_n;                                                                             \
    tvn_swizzle(blockIdx.x, tvn_ceil_div(M, BM_), tvn_ceil_div(N, BN_), pid_m, pid_n);            \
    const int tileRow0 = pid_m * (BM_), tileCol0 = pid_n * (BN_);                                 \
    const NarrowPlace at = PLACE();                                                               \
                                                                                                  \
    float acc[(TM_) * (TN_)];                                                                     \
    _Pragma("unroll") for (int j = 0; j < (TN_); ++j) {                                           \
      const int col = tileCol0 + at.col + j;                                                      \
      const float seed = (bias != nullptr && col < N) ? bias[col] : 0.0f;                         \
      _Pragma("unroll") for (int i = 0; i < (TM_); ++i) acc[i * (TN_) + j] = seed;                \
    }                                                                                             \
                                                                                                  \
    const float* a_ptr = A + tileRow0 * lda;                                                      \
    const float* b_ptr = B + tileCol0;                                                            \
    const int b_row = threadIdx.x / ((BN_) / 4), b_c4 = 4 * (threadIdx.x % ((BN_) / 4));          \
    for (int r0 = 0; r0 < K; r0 += (BK_)) {                                                       \
      narrow_load_a_transposed(As, A_PITCH, a_ptr, M - tileRow0, K - r0, lda,                     \
                               (BM_) / (2 * ((THREADS) / TVN_WARPSIZE)));                         \
      tvn_copy4_or_load(Bs + b_row * (B_PITCH) + b_c4, b_ptr, b_row, K - r0, b_c4,                \
                        N - tileCol0, ldb);                                                       \
      cp_async_commit();                                                                          \
      cp_async_wait_all();                                                                        \
      __syncthreads();                                                                            \
      COMPUTE(As, Bs, at, acc);                                                                   \
      __syncthreads();                                                                            \
      a_ptr += (BK_);                                                                             \
      b_ptr += (BK_) * ldb;                                                                       \
    }                                                                                             \
                                                                                                  \
    _Pragma("unroll") for (int i = 0; i < (TM_); ++i) {                                           \
      const int row = tileRow0 + at.row + i;                                                      \
      _Pragma("unroll") for (int j = 0; j < (TN_); ++j) {                                         \
        const int col = tileCol0 + at.col + j;                                                    \
        if (row < M && col < N)                                                                   \
          tvn_store1_blend(C + row * ldc + col, acc[i * (TN_) + j], alpha, beta);                 \
      }                                                                                           \
    }                                                                                             \
    __syncthreads();                                                                              \
  }

// Narrow-tile glossary (ends with the narrow kernels below):
#define NBM 64                                       // block tile rows
#define NBN 32                                       // block tile columns
#define NBK 16                                       // reduction depth of one slice
#define NWM 32                                       // warp tile rows
#define NWN 16                                       // warp tile columns
#define NTM 4                                        // thread tile rows
#define NTN 4                                        // thread tile columns
#define NNUM_THREADS 128                             // block size: one warp per warp tile
#define NWMITER 1                                    // warp subtiles down a warp tile
#define NWNITER 1                                    // warp subtiles across a warp tile
#define NWSUBM 32                                    // rows of one warp subtile
#define NWSUBN 16                                    // columns of one warp subtile
#define NROW_STRIDE_B (NNUM_THREADS / (NBN / 4))     // B-slice rows one float4 pass covers
#define NROW_STRIDE_A ((NNUM_THREADS * 4) / NBK)     // A-slice rows one pass covers
#define TVN_NARROW_A_PITCH (NBM + TVN_SMEM_A_PAD)   // floats per shared A row
#define TVN_NARROW_B_PITCH (NBN + TVN_SMEM_B_PAD)   // floats per shared B row

static_assert(NNUM_THREADS == (NBM / NWM) * (NBN / NWN) * TVN_WARPSIZE, "one warp per warp tile");
static_assert(NWMITER * NWNITER * TVN_WARPSIZE * NTM * NTN == NWM * NWN &&
                  NWSUBM == NWM / NWMITER && NWSUBN == NWN / NWNITER,
              "the warp's lanes cover its tile exactly once");
static_assert(NTM == 4 && NTN == 4, "narrow_compute_slice reads one float4 of A and of B");
static_assert(NBK == 16, "narrow_load_a_transposed: lane % 16 is the reduction index");
static_assert(NBK == 4 * (NNUM_THREADS / TVN_WARPSIZE) && NBM == 4 * 16,
              "tesvan_tn_narrow: 4 slice rows per warp, 16 lanes of 4 floats per row");
static_assert(NROW_STRIDE_B == NBK, "one pass of float4 loads covers the B slice");
// The typed narrow kernels reuse narrow_place and narrow_compute_slice (and
// their narrow-small twins) and check their own constants against these.
struct tvn_narrow_tile {
  static constexpr int bm = NBM, bn = NBN, bk = NBK, tm = NTM, tn = NTN, threads = NNUM_THREADS;
};

__device__ __forceinline__ NarrowPlace narrow_place() {
  const int warp = threadIdx.x / TVN_WARPSIZE, lane = threadIdx.x % TVN_WARPSIZE;
  const int warpCol = warp % (NBN / NWN), warpRow = warp / (NBN / NWN);
  const int threadColInWarp = lane % (NWSUBN / NTN), threadRowInWarp = lane / (NWSUBN / NTN);
  NarrowPlace p;
  p.row = warpRow * NWM + threadRowInWarp * NTM;
  p.col = warpCol * NWN + threadColInWarp * NTN;
  return p;
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
      for (int j = 0; j < NTN; ++j)
        acc[i * NTN + j] = __fmaf_rn(regM[i], regN[j], acc[i * NTN + j]);
  }
}

// --- tesvan_nn_narrow ---------------------------------------------------------
// Launch: grid ceil(M / NBM) * ceil(N / NBN) blocks (swizzled), block NNUM_THREADS,
// static shared memory only.

TVN_NARROW_FORWARD(tesvan_nn_narrow, NBM, NBN, NBK, NTM, NTN, NNUM_THREADS, 4, TVN_NARROW_A_PITCH,
                   TVN_NARROW_B_PITCH, narrow_place, narrow_compute_slice)

// --- tesvan_tn_narrow: dW += alpha * X^T * dY ------------------------------------
// Launch: grid ceil(K_out / NBM) * ceil(N / NBN) blocks (swizzled), block NNUM_THREADS,
// static shared memory only.

extern "C" __global__ void __launch_bounds__(NNUM_THREADS, 4)
    tesvan_tn_narrow(float* __restrict__ C, const float* __restrict__ A,
                     const float* __restrict__ B, float alpha, int M_red, int K_out, int N) {
  __shared__ __align__(16) float As[NBK * TVN_NARROW_A_PITCH];
  __shared__ __align__(16) float Bs[NBK * TVN_NARROW_B_PITCH];
  int pid_m, pid_n;
  tvn_swizzle(blockIdx.x, tvn_ceil_div(K_out, NBM), tvn_ceil_div(N, NBN), pid_m, pid_n);
  const int tileRow0 = pid_m * NBM, tileCol0 = pid_n * NBN;
  const NarrowPlace at = narrow_place();
  const int warp = threadIdx.x / TVN_WARPSIZE, lane = threadIdx.x % TVN_WARPSIZE;

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
      const int c4 = 4 * (lane % 16);
      tvn_copy4_or_zero(As + k * TVN_NARROW_A_PITCH + c4, A, r0 + k, M_red, tileRow0 + c4, K_out,
                        K_out);
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
// Launch: grid ceil(M / NBM) * ceil(K_out / NBN) blocks (swizzled), block NNUM_THREADS,
// static shared memory only.

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
    narrow_load_a_transposed(As, TVN_NARROW_A_PITCH, A + tileRow0 * N + r0, M - tileRow0, N - r0, N,
                             8);
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
// Launch: grid ceil(M / NSBM) * ceil(N / NSBN) blocks (swizzled), block NSNUM_THREADS,
// static shared memory only.

// Narrow-small glossary (ends with tesvan_nn_narrow_small):
#define NSBM 16                                       // block tile rows
#define NSBN 16                                       // block tile columns
#define NSBK 16                                       // reduction depth of one slice
#define NSWM 8                                        // warp tile rows (warps stacked along rows)
#define NSWN 16                                       // warp tile columns
#define NSTM 2                                        // thread tile rows
#define NSTN 2                                        // thread tile columns
#define NSNUM_THREADS 64                              // block size: two warps
#define NSWMITER 1                                    // warp subtiles down a warp tile
#define NSWNITER 1                                    // warp subtiles across a warp tile
#define NSWSUBM 8                                     // rows of one warp subtile
#define NSWSUBN 16                                    // columns of one warp subtile
#define NSROW_STRIDE_B (NSNUM_THREADS / (NSBN / 4))   // B-slice rows one float4 pass covers
#define TVN_NSMALL_A_PITCH (NSBM + TVN_SMEM_A_PAD)   // floats per shared A row
#define TVN_NSMALL_B_PITCH (NSBN + TVN_SMEM_B_PAD)   // floats per shared B row

static_assert(NSNUM_THREADS == (NSBM / NSWM) * TVN_WARPSIZE && NSWN == NSBN,
              "narrow_small_place: warps stacked along the tile rows");
static_assert(NSWMITER * NSWNITER * TVN_WARPSIZE * NSTM * NSTN == NSWM * NSWN &&
                  NSWSUBM == NSWM / NSWMITER && NSWSUBN == NSWN / NSWNITER,
              "the warp's lanes cover its tile exactly once");
static_assert(NSBK == 16, "narrow_load_a_transposed: lane % 16 is the reduction index");
static_assert(NSTM == 2 && NSTN == 2, "narrow_small_compute_slice reads two of A and of B");
struct tvn_narrow_small_tile {
  static constexpr int bm = NSBM, bn = NSBN, bk = NSBK, tm = NSTM, tn = NSTN,
                       threads = NSNUM_THREADS;
};

// Warps stacked along rows; a thread owns 2 x 2 elements.
__device__ __forceinline__ NarrowPlace narrow_small_place() {
  const int warp = threadIdx.x / TVN_WARPSIZE, lane = threadIdx.x % TVN_WARPSIZE;
  const int threadColInWarp = lane % (NSWSUBN / NSTN), threadRowInWarp = lane / (NSWSUBN / NSTN);
  NarrowPlace p;
  p.row = warp * NSWM + threadRowInWarp * NSTM;
  p.col = threadColInWarp * NSTN;
  return p;
}

__device__ __forceinline__ void narrow_small_compute_slice(const float* As, const float* Bs,
                                                           NarrowPlace at, float* acc) {
#pragma unroll
  for (int d = 0; d < NSBK; ++d) {
    const float regM[NSTM] = {As[d * TVN_NSMALL_A_PITCH + at.row],
                              As[d * TVN_NSMALL_A_PITCH + at.row + 1]};
    const float regN[NSTN] = {Bs[d * TVN_NSMALL_B_PITCH + at.col],
                              Bs[d * TVN_NSMALL_B_PITCH + at.col + 1]};
#pragma unroll
    for (int i = 0; i < NSTM; ++i)
#pragma unroll
      for (int j = 0; j < NSTN; ++j)
        acc[i * NSTN + j] = __fmaf_rn(regM[i], regN[j], acc[i * NSTN + j]);
  }
}

TVN_NARROW_FORWARD(tesvan_nn_narrow_small, NSBM, NSBN, NSBK, NSTM, NSTN, NSNUM_THREADS, 8,
                   TVN_NSMALL_A_PITCH, TVN_NSMALL_B_PITCH, narrow_small_place,
                   narrow_small_compute_slice)

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
#undef TVN_NARROW_FORWARD
