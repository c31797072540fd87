// Typed (bf16/f16) twins of the big 128 x 128 warptiling kernels.
//
// Shared memory holds exactly the f32 kernels' tiles on widened operands
// (zeros outside the matrix), and the fragment reads and the fused
// multiply-add chain are theirs, so each output equals the f32 kernel's
// output rounded once to nearest even (dW: equal in f32).  Only the staging
// differs: synchronous load, widen and shared store, since an asynchronous
// copy cannot widen 2-byte elements into the transposed f32 layout.  Latency
// is hidden by 16 resident warps per multiprocessor instead.
//
// Typed big-tile glossary (this section's macros end with it):
#define TVN_T_NTHREADS 256  // block size: one warp per warp tile
#define TVN_T_BM 128        // block tile rows
#define TVN_T_BN 128        // block tile columns
#define TVN_T_BK 16         // reduction depth of one staged slice
#define TVN_T_WM 64         // warp tile rows
#define TVN_T_WN 32         // warp tile columns
#define TVN_T_WNITER 1      // warp subtiles across a warp tile
#define TVN_T_TM 8          // thread tile rows
#define TVN_T_TN 8          // thread tile columns
#define TVN_T_WMITER ((TVN_T_WM * TVN_T_WN) / (TVN_WARPSIZE * TVN_T_TM * TVN_T_TN * TVN_T_WNITER))
#define TVN_T_WSUBM (TVN_T_WM / TVN_T_WMITER)  // rows of one warp subtile
#define TVN_T_WSUBN (TVN_T_WN / TVN_T_WNITER)  // columns of one warp subtile
#define K_PIPE 2                                              // stages (double buffering)
#define A_STAGE (TVN_T_BK * (TVN_T_BM + TVN_SMEM_A_PAD))  // floats of one A stage
#define B_STAGE (TVN_T_BK * (TVN_T_BN + TVN_SMEM_B_PAD))  // floats of one B stage

// Stages a slice read along the reduction index (rows of `src` hold the
// reduction, first_row .. first_row + 127 of them are copied) transposed
// into dst[k * pitch + row], zeros outside [rows, red].  Warp w copies tile
// rows 16w .. 16w + 15, four at a time: each lane reads reduction index
// lane % 16 of rows 4p + lane / 16 and 4p + 2 + lane / 16 (two loads of two
// full rows of 16, two 32-byte sectors each), then lanes with index 8 .. 15
// store their second element first.  Each store thus covers four rows mod 4
// by eight indices mod 8: words 4k + row of the 132-float rows, 32 distinct
// banks.  `tid` is the block's thread index.
#define TVN_T_STAGE_TRANSPOSED(dst, pitch, src, rows, red, ld, first_row, k_base)                 \
  do {                                                                                             \
    const int warp_ = tid / TVN_WARPSIZE, k_ = tid % TVN_WARPSIZE % TVN_T_BK;                      \
    const int half_ = tid % TVN_WARPSIZE / TVN_T_BK, second_first_ = k_ / 8;                       \
    _Pragma("unroll") for (int p_ = 0; p_ < 4; ++p_) {                                             \
      float v_[2];                                                                                 \
      _Pragma("unroll") for (int q_ = 0; q_ < 2; ++q_) {                                           \
        const int r_ = (first_row) + 16 * warp_ + 4 * p_ + 2 * q_ + half_;                         \
        const int kk_ = (k_base) + k_;                                                             \
        v_[q_] = (r_ < (rows) && kk_ < (red)) ? to_f((src)[(long long)r_ * (ld) + kk_]) : 0.0f;    \
      }                                                                                            \
      _Pragma("unroll") for (int s_ = 0; s_ < 2; ++s_) {                                           \
        const int q_ = s_ ^ second_first_;                                                         \
        (dst)[k_ * (pitch) + 16 * warp_ + 4 * p_ + 2 * q_ + half_] = q_ ? v_[1] : v_[0];           \
      }                                                                                            \
    }                                                                                              \
  } while (0)

// The tile, warp and thread shapes are the f32 big kernels' (the compute
// block below is theirs), with one warp sub-tile per warp.
static_assert(tvn_big_tile::bm == TVN_T_BM && tvn_big_tile::bn == TVN_T_BN &&
                  tvn_big_tile::bk == TVN_T_BK && tvn_big_tile::wm == TVN_T_WM &&
                  tvn_big_tile::wn == TVN_T_WN && tvn_big_tile::tm == TVN_T_TM &&
                  tvn_big_tile::tn == TVN_T_TN && tvn_big_tile::threads == TVN_T_NTHREADS,
              "big_compute_stage was built for the f32 big tile");
