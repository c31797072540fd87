// CUDA kernels written for the interpreter's tests, compiled with the
// engine's NVRTC options: the forms the project's kernels use (cp.async with
// source size, L2-hinted vector loads, write-through stores, shuffles,
// bf16/f16 conversions, ldmatrix and mma through inline PTX, device
// assertions and traps) and a classic tiled f32 GEMM.
#pragma once

namespace tvnsim::test {

inline constexpr const char* kCudaCorpus = R"CUDA(
#include <cuda_fp16.h>
#include <cuda_bf16.h>

__device__ __forceinline__ void cp_async4(void* smem, const void* g, int src_bytes) {
  unsigned s = (unsigned)__cvta_generic_to_shared(smem);
  asm volatile("cp.async.ca.shared.global [%0], [%1], 4, %2;\n" ::"r"(s), "l"(g), "r"(src_bytes));
}
__device__ __forceinline__ void cp_async16(void* smem, const void* g, int src_bytes) {
  unsigned s = (unsigned)__cvta_generic_to_shared(smem);
  asm volatile("cp.async.ca.shared.global [%0], [%1], 16, %2;\n" ::"r"(s), "l"(g), "r"(src_bytes));
}
__device__ __forceinline__ float4 ld_l2_128(const float* p) {
  float4 v;
  asm volatile("ld.global.L2::128B.v4.f32 {%0,%1,%2,%3}, [%4];"
               : "=f"(v.x), "=f"(v.y), "=f"(v.z), "=f"(v.w) : "l"(p));
  return v;
}

// C[M,N] = A[M,K] * B[K,N], one 128x128 tile per block of 256 threads, each
// thread 8x8 outputs; 16-deep slices staged in shared memory by cp.async
// (zero-filled outside the matrices) in two stages; one fused multiply-add
// chain per output in ascending k.
#define GBM 128
#define GBN 128
#define GBK 16
extern "C" __global__ void __launch_bounds__(256, 2)
gemm_f32(float* __restrict__ C, const float* __restrict__ A, const float* __restrict__ B, int M,
         int N, int K) {
  __shared__ __align__(16) float As[2][GBK][GBM];
  __shared__ __align__(16) float Bs[2][GBK][GBN];
  const int tid = threadIdx.x, warp = tid / 32, lane = tid % 32;
  const int row0 = blockIdx.y * GBM, col0 = blockIdx.x * GBN;
  float acc[8][8];
#pragma unroll
  for (int i = 0; i < 8; ++i)
#pragma unroll
    for (int j = 0; j < 8; ++j) acc[i][j] = 0.0f;
  const int tiles = (K + GBK - 1) / GBK;
  auto issue = [&](int t, int s) {
    const int k0 = t * GBK;
#pragma unroll
    for (int p = 0; p < 8; ++p) {
      const int k = lane % 16, row = 16 * warp + 2 * p + lane / 16;
      const bool in = row0 + row < M && k0 + k < K;
      const float* src = in ? A + (size_t)(row0 + row) * K + k0 + k : A;
      cp_async4(&As[s][k][row], src, in ? 4 : 0);
    }
#pragma unroll
    for (int q = 0; q < 2; ++q) {
      const int k = tid / 32 + 8 * q, c = 4 * lane;
      const int gk = k0 + k, gc = col0 + c;
      if (gk < K && gc + 3 < N && N % 4 == 0) {
        cp_async16(&Bs[s][k][c], B + (size_t)gk * N + gc, 16);
      } else {
#pragma unroll
        for (int i = 0; i < 4; ++i) {
          const bool in = gk < K && gc + i < N;
          cp_async4(&Bs[s][k][c + i], in ? B + (size_t)gk * N + gc + i : B, in ? 4 : 0);
        }
      }
    }
    asm volatile("cp.async.commit_group;\n");
  };
  issue(0, 0);
  const int rb = (warp / 4) * 64 + (lane / 4) * 8, cb = (warp % 4) * 32 + (lane % 4) * 8;
  for (int t = 0; t < tiles; ++t) {
    asm volatile("cp.async.wait_group 0;\n");
    __syncthreads();
    if (t + 1 < tiles) issue(t + 1, (t + 1) & 1);
    const int s = t & 1;
#pragma unroll
    for (int k = 0; k < GBK; ++k) {
      float a[8], b[8];
#pragma unroll
      for (int i = 0; i < 8; ++i) a[i] = As[s][k][rb + i];
#pragma unroll
      for (int j = 0; j < 8; ++j) b[j] = Bs[s][k][cb + j];
#pragma unroll
      for (int i = 0; i < 8; ++i)
#pragma unroll
        for (int j = 0; j < 8; ++j) acc[i][j] = __fmaf_rn(a[i], b[j], acc[i][j]);
    }
  }
#pragma unroll
  for (int i = 0; i < 8; ++i)
#pragma unroll
    for (int j = 0; j < 8; ++j) {
      const int r = row0 + rb + i, c = col0 + cb + j;
      if (r < M && c < N) __stwt(&C[(size_t)r * N + c], acc[i][j]);
    }
}

// A grab bag of scalar forms; out has 8 floats per thread, bits 2 words.
extern "C" __global__ void scalar_mix(float* out, unsigned* bits, const float* in, double* dout,
                                      __nv_bfloat16* bo, __half* ho, int n) {
  const int i = blockIdx.x * blockDim.x + threadIdx.x;
  if (i >= n) return;
  const float v = in[i];
  float s = v;
  for (int o = 16; o > 0; o >>= 1) s += __shfl_xor_sync(0xffffffffu, s, o);
  const float4 q = ld_l2_128(in + 4 * (i / 4));
  out[8 * i + 0] = s;
  out[8 * i + 1] = __fmaf_rn(q.x, q.y, q.z);
  out[8 * i + 2] = __fdiv_rn(q.w, v);
  out[8 * i + 3] = __shfl_down_sync(0xffffffffu, v, 3) + __shfl_up_sync(0xffffffffu, v, 2);
  const double d = (double)v * 3.0 + 1.0 / (double)(i + 1);
  dout[i] = d;
  bo[i] = __float2bfloat16_rn(v);
  ho[i] = __float2half_rn(v);
  out[8 * i + 4] = __bfloat162float(bo[i]);
  out[8 * i + 5] = __half2float(ho[i]);
  __nv_bfloat162 p = __floats2bfloat162_rn(v, 2.0f * v);
  out[8 * i + 6] = __high2float(p);
  out[8 * i + 7] = (float)(i * 7 % 5) + (float)(int)(v * 10.0f);
  bits[2 * i] = __ballot_sync(0xffffffffu, v > 0.0f);
  bits[2 * i + 1] = __float_as_uint(v) >> (i & 31);
}

// Tensor cores through inline PTX: A (16x16 bf16, row-major) and B (16x8,
// row k at k * 8) staged in shared memory; D = A * B, 4 floats per lane.
extern "C" __global__ void tc_bf16(float* out, const unsigned short* a, const unsigned short* b) {
  __shared__ __align__(16) unsigned short sa[16 * 16];
  __shared__ __align__(16) unsigned short sb[16 * 8];
  const int l = threadIdx.x;
  for (int i = l; i < 256; i += 32) sa[i] = a[i];
  for (int i = l; i < 128; i += 32) sb[i] = b[i];
  __syncwarp();
  unsigned r0, r1, r2, r3, b0, b1;
  const unsigned pa = (unsigned)__cvta_generic_to_shared(&sa[(l % 16) * 16 + (l / 16) * 8]);
  const unsigned pb = (unsigned)__cvta_generic_to_shared(&sb[(l % 16) * 8]);
  asm volatile("ldmatrix.sync.aligned.m8n8.x4.shared.b16 {%0,%1,%2,%3}, [%4];"
               : "=r"(r0), "=r"(r1), "=r"(r2), "=r"(r3) : "r"(pa));
  asm volatile("ldmatrix.sync.aligned.m8n8.x2.trans.shared.b16 {%0,%1}, [%2];"
               : "=r"(b0), "=r"(b1) : "r"(pb));
  float d0 = 0.f, d1 = 0.f, d2 = 0.f, d3 = 0.f;
  asm volatile(
      "mma.sync.aligned.m16n8k16.row.col.f32.bf16.bf16.f32 {%0,%1,%2,%3}, {%4,%5,%6,%7}, "
      "{%8,%9}, {%0,%1,%2,%3};"
      : "+f"(d0), "+f"(d1), "+f"(d2), "+f"(d3)
      : "r"(r0), "r"(r1), "r"(r2), "r"(r3), "r"(b0), "r"(b1));
  out[4 * l + 0] = d0;
  out[4 * l + 1] = d1;
  out[4 * l + 2] = d2;
  out[4 * l + 3] = d3;
}

extern "C" __global__ void checked(const int* flags) {
  const int i = threadIdx.x;
  assert(flags[i] == 1);
}

extern "C" __global__ void trapping(const int* flags) {
  if (flags[threadIdx.x] != 1) __trap();
}
)CUDA";

}  // namespace tvnsim::test
