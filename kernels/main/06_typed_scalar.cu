// Typed (bf16/f16) twins of the GEMV, ultra-thin and narrow kernels.
//
// Each family is written once and instantiated per element type.  Loads widen
// to f32 with to_f, shared memory and every accumulation stay f32 with the
// f32 twin's fused multiply-add chains and fixed trees, and the only rounding
// to 16 bits is the final store.  Widening is exact and a product of two
// 16-bit values is exact in f32, so each result equals the f32 twin's result
// on the widened operands rounded once to nearest even; dW and the bias stay
// f32.  Staging is synchronous: an asynchronous copy cannot widen.

// Typed scalar-tier glossary (this section's macros end with it).  The
// narrow sets are the f32 narrow kernels' (their placement and slice product
// are reused), checked against that section's values below.
#define NBM 64             // narrow: block tile rows
#define NBN 32             // narrow: block tile columns
#define NBK 16             // narrow: reduction depth of one slice
#define NTM 4              // narrow: thread tile rows
#define NTN 4              // narrow: thread tile columns
#define NNUM_THREADS 128   // narrow: block size
#define NSBM 16            // narrow-small: block tile rows
#define NSBN 16            // narrow-small: block tile columns
#define NSBK 16            // narrow-small: reduction depth of one slice
#define NSTM 2             // narrow-small: thread tile rows
#define NSTN 2             // narrow-small: thread tile columns
#define NSNUM_THREADS 64   // narrow-small: block size
#define TVN_T_UT_WARPS 8   // ultra-thin: warps per block, each summing one fixed slab

static_assert(tvn_narrow_tile::bm == NBM && tvn_narrow_tile::bn == NBN &&
                  tvn_narrow_tile::bk == NBK && tvn_narrow_tile::tm == NTM &&
                  tvn_narrow_tile::tn == NTN && tvn_narrow_tile::threads == NNUM_THREADS,
              "narrow_place and narrow_compute_slice were built for the f32 narrow tile");
static_assert(tvn_narrow_small_tile::bm == NSBM && tvn_narrow_small_tile::bn == NSBN &&
                  tvn_narrow_small_tile::bk == NSBK && tvn_narrow_small_tile::tm == NSTM &&
                  tvn_narrow_small_tile::tn == NSTN &&
                  tvn_narrow_small_tile::threads == NSNUM_THREADS,
              "narrow_small_place and its slice product were built for the f32 narrow-small tile");
static_assert(TVN_T_UT_WARPS * TVN_WARPSIZE == 256, "the ultra-thin block is launched with 256");

// ---- GEMV (N = 1): one warp per output, 32 strided lane partials ----------
// Launch as the f32 twins: NN grid ceil(M / 4) and TN grid ceil(K / 4) blocks of 128;
// NT any 1-D grid covering M * K threads (the engine: blocks of 256); no dynamic shared.

#define DEFINE_TESVAN_NN_GEMV(NAME, T, DOWNCAST)                                                   \
  extern "C" __global__ void __launch_bounds__(128, 4)                                             \
      NAME(T* __restrict__ Y, const T* __restrict__ X, const T* __restrict__ W,                    \
           const float* __restrict__ bias, float alpha, float beta, int M, int K, int lda,         \
           int ldy) {                                                                              \
    const int row = blockIdx.x * 4 + threadIdx.x / TVN_WARPSIZE;                                   \
    if (row >= M) return;                                                                          \
    const int lane = threadIdx.x % TVN_WARPSIZE;                                                   \
    float acc = 0.0f;                                                                              \
    for (int k = lane; k < K; k += TVN_WARPSIZE)                                                   \
      acc = __fmaf_rn(to_f(X[row * lda + k]), to_f(W[k]), acc);                                    \
    acc = tvn_warp_butterfly_sum(acc);                                                             \
    if (lane == 0) {                                                                               \
      float val = __fmul_rn(alpha, acc);                                                           \
      if (bias != nullptr) val = __fadd_rn(val, bias[0]);                                          \
      if (beta != 0.0f) val = __fadd_rn(val, __fmul_rn(beta, to_f(Y[row * ldy])));                 \
      Y[row * ldy] = DOWNCAST(val);                                                                \
    }                                                                                              \
  }