static_assert(TVN_T_WMITER == 1 && TVN_T_WNITER == 1, "typed big tiles use one warp sub-tile");
static_assert(TVN_T_BK == 16 && TVN_T_BM == 16 * (TVN_T_NTHREADS / TVN_WARPSIZE) &&
                  TVN_T_BN == TVN_T_BM,
              "TVN_T_STAGE_TRANSPOSED: lane % 16 is the index, each warp copies 16 tile rows");
static_assert((TVN_T_BM + TVN_SMEM_A_PAD) % 32 == 4 && (TVN_T_BN + TVN_SMEM_B_PAD) % 32 == 4 &&
                  A_STAGE % 32 == 0 && B_STAGE % 32 == 0,
              "TVN_T_STAGE_TRANSPOSED: word 4k + row of a stage is in bank (4k + row) % 32");
// Dynamic shared memory: K_PIPE stages of A and B, 33792 bytes; the engine
// grants 34816, the raised limit of the kernel table.
static_assert(K_PIPE * (A_STAGE + B_STAGE) * sizeof(float) <= 34816,
              "stages fit the engine's dynamic shared grant");

// Block prologue shared by the three families: shared stages, tile, thread
// placement (tile_row, tile_col: the first of the thread's 8 x 8 outputs).
#define TVN_T_BIG_SETUP(rows, cols)                                                                \
  extern __shared__ __align__(16) float tvn_t_smem[];                                              \
  float* const As = tvn_t_smem;                                                                    \
  float* const Bs = tvn_t_smem + K_PIPE * A_STAGE;                                                 \
  int pid_m, pid_n;                                                                                \
  tvn_swizzle(blockIdx.x, tvn_ceil_div(rows, TVN_T_BM), tvn_ceil_div(cols, TVN_T_BN), pid_m,       \
              pid_n);                                                                              \
  const int row0 = pid_m * TVN_T_BM;                                                               \
  const int col0 = pid_n * TVN_T_BN;                                                               \
  const int tid = threadIdx.x;                                                                     \
  const int tile_row = (tid / TVN_WARPSIZE / (TVN_T_BN / TVN_T_WN)) * TVN_T_WM +                   \
                       (tid % TVN_WARPSIZE / (TVN_T_WSUBN / TVN_T_TN)) * TVN_T_TM;                 \
  const int tile_col = (tid / TVN_WARPSIZE % (TVN_T_BN / TVN_T_WN)) * TVN_T_WN +                   \
                       (tid % TVN_WARPSIZE % (TVN_T_WSUBN / TVN_T_TN)) * TVN_T_TN;                 \
  const BigPlace at = {tile_row, tile_col}

// The products of one staged slice: the f32 big kernels' own fragment reads
// and fused multiply-add chain (register fragments double-buffered; for each
// reduction index in ascending order every accumulator takes one fused
// multiply-add, rows outer, columns inner), on the same stage layout.
#define TVN_T_COMPUTE_TILE(as, bs, acc) big_compute_stage((as), (bs), at, (acc))

// Two stages, one barrier per slice: the barrier publishes the slice staged
// in the previous round and retires the reads of the stage about to be
// refilled.  `stage(s, base)` fills stage s with the slice at index base.
#define TVN_T_MAIN_LOOP(length, stage, acc)                                                        \
  do {                                                                                             \
    const int num_tiles = ((length) + TVN_T_BK - 1) / TVN_T_BK;                                    \
    stage(0, 0);                                                                                   \
    int read_stage = 0;                                                                            \
    for (int tile = 0; tile < num_tiles; ++tile) {                                                 \
      __syncthreads();                                                                             \
      if (tile + 1 < num_tiles) stage(1 - read_stage, (tile + 1) * TVN_T_BK);                      \
      TVN_T_COMPUTE_TILE(As + read_stage * A_STAGE, Bs + read_stage * B_STAGE, acc);               \
      read_stage = 1 - read_stage;                                                                 \
    }                                                                                              \
  } while (0)

