// Tensor-core GEMM: bf16/f16 operands, f32 accumulators, mma.sync m16n8k16.
//
// Every output element is reduced by one lane in a fixed order: ascending
// 64-wide slabs of the reduction dimension, each as four ascending 16-wide
// mma steps, seeded with the bias (forward) or zero.  Nothing in that order
// depends on the tile size, the grid or M, so the 128-tile kernels here and
// the 64-tile kernels of the next section, which expand the same kernel
// bodies with their own geometry, give identical bits.  Tails are zero-filled
// in shared memory, so a partial slab adds exact zeros.
//
// Staging has two paths that leave identical bytes in shared memory: 16-byte
// asynchronous copies, whose source size zero-fills the end of a row, when
// every row starts 16-byte aligned; element-wise loads otherwise.  Neither
// converts: shared memory holds the operands' own 16-bit patterns.

// 128-tile glossary (this section's tile macros end with it; the kernel
// bodies TVN_TC_*_KERNEL stay for the 64-tile section):
#define TC_BM 128                   // output tile rows
#define TC_BN 128                   // output tile columns
#define TC_BK 64                    // reduction slab (four 16-wide mma steps)
#define TC_PAD_A 8                  // 16-bit elements of padding after a slab-wide row
#define TC_PAD_B 8                  // the same after a tile-wide row
#define TC_LDA (TC_BK + TC_PAD_A)  // 144-byte rows: the 8 rows of an ldmatrix hit distinct banks
#define TC_LDB (TC_BN + TC_PAD_B)  // 272-byte rows, same property
#define TVN_TC_THREADS 256          // block size: 2 x (TC_BN / 32) warps

// Warps form 2 rows x (bn / 32) columns (tc_tile), so a block has 2 * bn
// threads; every staged row start stays 16-byte aligned for cp.async and
// ldmatrix.
static_assert(TVN_TC_THREADS == 2 * TC_BN, "tc_tile: 2 warp rows of bn / 32 warps");
static_assert(TC_BK % 16 == 0, "a slab is whole m16n8k16 steps");
static_assert(TC_LDA * 2 % 16 == 0 && TC_LDB * 2 % 16 == 0, "16-byte aligned shared rows");
// The 64-tile kernels must reduce in the same slabs to give the same bits.
struct tvn_tc_slab {
  static constexpr int width = TC_BK;
};

// ---- PTX wrappers ----------------------------------------------------------
// The zero-filling copy, shared-address conversion, commit and wait come
// from the f32 section head (cp_async_16_zfill, tvn_smem_addr,
// cp_async_commit, cp_async_wait_group0).

__device__ __forceinline__ bool tc_aligned16(const void* p) {
  return (reinterpret_cast<unsigned long long>(p) & 15ull) == 0;
}

__device__ __forceinline__ void tc_ldmatrix_x4(unsigned* r, unsigned addr) {
  asm volatile("ldmatrix.sync.aligned.m8n8.x4.shared.b16 {%0, %1, %2, %3}, [%4];\n"
               : "=r"(r[0]), "=r"(r[1]), "=r"(r[2]), "=r"(r[3])
               : "r"(addr)
               : "memory");
}

__device__ __forceinline__ void tc_ldmatrix_x4_trans(unsigned* r, unsigned addr) {
  asm volatile("ldmatrix.sync.aligned.m8n8.x4.trans.shared.b16 {%0, %1, %2, %3}, [%4];\n"
               : "=r"(r[0]), "=r"(r[1]), "=r"(r[2]), "=r"(r[3])
               : "r"(addr)
               : "memory");
}

__device__ __forceinline__ void tc_ldmatrix_x2(unsigned* r, unsigned addr) {
  asm volatile("ldmatrix.sync.aligned.m8n8.x2.shared.b16 {%0, %1}, [%2];\n"
               : "=r"(r[0]), "=r"(r[1])
               : "r"(addr)
               : "memory");
}

__device__ __forceinline__ void tc_ldmatrix_x2_trans(unsigned* r, unsigned addr) {
  asm volatile("ldmatrix.sync.aligned.m8n8.x2.trans.shared.b16 {%0, %1}, [%2];\n"
               : "=r"(r[0]), "=r"(r[1])
               : "r"(addr)
               : "memory");
}