#define DEFINE_TESVAN_TN_GEMV(NAME, T)                                                             \
  extern "C" __global__ void __launch_bounds__(128, 4)                                             \
      NAME(float* __restrict__ dW, const T* __restrict__ X, const T* __restrict__ dY,              \
           float alpha, int M_red, int K_out, int lda, int ldy) {                                  \
    const int k = blockIdx.x * 4 + threadIdx.x / TVN_WARPSIZE;                                     \
    if (k >= K_out) return;                                                                        \
    const int lane = threadIdx.x % TVN_WARPSIZE;                                                   \
    float acc = 0.0f;                                                                              \
    for (int m = lane; m < M_red; m += TVN_WARPSIZE)                                               \
      acc = __fmaf_rn(to_f(X[m * lda + k]), to_f(dY[m * ldy]), acc);                               \
    acc = tvn_warp_butterfly_sum(acc);                                                             \
    if (lane == 0) dW[k] = __fadd_rn(dW[k], __fmul_rn(alpha, acc));                                \
  }

// dX = dY * W^T for N = 1 is an outer product: one thread per element.
#define DEFINE_TESVAN_NT_GEMV(NAME, T, DOWNCAST)                                                   \
  extern "C" __global__ void __launch_bounds__(256)                                                \
      NAME(T* __restrict__ dX, const T* __restrict__ dY, const T* __restrict__ W,                  \
           float alpha, int M, int K, int ldx, int ldy) {                                          \
    const int t = blockIdx.x * blockDim.x + threadIdx.x;                                           \
    if (t >= M * K) return;                                                                        \
    const int m = t / K;                                                                           \
    const int k = t - m * K;                                                                       \
    dX[m * ldx + k] = DOWNCAST(__fmul_rn(__fmul_rn(alpha, to_f(dY[m * ldy])), to_f(W[k])));        \
  }

// ---- ultra-thin forward (M < 32): one row per block row, 8 slab partials --
// Launch: grid (ceil(N / 32), M), block TVN_T_UT_WARPS * 32 = 256, dynamic shared K floats.

#define DEFINE_TESVAN_NN_ULTRA_THIN(NAME, T, DOWNCAST)                                             \
  extern "C" __global__ void __launch_bounds__(256, 4)                                             \
      NAME(T* __restrict__ Y, const T* __restrict__ X, const T* __restrict__ W,                    \
           const float* __restrict__ bias, float alpha, float beta, int M, int N, int K,           \
           int lda, int ldb, int ldc) {                                                            \
    extern __shared__ float tvn_t_x_row[];                                                         \
    __shared__ float partials[TVN_T_UT_WARPS][TVN_WARPSIZE];                                       \
    const int m = blockIdx.y;                                                                      \
    if (m >= M) return;                                                                            \
    const int warp = threadIdx.x / TVN_WARPSIZE;                                                   \
    const int lane = threadIdx.x % TVN_WARPSIZE;                                                   \
    const int col = blockIdx.x * TVN_WARPSIZE + lane;                                              \
    for (int k = threadIdx.x; k < K; k += blockDim.x) tvn_t_x_row[k] = to_f(X[m * lda + k]);       \
    __syncthreads();                                                                               \
    const int per_warp = (K + TVN_T_UT_WARPS - 1) / TVN_T_UT_WARPS;                                \
    const int k_begin = warp * per_warp;                                                           \
    const int k_end = min(K, k_begin + per_warp);                                                  \
    float acc = 0.0f;                                                                              \
    if (col < N) {                                                                                 \
      for (int k = k_begin; k < k_end; ++k)                                                        \
        acc = __fmaf_rn(tvn_t_x_row[k], to_f(W[k * ldb + col]), acc);                              \
    }                                                                                              \
    partials[warp][lane] = acc;                                                                    \
    __syncthreads();                                                                               \
    if (warp == 0 && col < N) {                                                                    \
      const float p01 = __fadd_rn(partials[0][lane], partials[1][lane]);                           \
      const float p23 = __fadd_rn(partials[2][lane], partials[3][lane]);                           \
      const float p45 = __fadd_rn(partials[4][lane], partials[5][lane]);                           \
      const float p67 = __fadd_rn(partials[6][lane], partials[7][lane]);                           \
      float val = __fmul_rn(alpha, __fadd_rn(__fadd_rn(p01, p23), __fadd_rn(p45, p67)));           \
      if (bias != nullptr) val = __fadd_rn(val, bias[col]);                                        \
      if (beta != 0.0f) val = __fadd_rn(val, __fmul_rn(beta, to_f(Y[m * ldc + col])));             \
      Y[m * ldc + col] = DOWNCAST(val);                                                            \
    }                                                                                              \
  }

