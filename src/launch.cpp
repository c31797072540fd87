#include "launch.h"

#include <cstring>

#include "launch_plan.h"

namespace tesvan {

KernelArg KernelArg::f32(float v) {
  uint32_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  return KernelArg(bits);
}

cu::CUresult launch_raw(const EngineStream& es, const Kernel& k, Grid grid,
                        std::initializer_list<KernelArg> args) {
  if (es.plan) {
    es.plan->launch(k, args);
    return cu::CUDA_SUCCESS;
  }
  cu::CUresult r = cu::make_current(*es.api, es.ctx);
  if (r != cu::CUDA_SUCCESS) return r;
  uint64_t values[kMaxKernelArgs];
  void* params[kMaxKernelArgs];
  size_t n = 0;
  for (const KernelArg& a : args) {
    if (n == kMaxKernelArgs) return 1;  // CUDA_ERROR_INVALID_VALUE; no table has that many
    values[n] = a.bits();
    params[n] = &values[n];
    ++n;
  }
  const Grid& block = k.shape.block;
  return es.api->cuLaunchKernel(k.fn, grid.x, grid.y, grid.z, block.x, block.y, block.z,
                                k.shape.shared, es.stream, params, nullptr);
}

}  // namespace tesvan