// d += a · b for one 16 x 8 x 16 step, in place.
#define TVN_TC_DEFINE_MMA(SUFFIX, PTX_T)                                                \
  __device__ __forceinline__ void tc_mma_##SUFFIX(float* d, const unsigned* a,          \
                                                  const unsigned* b) {                  \
    asm volatile("mma.sync.aligned.m16n8k16.row.col.f32." PTX_T "." PTX_T ".f32 "       \
                 "{%0, %1, %2, %3}, {%4, %5, %6, %7}, {%8, %9}, {%0, %1, %2, %3};\n"    \
                 : "+f"(d[0]), "+f"(d[1]), "+f"(d[2]), "+f"(d[3])                       \
                 : "r"(a[0]), "r"(a[1]), "r"(a[2]), "r"(a[3]), "r"(b[0]), "r"(b[1]));   \
  }
TVN_TC_DEFINE_MMA(bf16, "bf16")
TVN_TC_DEFINE_MMA(f16, "f16")
#undef TVN_TC_DEFINE_MMA

// ---- block and lane geometry ---------------------------------------------------

// Where a lane's accumulators sit.  Warps form 2 rows x (bn / 32) columns;
// a warp covers bm / 2 rows (bm / 32 m-fragments of 16) by 32 columns (four
// n-fragments of 8).
struct TcTile {
  int row0, col0;        // tile origin in the output
  int warp_m, warp_n;    // warp origin inside the tile
  int lane, g, t;        // lane, lane / 4, lane % 4
};

__device__ __forceinline__ TcTile tc_tile(int out_cols, int bm, int bn) {
  const int tiles_n = tvn_ceil_div(out_cols, bn);
  const int warp = threadIdx.x >> 5, warps_n = bn / 32;
  TcTile p;
  p.row0 = blockIdx.x / tiles_n * bm;
  p.col0 = blockIdx.x % tiles_n * bn;
  p.warp_m = warp / warps_n * (bm / 2);
  p.warp_n = warp % warps_n * 32;
  p.lane = threadIdx.x & 31;
  p.g = p.lane >> 2;
  p.t = p.lane & 3;
  return p;
}

// Output row and column of accumulator e of fragment (fm, fn).
__device__ __forceinline__ int tc_out_row(const TcTile& p, int fm, int e) {
  return p.row0 + p.warp_m + fm * 16 + p.g + (e >> 1) * 8;
}
__device__ __forceinline__ int tc_out_col(const TcTile& p, int fn, int e) {
  return p.col0 + p.warp_n + fn * 8 + p.t * 2 + (e & 1);
}

// ---- operands ------------------------------------------------------------------

// One operand as staged: a row-major global matrix (rows_lim x cols_lim,
// row stride ld) and the tile that one stage holds (rows x width, row stride
// ld_s in shared memory, two stages back to back).  The slab advances along
// the rows when the reduction index runs down the stored rows (k_in_rows),
// else along the columns.
struct TcOperand {
  const unsigned short* src;
  int ld, rows_lim, cols_lim;
  int row0, col0;  // global origin of slab 0
  bool k_in_rows;
  int rows, width, ld_s;
  unsigned short* smem;
};

