// The device's primary context: retained and released with a count, current
// per host thread.  Released to zero it is reset, dropping every stream,
// event, module and allocation it owned and a sticky fault.
#include "api/simulator.h"

using tvnsim::api::Entry;
using tvnsim::api::Fn;
using tvnsim::api::Need;

CUresult CUDAAPI cuDevicePrimaryCtxRetain(CUcontext* pctx, CUdevice dev) try {
  Entry e(Fn::cuDevicePrimaryCtxRetain, Need::Init);
  if (e.failed()) return e.result();
  if (!pctx) return CUDA_ERROR_INVALID_VALUE;
  if (dev != 0) return e.sim.fail(CUDA_ERROR_INVALID_DEVICE, "no device with this ordinal");
  ++e.sim.ctx_refs;
  *pctx = e.sim.context_handle();
  return CUDA_SUCCESS;
} TVNSIM_CATCH_ALL

CUresult CUDAAPI cuDevicePrimaryCtxRelease(CUdevice dev) try {
  Entry e(Fn::cuDevicePrimaryCtxRelease_v2, Need::Init);
  if (e.failed()) return e.result();
  if (dev != 0) return e.sim.fail(CUDA_ERROR_INVALID_DEVICE, "no device with this ordinal");
  if (e.sim.ctx_refs == 0) {
    return e.sim.fail(CUDA_ERROR_INVALID_CONTEXT, "the primary context is not retained");
  }
  if (--e.sim.ctx_refs == 0) e.sim.reset_context();
  return CUDA_SUCCESS;
} TVNSIM_CATCH_ALL

CUresult CUDAAPI cuDevicePrimaryCtxGetState(CUdevice dev, unsigned int* flags, int* active) try {
  Entry e(Fn::cuDevicePrimaryCtxGetState, Need::Init);
  if (e.failed()) return e.result();
  if (!flags || !active) return CUDA_ERROR_INVALID_VALUE;
  if (dev != 0) return e.sim.fail(CUDA_ERROR_INVALID_DEVICE, "no device with this ordinal");
  *flags = 0;
  *active = e.sim.ctx_refs > 0 ? 1 : 0;
  return CUDA_SUCCESS;
} TVNSIM_CATCH_ALL

CUresult CUDAAPI cuCtxGetCurrent(CUcontext* pctx) try {
  Entry e(Fn::cuCtxGetCurrent, Need::Init);
  if (e.failed()) return e.result();
  if (!pctx) return CUDA_ERROR_INVALID_VALUE;
  *pctx = e.sim.is_current() ? e.sim.context_handle() : nullptr;
  return CUDA_SUCCESS;
} TVNSIM_CATCH_ALL

CUresult CUDAAPI cuCtxSetCurrent(CUcontext ctx) try {
  Entry e(Fn::cuCtxSetCurrent, Need::Init);
  if (e.failed()) return e.result();
  if (ctx != nullptr && ctx != e.sim.context_handle()) {
    return e.sim.fail(CUDA_ERROR_INVALID_CONTEXT, "not a context of this driver");
  }
  e.sim.set_current(ctx != nullptr);
  return CUDA_SUCCESS;
} TVNSIM_CATCH_ALL

CUresult CUDAAPI cuCtxGetDevice(CUdevice* device) try {
  Entry e(Fn::cuCtxGetDevice, Need::Context);
  if (e.failed()) return e.result();
  if (!device) return CUDA_ERROR_INVALID_VALUE;
  *device = 0;
  return CUDA_SUCCESS;
} TVNSIM_CATCH_ALL

CUresult CUDAAPI cuCtxSynchronize() try {
  Entry e(Fn::cuCtxSynchronize, Need::Context);
  if (e.failed()) return e.result();
  return e.sim.sync_all();
} TVNSIM_CATCH_ALL
