// Tensor-core GEMM with 64 x 64 output tiles: the small-grid twins of the
// 128-tile kernels.  A quarter of the tile gives four times the blocks on
// small products.  They expand the same kernel bodies, so every output
// element sees the same slabs, the same mma steps and the same zero-fill:
// bits are identical to the 128-tile kernels.  The slab width must stay the
// same as the 128-tile family's.
//
// Static shared memory, two stages of each array, every row 64 wide with
// stride 72:  NN As + Bs, TN Xs + Ys, NT Ys + Ws, each [2][64][72]: 36864 bytes.

// Launch: grid ceil(rows / 64) * ceil(cols / 64) blocks, block TVN_TC64_THREADS,
// no dynamic shared memory.

// 64-tile glossary (this section's macros, and the shared kernel bodies, end
// with it):
#define TVN_TC64_BM 64                                        // output tile rows
#define TVN_TC64_BN 64                                        // output tile columns
#define TVN_TC64_BK 64                                        // reduction slab, as the 128 tiles'
#define TVN_TC64_THREADS 128                                  // block size: 2 x (64 / 32) warps
#define TVN_TC64_LDA (64 + 8)                                 // staged row stride, slab-wide rows
#define TVN_TC64_LDB (64 + 8)                                 // staged row stride, tile-wide rows
#define TVN_TC64_SMEM_BYTES (2 * 2 * 64 * TVN_TC64_LDA * 2)  // static shared bytes

static_assert(TVN_TC64_BK == tvn_tc_slab::width, "the 128-tile kernels' slab: identical bits");
static_assert(TVN_TC64_THREADS == 2 * TVN_TC64_BN, "tc_tile: 2 warp rows of bn / 32 warps");
static_assert(TVN_TC64_BM == TVN_TC64_BK && TVN_TC64_BN == TVN_TC64_BK,
              "every staged array is 64 x 64, so one size serves all three kernels");

#define TVN_TC64_SMEM_STATIC __shared__ __align__(16) unsigned char tc_smem[TVN_TC64_SMEM_BYTES]

#define TVN_TC64_INSTANTIATE(SUFFIX, T)                                                        \
  TVN_TC_NN_KERNEL(tesvan_nn_tc64_##SUFFIX, SUFFIX, T, TVN_TC64_BM, TVN_TC64_BN, TVN_TC64_BK,  \
                   TVN_TC64_THREADS, TVN_TC64_LDA, TVN_TC64_LDB, TVN_TC64_SMEM_STATIC)         \
  TVN_TC_TN_KERNEL(tesvan_tn_tc64_##SUFFIX, SUFFIX, T, TVN_TC64_BM, TVN_TC64_BN, TVN_TC64_BK,  \
                   TVN_TC64_THREADS, TVN_TC64_LDA, TVN_TC64_LDB, TVN_TC64_SMEM_STATIC)         \
  TVN_TC_NT_KERNEL(tesvan_nt_tc64_##SUFFIX, SUFFIX, T, TVN_TC64_BM, TVN_TC64_BN, TVN_TC64_BK,  \
                   TVN_TC64_THREADS, TVN_TC64_LDA, TVN_TC64_LDB, TVN_TC64_SMEM_STATIC)

TVN_TC64_INSTANTIATE(bf16, __nv_bfloat16)
TVN_TC64_INSTANTIATE(f16, __half)

#undef TVN_TC64_INSTANTIATE
#undef TVN_TC64_SMEM_STATIC
#undef TVN_TC64_SMEM_BYTES
#undef TVN_TC64_LDB
#undef TVN_TC64_LDA
#undef TVN_TC64_THREADS
#undef TVN_TC64_BK
#undef TVN_TC64_BN
#undef TVN_TC64_BM
#undef TVN_TC_FOR_EACH_OUTPUT
#undef TVN_TC_NT_KERNEL
#undef TVN_TC_TN_KERNEL
#undef TVN_TC_NN_KERNEL