// Copies one stage.  Elements outside the matrix become zero.  The fast path
// issues rows * width / 8 / threads 16-byte pieces per thread and leaves
// them in flight; the scalar path copies rows * width / threads elements.
__device__ __forceinline__ void tc_stage_operand(const TcOperand& o, int slab, int buf,
                                                 int slab_width, bool fast, int threads) {
  const int grow0 = o.row0 + (o.k_in_rows ? slab * slab_width : 0);
  const int gcol0 = o.col0 + (o.k_in_rows ? 0 : slab * slab_width);
  unsigned short* const dst = o.smem + buf * o.rows * o.ld_s;
  const int tid = threadIdx.x;
  if (fast) {
    const int pieces_per_row = o.width / 8;
#pragma unroll
    for (int j = 0; j < o.rows * pieces_per_row / threads; ++j) {
      const int i = tid + j * threads;
      const int r = i / pieces_per_row, c = i % pieces_per_row * 8;
      const int grow = grow0 + r, gcol = gcol0 + c;
      const int valid = grow < o.rows_lim ? o.cols_lim - gcol : 0;
      const int bytes = valid >= 8 ? 16 : valid > 0 ? 2 * valid : 0;
      // A zero-byte copy reads nothing; the matrix base stands in as its source.
      const unsigned short* from =
          bytes > 0 ? o.src + (static_cast<long long>(grow) * o.ld + gcol) : o.src;
      cp_async_16_zfill(dst + r * o.ld_s + c, from, bytes);
    }
  } else {
#pragma unroll 4
    for (int j = 0; j < o.rows * o.width / threads; ++j) {
      const int i = tid + j * threads;
      const int r = i / o.width, c = i % o.width;
      const int grow = grow0 + r, gcol = gcol0 + c;
      dst[r * o.ld_s + c] = (grow < o.rows_lim && gcol < o.cols_lim)
                                ? o.src[static_cast<long long>(grow) * o.ld + gcol]
                                : static_cast<unsigned short>(0);  // +0.0 in bf16 and f16
    }
  }
}

__device__ __forceinline__ void tc_stage_slab(const TcOperand& a, const TcOperand& b, int slab,
                                              int buf, int slab_width, bool fast, int threads) {
  tc_stage_operand(a, slab, buf, slab_width, fast, threads);
  tc_stage_operand(b, slab, buf, slab_width, fast, threads);
  if (fast) cp_async_commit();
}

// ---- fragment loads ------------------------------------------------------------
// Lanes 8q .. 8q+7 give the row addresses of matrix q; `stage` is the shared
// byte address of the stage being read.

__device__ __forceinline__ unsigned tc_elem_addr(unsigned stage, int ld_s, int row, int col) {
  return stage + 2u * static_cast<unsigned>(row * ld_s + col);
}

// A fragment: output rows m0 .. m0+15, reduction k0 .. k0+15.  Matrices
// (rows 0-7, k 0-7), (rows 8-15, k 0-7), (rows 0-7, k 8-15), (rows 8-15,
// k 8-15) are a0 .. a3.
__device__ __forceinline__ void tc_frag_a(unsigned* a, const TcOperand& o, unsigned stage, int m0,
                                          int k0, int lane) {
  const int r = lane & 7, q = lane >> 3;
  if (o.k_in_rows)
    tc_ldmatrix_x4_trans(a, tc_elem_addr(stage, o.ld_s, k0 + r + (q >> 1) * 8, m0 + (q & 1) * 8));
  else
    tc_ldmatrix_x4(a, tc_elem_addr(stage, o.ld_s, m0 + r + (q & 1) * 8, k0 + (q >> 1) * 8));
}

// B fragment: output columns n0 .. n0+7, reduction k0 .. k0+15 as b0 (k 0-7)
// and b1 (k 8-15).  Lanes 16-31 address valid rows though .x2 ignores them.
__device__ __forceinline__ void tc_frag_b(unsigned* b, const TcOperand& o, unsigned stage, int n0,
                                          int k0, int lane) {
  const int r = lane & 7, q = lane >> 3;
  if (o.k_in_rows)
    tc_ldmatrix_x2_trans(b, tc_elem_addr(stage, o.ld_s, k0 + r + (q & 1) * 8, n0));
  else
    tc_ldmatrix_x2(b, tc_elem_addr(stage, o.ld_s, n0 + r, k0 + (q & 1) * 8));
}

// ---- reduction -----------------------------------------------------------------