// ---- narrow tiles: one f32 accumulator per output, ascending-k fma chain --
// Launch as the f32 narrow kernels: grid ceil(rows / BM) * ceil(cols / BN) blocks
// (swizzled), block NNUM_THREADS (narrow-small: NSNUM_THREADS), static shared only.

// Thread placement and the product of one staged slice are the f32 narrow
// kernels' (narrow_place / narrow_compute_slice and their narrow-small
// twins): the same shared-memory layout, the same fused multiply-add chain.

// Forward, bias seeded as the first addend of each chain.  The tile
// constants, placement and slice product are parameters so the narrow and
// narrow-small kernels share it.
#define DEFINE_TESVAN_NN_NARROW_T(NAME, T, DOWNCAST, BM, BN, BK, TM, TN, THREADS, MIN_BLOCKS,      \
                                  PLACE, COMPUTE)                                                  \
  extern "C" __global__ void __launch_bounds__(THREADS, MIN_BLOCKS)                                \
      NAME(T* __restrict__ C, const T* __restrict__ A, const T* __restrict__ B,                    \
           const float* __restrict__ bias, float alpha, float beta, int M, int N, int K,           \
           int lda, int ldb, int ldc, int post_op) {                                               \
    (void)post_op;                                                                                 \
    __shared__ __align__(16) float As[(BK) * ((BM) + TVN_SMEM_A_PAD)];                             \
    __shared__ __align__(16) float Bs[(BK) * ((BN) + TVN_SMEM_B_PAD)];                             \
    int pid_m, pid_n;                                                                              \
    tvn_swizzle(blockIdx.x, tvn_ceil_div(M, BM), tvn_ceil_div(N, BN), pid_m, pid_n);               \
    const int row0 = pid_m * (BM);                                                                 \
    const int col0 = pid_n * (BN);                                                                 \
    const NarrowPlace at = PLACE();                                                                \
    float acc[(TM) * (TN)];                                                                        \
    _Pragma("unroll") for (int j = 0; j < (TN); ++j) {                                             \
      const int col = col0 + at.col + j;                                                           \
      const float seed = (bias != nullptr && col < N) ? bias[col] : 0.0f;                          \
      _Pragma("unroll") for (int i = 0; i < (TM); ++i) acc[i * (TN) + j] = seed;                   \
    }                                                                                              \
    for (int k_base = 0; k_base < K; k_base += (BK)) {                                             \
      /* Lanes run along A's rows (k), so a warp reads whole sectors. */                           \
      for (int idx = threadIdx.x; idx < (BK) * (BM); idx += (THREADS)) {                           \
        const int kk = idx % (BK), mm = idx / (BK);                                                \
        const int r = row0 + mm, k = k_base + kk;                                                  \
        As[kk * ((BM) + TVN_SMEM_A_PAD) + mm] = (r < M && k < K) ? to_f(A[r * lda + k]) : 0.0f;    \
      }                                                                                            \
      for (int idx = threadIdx.x; idx < (BK) * (BN); idx += (THREADS)) {                           \
        const int kk = idx / (BN), nn = idx % (BN);                                                \
        const int k = k_base + kk, c = col0 + nn;                                                  \
        Bs[kk * ((BN) + TVN_SMEM_B_PAD) + nn] = (k < K && c < N) ? to_f(B[k * ldb + c]) : 0.0f;    \
      }                                                                                            \
      __syncthreads();                                                                             \
      COMPUTE(As, Bs, at, acc);                                                                    \
      __syncthreads();                                                                             \
    }                                                                                              \
    _Pragma("unroll") for (int i = 0; i < (TM); ++i) {                                             \
      const int row = row0 + at.row + i;                                                           \
      _Pragma("unroll") for (int j = 0; j < (TN); ++j) {                                           \
        const int col = col0 + at.col + j;                                                         \
        if (row < M && col < N) {                                                                  \
          float val = __fmul_rn(alpha, acc[i * (TN) + j]);                                         \
          if (beta != 0.0f) val = __fadd_rn(val, __fmul_rn(beta, to_f(C[row * ldc + col])));       \
          C[row * ldc + col] = DOWNCAST(val);                                                      \
        }                                                                                          \
      }                                                                                            \
    }                                                                                              \
  }

