// Element conversions shared by every typed kernel: loads widen to f32
// exactly, stores round once to nearest even.
#ifndef _TESVAN_PRELUDE_CUH
#define _TESVAN_PRELUDE_CUH

#include <cuda_fp16.h>
#include <cuda_bf16.h>

__device__ __forceinline__ float to_f(float v) { return v; }
__device__ __forceinline__ float to_f(__nv_bfloat16 v) { return __bfloat162float(v); }
__device__ __forceinline__ float to_f(__half v) { return __half2float(v); }

__device__ __forceinline__ float from_f_f32(float v) { return v; }
__device__ __forceinline__ __nv_bfloat16 from_f_bf16(float v) { return __float2bfloat16_rn(v); }
__device__ __forceinline__ __half from_f_f16(float v) { return __float2half_rn(v); }

#endif  // _TESVAN_PRELUDE_CUH