// acc[fm][fn] = (bias[c], bias[c + 1], bias[c], bias[c + 1]) for the
// fragment's two columns c, c + 1; zero without a bias or past `cols`.
__device__ __forceinline__ void tc_seed(float (*acc)[4][4], int fm_count, const float* bias,
                                        int cols, const TcTile& p) {
#pragma unroll
  for (int fn = 0; fn < 4; ++fn) {
    const int c = tc_out_col(p, fn, 0);
    const float b0 = (bias != nullptr && c < cols) ? bias[c] : 0.0f;
    const float b1 = (bias != nullptr && c + 1 < cols) ? bias[c + 1] : 0.0f;
#pragma unroll
    for (int fm = 0; fm < fm_count; ++fm) {
      acc[fm][fn][0] = b0;
      acc[fm][fn][1] = b1;
      acc[fm][fn][2] = b0;
      acc[fm][fn][3] = b1;
    }
  }
}

// The two-stage main loop over ceil(reduction / slab_width) slabs: wait for
// the slab's copies, barrier, start staging the next slab into the other
// buffer, then slab_width / 16 mma steps in ascending order, each issuing
// fm = 0.., fn = 0..3.
#define TVN_TC_DEFINE_MAINLOOP(SUFFIX)                                                        \
  __device__ __forceinline__ void tc_mainloop_##SUFFIX(                                       \
      float (*acc)[4][4], int fm_count, const TcOperand& a, const TcOperand& b,               \
      int reduction, int slab_width, bool fast, int threads, const TcTile& p) {               \
    const int slabs = tvn_ceil_div(reduction, slab_width);                                    \
    if (slabs > 0) tc_stage_slab(a, b, 0, 0, slab_width, fast, threads);                      \
    int buf = 0;                                                                              \
    for (int s = 0; s < slabs; ++s) {                                                         \
      if (fast) cp_async_wait_group0();                                                       \
      __syncthreads();                                                                        \
      if (s + 1 < slabs) tc_stage_slab(a, b, s + 1, buf ^ 1, slab_width, fast, threads);      \
      const unsigned sa = tvn_smem_addr(a.smem + buf * a.rows * a.ld_s);                      \
      const unsigned sb = tvn_smem_addr(b.smem + buf * b.rows * b.ld_s);                      \
      _Pragma("unroll") for (int k0 = 0; k0 < slab_width; k0 += 16) {                         \
        unsigned af[4][4], bf[4][2];                                                          \
        _Pragma("unroll") for (int fm = 0; fm < fm_count; ++fm)                               \
            tc_frag_a(af[fm], a, sa, p.warp_m + fm * 16, k0, p.lane);                         \
        _Pragma("unroll") for (int fn = 0; fn < 4; ++fn)                                      \
            tc_frag_b(bf[fn], b, sb, p.warp_n + fn * 8, k0, p.lane);                          \
        _Pragma("unroll") for (int fm = 0; fm < fm_count; ++fm)                               \
            _Pragma("unroll") for (int fn = 0; fn < 4; ++fn)                                  \
                tc_mma_##SUFFIX(acc[fm][fn], af[fm], bf[fn]);                                 \
      }                                                                                       \
      buf ^= 1;                                                                               \
    }                                                                                         \
  }
TVN_TC_DEFINE_MAINLOOP(bf16)
TVN_TC_DEFINE_MAINLOOP(f16)
#undef TVN_TC_DEFINE_MAINLOOP

// Runs BODY for every accumulator of the lane whose (row, col) lies inside
// rows x cols; BODY sees row, col and the value v.
#define TVN_TC_FOR_EACH_OUTPUT(FM_COUNT, P, ROWS, COLS, BODY)                  \
  _Pragma("unroll") for (int fm = 0; fm < (FM_COUNT); ++fm)                    \
  _Pragma("unroll") for (int fn = 0; fn < 4; ++fn)                             \
  _Pragma("unroll") for (int e = 0; e < 4; ++e) {                              \
    const int row = tc_out_row(P, fm, e), col = tc_out_col(P, fn, e);          \
    const float v = acc[fm][fn][e];                                            \
    if (row < (ROWS) && col < (COLS)) { BODY; }                                \
  }

// ---- kernel bodies, shared by both tile families ---------------------------------
// NAME, element suffix and type, BM x BN output tile, BK slab, THREADS
// (= 2 * BN), row strides of the two staged arrays, and the declaration of
// `unsigned char tc_smem[]` (dynamic or static).