// dW[K_out, N] += X^T dY, reduction over the batch rows M_red; dW is f32.
#define DEFINE_TESVAN_TN_NARROW_T(NAME, T)                                                         \
  extern "C" __global__ void __launch_bounds__(NNUM_THREADS, 4)                                    \
      NAME(float* __restrict__ C, const T* __restrict__ A, const T* __restrict__ B,                \
           float alpha, int M_red, int K_out, int N) {                                             \
    __shared__ __align__(16) float As[NBK * (NBM + TVN_SMEM_A_PAD)];                               \
    __shared__ __align__(16) float Bs[NBK * (NBN + TVN_SMEM_B_PAD)];                               \
    int pid_m, pid_n;                                                                              \
    tvn_swizzle(blockIdx.x, tvn_ceil_div(K_out, NBM), tvn_ceil_div(N, NBN), pid_m, pid_n);         \
    const int row0 = pid_m * NBM;                                                                  \
    const int col0 = pid_n * NBN;                                                                  \
    const NarrowPlace at = narrow_place();                                                         \
    float acc[NTM * NTN];                                                                          \
    _Pragma("unroll") for (int i = 0; i < NTM * NTN; ++i) acc[i] = 0.0f;                           \
    for (int m_base = 0; m_base < M_red; m_base += NBK) {                                          \
      for (int idx = threadIdx.x; idx < NBK * NBM; idx += NNUM_THREADS) {                          \
        const int r = idx / NBM, c = idx % NBM;                                                    \
        As[r * (NBM + TVN_SMEM_A_PAD) + c] =                                                       \
            (m_base + r < M_red && row0 + c < K_out)                                               \
                ? to_f(A[(long long)(m_base + r) * K_out + row0 + c])                              \
                : 0.0f;                                                                            \
      }                                                                                            \
      for (int idx = threadIdx.x; idx < NBK * NBN; idx += NNUM_THREADS) {                          \
        const int r = idx / NBN, c = idx % NBN;                                                    \
        Bs[r * (NBN + TVN_SMEM_B_PAD) + c] = (m_base + r < M_red && col0 + c < N)                  \
                                             ? to_f(B[(long long)(m_base + r) * N + col0 + c])     \
                                             : 0.0f;                                               \
      }                                                                                            \
      __syncthreads();                                                                             \
      narrow_compute_slice(As, Bs, at, acc);                                                       \
      __syncthreads();                                                                             \
    }                                                                                              \
    _Pragma("unroll") for (int i = 0; i < NTM; ++i) {                                              \
      const int row = row0 + at.row + i;                                                           \
      _Pragma("unroll") for (int j = 0; j < NTN; ++j) {                                            \
        const int col = col0 + at.col + j;                                                         \
        if (row < K_out && col < N)                                                                \
          C[row * N + col] = __fadd_rn(C[row * N + col], __fmul_rn(alpha, acc[i * NTN + j]));      \
      }                                                                                            \
    }                                                                                              \
  }

// dX[M, K_out] = dY W^T, reduction over N; W is read transposed.
#define DEFINE_TESVAN_NT_NARROW_T(NAME, T, DOWNCAST)                                               \
  extern "C" __global__ void __launch_bounds__(NNUM_THREADS, 4)                                    \
      NAME(T* __restrict__ C, const T* __restrict__ A, const T* __restrict__ B, float alpha,       \
           int M, int N, int K_out) {                                                              \
    __shared__ __align__(16) float As[NBK * (NBM + TVN_SMEM_A_PAD)];                               \
    __shared__ __align__(16) float Bs[NBK * (NBN + TVN_SMEM_B_PAD)];                               \
    int pid_m, pid_n;                                                                              \
    tvn_swizzle(blockIdx.x, tvn_ceil_div(M, NBM), tvn_ceil_div(K_out, NBN), pid_m, pid_n);         \
    const int row0 = pid_m * NBM;                                                                  \
    const int col0 = pid_n * NBN;                                                                  \
    const NarrowPlace at = narrow_place();                                                         \
    float acc[NTM * NTN];                                                                          \
    _Pragma("unroll") for (int i = 0; i < NTM * NTN; ++i) acc[i] = 0.0f;                           \
    for (int n_base = 0; n_base < N; n_base += NBK) {                                              \
      for (int idx = threadIdx.x; idx < NBK * NBM; idx += NNUM_THREADS) {                          \
        const int r = idx / NBM, c = idx % NBM;                                                    \
        As[r * (NBM + TVN_SMEM_A_PAD) + c] = (row0 + c < M && n_base + r < N)                      \
                                             ? to_f(A[(long long)(row0 + c) * N + n_base + r])     \
                                             : 0.0f;                                               \
      }                                                                                            \
      for (int idx = threadIdx.x; idx < NBK * NBN; idx += NNUM_THREADS) {                          \
        const int r = idx / NBN, c = idx % NBN;                                                    \
        Bs[r * (NBN + TVN_SMEM_B_PAD) + c] = (col0 + c < K_out && n_base + r < N)                  \
                                             ? to_f(B[(long long)(col0 + c) * N + n_base + r])     \
                                             : 0.0f;                                               \
      }                                                                                            \
      __syncthreads();                                                                             \
      narrow_compute_slice(As, Bs, at, acc);                                                       \
      __syncthreads();                                                                             \
    }                                                                                              \
    _Pragma("unroll") for (int i = 0; i < NTM; ++i) {                                              \
      const int row = row0 + at.row + i;                                                           \
      _Pragma("unroll") for (int j = 0; j < NTN; ++j) {                                            \
        const int col = col0 + at.col + j;                                                         \
        if (row < M && col < K_out)                                                                \
          C[row * K_out + col] = DOWNCAST(__fmul_rn(alpha, acc[i * NTN + j]));                     \
      }                                                                                            \
    }                                                                                              \
  }