// Forward C[M, N] = alpha * A B + beta * C, bias seeded as the first addend.
// Launch: grid ceil(M / TVN_T_BM) * ceil(N / TVN_T_BN) blocks (swizzled), block
// TVN_T_NTHREADS, dynamic shared K_PIPE * (A_STAGE + B_STAGE) floats.
#define DEFINE_TESVAN_NN_BIG_T(NAME, T, DOWNCAST)                                                  \
  extern "C" __global__ void __launch_bounds__(TVN_T_NTHREADS, 2)                                  \
      NAME(T* __restrict__ C, const T* __restrict__ A, const T* __restrict__ B,                    \
           const float* __restrict__ bias, float alpha, float beta, int M, int N, int K,           \
           int lda, int ldb, int ldc) {                                                            \
    assert(alpha == 1.0f || bias == nullptr);                                                      \
    TVN_T_BIG_SETUP(M, N);                                                                         \
    float acc[TVN_T_TM * TVN_T_TN];                                                                \
    _Pragma("unroll") for (int j = 0; j < TVN_T_TN; ++j) {                                         \
      const int col = col0 + tile_col + j;                                                         \
      const float seed = (bias != nullptr && col < N) ? bias[col] : 0.0f;                          \
      _Pragma("unroll") for (int i = 0; i < TVN_T_TM; ++i) acc[i * TVN_T_TN + j] = seed;           \
    }                                                                                              \
    /* A is read along k (16 per row), B along n. */                                               \
    auto stage = [&](int s, int k_base) {                                                          \
      float* const as = As + s * A_STAGE;                                                          \
      float* const bs = Bs + s * B_STAGE;                                                          \
      TVN_T_STAGE_TRANSPOSED(as, TVN_T_BM + TVN_SMEM_A_PAD, A, M, K, lda, row0, k_base);         \
      for (int idx = tid; idx < TVN_T_BK * TVN_T_BN; idx += TVN_T_NTHREADS) {                      \
        const int k = idx / TVN_T_BN, n = idx % TVN_T_BN;                                          \
        const int kk = k_base + k, c = col0 + n;                                                   \
        bs[k * (TVN_T_BN + TVN_SMEM_B_PAD) + n] =                                                  \
            (kk < K && c < N) ? to_f(B[(long long)kk * ldb + c]) : 0.0f;                           \
      }                                                                                            \
    };                                                                                             \
    TVN_T_MAIN_LOOP(K, stage, acc);                                                                \
    _Pragma("unroll") for (int i = 0; i < TVN_T_TM; ++i) {                                         \
      const int row = row0 + tile_row + i;                                                         \
      if (row >= M) continue;                                                                      \
      _Pragma("unroll") for (int j = 0; j < TVN_T_TN; ++j) {                                       \
        const int col = col0 + tile_col + j;                                                       \
        if (col < N) {                                                                             \
          float val = __fmul_rn(alpha, acc[i * TVN_T_TN + j]);                                     \
          if (beta != 0.0f) val = __fadd_rn(val, __fmul_rn(beta, to_f(C[row * ldc + col])));       \
          C[row * ldc + col] = DOWNCAST(val);                                                      \
        }                                                                                          \
      }                                                                                            \
    }                                                                                              \
  }

// dW[K_out, N] += alpha * X^T dY, reduction over M_red; dW is f32.
// Launch: grid ceil(K_out / TVN_T_BM) * ceil(N / TVN_T_BN) blocks, the rest as NN.
#define DEFINE_TESVAN_TN_BIG_T(NAME, T)                                                            \
  extern "C" __global__ void __launch_bounds__(TVN_T_NTHREADS, 2)                                  \
      NAME(float* __restrict__ C, const T* __restrict__ A, const T* __restrict__ B,                \
           float alpha, int M_red, int K_out, int N) {                                             \
    TVN_T_BIG_SETUP(K_out, N);                                                                     \
    float acc[TVN_T_TM * TVN_T_TN];                                                                \
    _Pragma("unroll") for (int i = 0; i < TVN_T_TM * TVN_T_TN; ++i) acc[i] = 0.0f;                 \
    /* Both operands are read along their rows (K_out and N). */                                   \
    auto stage = [&](int s, int m_base) {                                                          \
      float* const as = As + s * A_STAGE;                                                          \
      float* const bs = Bs + s * B_STAGE;                                                          \
      for (int idx = tid; idx < TVN_T_BK * TVN_T_BM; idx += TVN_T_NTHREADS) {                      \
        const int r = idx / TVN_T_BM, c = idx % TVN_T_BM;                                          \
        as[r * (TVN_T_BM + TVN_SMEM_A_PAD) + c] =                                                  \
            (m_base + r < M_red && row0 + c < K_out)                                               \
                ? to_f(A[(long long)(m_base + r) * K_out + row0 + c])                              \
                : 0.0f;                                                                            \
      }                                                                                            \
      for (int idx = tid; idx < TVN_T_BK * TVN_T_BN; idx += TVN_T_NTHREADS) {                      \
        const int r = idx / TVN_T_BN, c = idx % TVN_T_BN;                                          \
        bs[r * (TVN_T_BN + TVN_SMEM_B_PAD) + c] =                                                  \
            (m_base + r < M_red && col0 + c < N)                                                   \
                ? to_f(B[(long long)(m_base + r) * N + col0 + c])                                  \
                : 0.0f;                                                                            \
      }                                                                                            \
    };                                                                                             \
    TVN_T_MAIN_LOOP(M_red, stage, acc);                                                            \
    _Pragma("unroll") for (int i = 0; i < TVN_T_TM; ++i) {                                         \
      const int row = row0 + tile_row + i;                                                         \
      if (row >= K_out) continue;                                                                  \
      _Pragma("unroll") for (int j = 0; j < TVN_T_TN; ++j) {                                       \
        const int col = col0 + tile_col + j;                                                       \
        if (col < N)                                                                               \
          C[row * N + col] = __fadd_rn(C[row * N + col], __fmul_rn(alpha, acc[i * TVN_T_TN + j])); \
      }                                                                                            \
    }                                                                                              \
  }