// Forward: C = downcast(alpha * (bias + A B) + beta * C); alpha must be 1
// with a bias because the bias seeds the accumulators.
#define TVN_TC_NN_KERNEL(NAME, SUFFIX, T, BM, BN, BK, THREADS, LDS_A, LDS_B, SMEM_DECL)        \
  extern "C" __global__ void __launch_bounds__(THREADS, 1)                                     \
      NAME(T* __restrict__ C, const T* __restrict__ A, const T* __restrict__ B,                \
           const float* __restrict__ bias, float alpha, float beta, int M, int N, int K,       \
           int lda, int ldb, int ldc) {                                                        \
    assert(alpha == 1.0f || bias == nullptr);                                                  \
    SMEM_DECL;                                                                                 \
    unsigned short* const smem = reinterpret_cast<unsigned short*>(tc_smem);                   \
    const TcTile p = tc_tile(N, BM, BN);                                                       \
    const TcOperand a = {reinterpret_cast<const unsigned short*>(A), lda, M, K, p.row0, 0,     \
                         false, BM, BK, LDS_A, smem};                                          \
    const TcOperand b = {reinterpret_cast<const unsigned short*>(B), ldb, K, N, 0, p.col0,     \
                         true, BK, BN, LDS_B, smem + 2 * BM * LDS_A};                          \
    const bool fast = ((lda | ldb) & 7) == 0 && tc_aligned16(A) && tc_aligned16(B);            \
    float acc[BM / 32][4][4];                                                                  \
    tc_seed(acc, BM / 32, bias, N, p);                                                         \
    tc_mainloop_##SUFFIX(acc, BM / 32, a, b, K, BK, fast, THREADS, p);                         \
    TVN_TC_FOR_EACH_OUTPUT(BM / 32, p, M, N, {                                                 \
      T* const out = C + (static_cast<long long>(row) * ldc + col);                            \
      float val = __fmul_rn(alpha, v);                                                         \
      if (beta != 0.0f) val = __fadd_rn(val, __fmul_rn(beta, to_f(*out)));                     \
      *out = from_f_##SUFFIX(val);                                                             \
    })                                                                                         \
  }

// Weight gradient: dW[K_out, N] += alpha * X^T dY, reduced over M_red.
#define TVN_TC_TN_KERNEL(NAME, SUFFIX, T, BM, BN, BK, THREADS, LDS_A, LDS_B, SMEM_DECL)        \
  extern "C" __global__ void __launch_bounds__(THREADS, 1)                                     \
      NAME(float* __restrict__ C, const T* __restrict__ A, const T* __restrict__ B,            \
           float alpha, int M_red, int K_out, int N) {                                         \
    SMEM_DECL;                                                                                 \
    unsigned short* const smem = reinterpret_cast<unsigned short*>(tc_smem);                   \
    const TcTile p = tc_tile(N, BM, BN);                                                       \
    const TcOperand a = {reinterpret_cast<const unsigned short*>(A), K_out, M_red, K_out, 0,   \
                         p.row0, true, BK, BM, LDS_A, smem};                                   \
    const TcOperand b = {reinterpret_cast<const unsigned short*>(B), N, M_red, N, 0, p.col0,   \
                         true, BK, BN, LDS_B, smem + 2 * BK * LDS_A};                          \
    const bool fast = ((K_out | N) & 7) == 0 && tc_aligned16(A) && tc_aligned16(B);            \
    float acc[BM / 32][4][4];                                                                  \
    tc_seed(acc, BM / 32, nullptr, N, p);                                                      \
    tc_mainloop_##SUFFIX(acc, BM / 32, a, b, M_red, BK, fast, THREADS, p);                     \
    TVN_TC_FOR_EACH_OUTPUT(BM / 32, p, K_out, N, {                                             \
      float* const out = C + (static_cast<long long>(row) * N + col);                          \
      *out = __fadd_rn(*out, __fmul_rn(alpha, v));                                             \
    })                                                                                         \
  }

