// Elementwise casts for the typed upcast fallback: one element per thread,
// exact upcasts, round-to-nearest-even downcasts (the typed kernels' stores).
// Launch: any 1-D grid covering n threads (the engine: ceil(n / 256) blocks of
// 256, at least one), no shared memory.
#define TVN_DEFINE_CAST(NAME, DST_T, SRC_T, CONVERT)                                  \
  extern "C" __global__ void NAME(DST_T* __restrict__ dst, const SRC_T* __restrict__ src, \
                                  int n) {                                            \
    int i = blockIdx.x * blockDim.x + threadIdx.x;                                    \
    if (i >= n) return;                                                               \
    dst[i] = CONVERT(src[i]);                                                         \
  }

TVN_DEFINE_CAST(tvn_cast_f32_to_bf16, __nv_bfloat16, float, __float2bfloat16_rn)
TVN_DEFINE_CAST(tvn_cast_bf16_to_f32, float, __nv_bfloat16, __bfloat162float)
TVN_DEFINE_CAST(tvn_cast_f32_to_f16, __half, float, __float2half_rn)
TVN_DEFINE_CAST(tvn_cast_f16_to_f32, float, __half, __half2float)

#undef TVN_DEFINE_CAST