// dX[M, K_out] = alpha * dY W^T, reduction over N; W is read transposed.
// Launch: grid ceil(M / TVN_T_BM) * ceil(K_out / TVN_T_BN) blocks, the rest as NN.
#define DEFINE_TESVAN_NT_BIG_T(NAME, T, DOWNCAST)                                                  \
  extern "C" __global__ void __launch_bounds__(TVN_T_NTHREADS, 2)                                  \
      NAME(T* __restrict__ C, const T* __restrict__ A, const T* __restrict__ B, float alpha,       \
           int M, int N, int K_out) {                                                              \
    TVN_T_BIG_SETUP(M, K_out);                                                                     \
    float acc[TVN_T_TM * TVN_T_TN];                                                                \
    _Pragma("unroll") for (int i = 0; i < TVN_T_TM * TVN_T_TN; ++i) acc[i] = 0.0f;                 \
    /* Both operands are read along N, 16 per row. */                                              \
    auto stage = [&](int s, int n_base) {                                                          \
      float* const as = As + s * A_STAGE;                                                          \
      float* const bs = Bs + s * B_STAGE;                                                          \
      TVN_T_STAGE_TRANSPOSED(as, TVN_T_BM + TVN_SMEM_A_PAD, A, M, N, N, row0, n_base);           \
      TVN_T_STAGE_TRANSPOSED(bs, TVN_T_BN + TVN_SMEM_B_PAD, B, K_out, N, N, col0, n_base);       \
    };                                                                                             \
    TVN_T_MAIN_LOOP(N, stage, acc);                                                                \
    _Pragma("unroll") for (int i = 0; i < TVN_T_TM; ++i) {                                         \
      const int row = row0 + tile_row + i;                                                         \
      if (row >= M) continue;                                                                      \
      _Pragma("unroll") for (int j = 0; j < TVN_T_TN; ++j) {                                       \
        const int col = col0 + tile_col + j;                                                       \
        if (col < K_out)                                                                           \
          C[row * K_out + col] = DOWNCAST(__fmul_rn(alpha, acc[i * TVN_T_TN + j]));                \
      }                                                                                            \
    }                                                                                              \
  }

DEFINE_TESVAN_NN_BIG_T(tesvan_nn_big_bf16, __nv_bfloat16, from_f_bf16)
DEFINE_TESVAN_NN_BIG_T(tesvan_nn_big_f16, __half, from_f_f16)
DEFINE_TESVAN_TN_BIG_T(tesvan_tn_big_bf16, __nv_bfloat16)
DEFINE_TESVAN_TN_BIG_T(tesvan_tn_big_f16, __half)
DEFINE_TESVAN_NT_BIG_T(tesvan_nt_big_bf16, __nv_bfloat16, from_f_bf16)
DEFINE_TESVAN_NT_BIG_T(tesvan_nt_big_f16, __half, from_f_f16)

#undef DEFINE_TESVAN_NN_BIG_T
#undef DEFINE_TESVAN_TN_BIG_T
#undef DEFINE_TESVAN_NT_BIG_T
#undef TVN_T_BIG_SETUP
#undef TVN_T_COMPUTE_TILE
#undef TVN_T_MAIN_LOOP
#undef TVN_T_STAGE_TRANSPOSED
#undef TVN_T_NTHREADS
#undef TVN_T_BM
#undef TVN_T_BN
#undef TVN_T_BK
#undef TVN_T_WM
#undef TVN_T_WN
#undef TVN_T_WNITER
#undef TVN_T_TM
#undef TVN_T_TN
#undef TVN_T_WMITER
#undef TVN_T_WSUBM
#undef TVN_T_WSUBN
#undef K_PIPE
#undef A_STAGE
#undef B_STAGE