// Input gradient: dX[M, K_out] = downcast(alpha * dY W^T), reduced over N.
#define TVN_TC_NT_KERNEL(NAME, SUFFIX, T, BM, BN, BK, THREADS, LDS_A, LDS_B, SMEM_DECL)        \
  extern "C" __global__ void __launch_bounds__(THREADS, 1)                                     \
      NAME(T* __restrict__ C, const T* __restrict__ A, const T* __restrict__ B, float alpha,   \
           int M, int N, int K_out) {                                                          \
    SMEM_DECL;                                                                                 \
    unsigned short* const smem = reinterpret_cast<unsigned short*>(tc_smem);                   \
    const TcTile p = tc_tile(K_out, BM, BN);                                                   \
    const TcOperand a = {reinterpret_cast<const unsigned short*>(A), N, M, N, p.row0, 0,       \
                         false, BM, BK, LDS_A, smem};                                          \
    const TcOperand b = {reinterpret_cast<const unsigned short*>(B), N, K_out, N, p.col0, 0,   \
                         false, BN, BK, LDS_B, smem + 2 * BM * LDS_A};                         \
    const bool fast = (N & 7) == 0 && tc_aligned16(A) && tc_aligned16(B);                      \
    float acc[BM / 32][4][4];                                                                  \
    tc_seed(acc, BM / 32, nullptr, K_out, p);                                                  \
    tc_mainloop_##SUFFIX(acc, BM / 32, a, b, N, BK, fast, THREADS, p);                         \
    TVN_TC_FOR_EACH_OUTPUT(BM / 32, p, M, K_out, {                                             \
      C[static_cast<long long>(row) * K_out + col] = from_f_##SUFFIX(__fmul_rn(alpha, v));     \
    })                                                                                         \
  }

// ---- 128 x 128 tiles ---------------------------------------------------------------
// Launch: grid ceil(rows / TC_BM) * ceil(cols / TC_BN) blocks over the output
// (row-major tile order), block TVN_TC_THREADS, and dynamic shared memory of
// two stages of each array (the engine raises the limit to 75776):
//   NN  As[2][128][72] + Bs[2][64][136]  = 71680 bytes
//   TN  Xs[2][64][136] + Ys[2][64][136]  = 69632 bytes
//   NT  Ys[2][128][72] + Ws[2][128][72]  = 73728 bytes
static_assert(2 * 2 * (TC_BM * TC_LDA + TC_BK * TC_LDB) == 71680 &&
                  2 * 2 * (2 * TC_BK * TC_LDB) == 69632 &&
                  2 * 2 * ((TC_BM + TC_BN) * TC_LDA) == 73728,
              "the stage sizes the engine passes at launch");

#define TVN_TC_SMEM_DYNAMIC extern __shared__ __align__(16) unsigned char tc_smem[]

#define TVN_TC_INSTANTIATE(SUFFIX, T)                                                             \
  TVN_TC_NN_KERNEL(tesvan_nn_tc_##SUFFIX, SUFFIX, T, TC_BM, TC_BN, TC_BK, TVN_TC_THREADS, TC_LDA, \
                   TC_LDB, TVN_TC_SMEM_DYNAMIC)                                                   \
  TVN_TC_TN_KERNEL(tesvan_tn_tc_##SUFFIX, SUFFIX, T, TC_BM, TC_BN, TC_BK, TVN_TC_THREADS, TC_LDB, \
                   TC_LDB, TVN_TC_SMEM_DYNAMIC)                                                   \
  TVN_TC_NT_KERNEL(tesvan_nt_tc_##SUFFIX, SUFFIX, T, TC_BM, TC_BN, TC_BK, TVN_TC_THREADS, TC_LDA, \
                   TC_LDA, TVN_TC_SMEM_DYNAMIC)

TVN_TC_INSTANTIATE(bf16, __nv_bfloat16)
TVN_TC_INSTANTIATE(f16, __half)

#undef TVN_TC_INSTANTIATE
#undef TVN_TC_SMEM_DYNAMIC
#undef TVN_TC_THREADS
#undef TC_LDB
#undef TC_LDA
#undef TC_PAD_B
#undef TC_PAD_A
#undef TC_BK
#undef TC_BN
#undef TC_BM