DEFINE_TESVAN_NN_GEMV(tesvan_nn_gemv_bf16, __nv_bfloat16, from_f_bf16)
DEFINE_TESVAN_NN_GEMV(tesvan_nn_gemv_f16, __half, from_f_f16)
DEFINE_TESVAN_TN_GEMV(tesvan_tn_gemv_bf16, __nv_bfloat16)
DEFINE_TESVAN_TN_GEMV(tesvan_tn_gemv_f16, __half)
DEFINE_TESVAN_NT_GEMV(tesvan_nt_gemv_bf16, __nv_bfloat16, from_f_bf16)
DEFINE_TESVAN_NT_GEMV(tesvan_nt_gemv_f16, __half, from_f_f16)
DEFINE_TESVAN_NN_ULTRA_THIN(tesvan_nn_ultra_thin_bf16, __nv_bfloat16, from_f_bf16)
DEFINE_TESVAN_NN_ULTRA_THIN(tesvan_nn_ultra_thin_f16, __half, from_f_f16)
DEFINE_TESVAN_NN_NARROW_T(tesvan_nn_narrow_bf16, __nv_bfloat16, from_f_bf16, NBM, NBN, NBK, NTM,
                          NTN, NNUM_THREADS, 4, narrow_place, narrow_compute_slice)
DEFINE_TESVAN_NN_NARROW_T(tesvan_nn_narrow_f16, __half, from_f_f16, NBM, NBN, NBK, NTM, NTN,
                          NNUM_THREADS, 4, narrow_place, narrow_compute_slice)
DEFINE_TESVAN_NN_NARROW_T(tesvan_nn_narrow_small_bf16, __nv_bfloat16, from_f_bf16, NSBM, NSBN,
                          NSBK, NSTM, NSTN, NSNUM_THREADS, 8, narrow_small_place,
                          narrow_small_compute_slice)
DEFINE_TESVAN_NN_NARROW_T(tesvan_nn_narrow_small_f16, __half, from_f_f16, NSBM, NSBN, NSBK, NSTM,
                          NSTN, NSNUM_THREADS, 8, narrow_small_place, narrow_small_compute_slice)
DEFINE_TESVAN_TN_NARROW_T(tesvan_tn_narrow_bf16, __nv_bfloat16)
DEFINE_TESVAN_TN_NARROW_T(tesvan_tn_narrow_f16, __half)
DEFINE_TESVAN_NT_NARROW_T(tesvan_nt_narrow_bf16, __nv_bfloat16, from_f_bf16)
DEFINE_TESVAN_NT_NARROW_T(tesvan_nt_narrow_f16, __half, from_f_f16)

#undef NBM
#undef NBN
#undef NBK
#undef NTM
#undef NTN
#undef NNUM_THREADS
#undef NSBM
#undef NSBN
#undef NSBK
#undef NSTM
#undef NSTN
#undef NSNUM_THREADS
#undef TVN_T_UT_WARPS
#undef DEFINE_TESVAN_NN_GEMV
#undef DEFINE_TESVAN_TN_GEMV
#undef DEFINE_TESVAN_NT_GEMV
#undef DEFINE_TESVAN_NN_ULTRA_THIN
#undef DEFINE_TESVAN_NN_NARROW_T
#undef DEFINE_TESVAN_TN_NARROW_T
#undef DEFINE_TESVAN_NT_NARROW_T
