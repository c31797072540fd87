// The bare driver calls of one engine call, replayed from C++ so that the
// host-overhead benchmark can set them beside the whole call: the context
// check, the two event records and stream waits that order a private stream
// against the caller's, and the launches the simulated device logged for
// the call (same kernels, grids, blocks, shared memory and argument bytes),
// each preceded by the context check the engine makes before a launch.
//
// A C interface for ctypes (bench/host_overhead.py):
//   tvnb_replay_open()         load the engine's module into the current context
//   tvnb_replay(...)           run the sequence n times; seconds in all
//   tvnb_replay_close()
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "driver.h"
#include "engine.h"
#include "kernel_build.h"
#include "tvnsim.h"

namespace {

using namespace tesvan;

// CU_FUNC_ATTRIBUTE_MAX_DYNAMIC_SHARED_SIZE_BYTES, and the limit without it.
constexpr int kMaxDynamicShared = 8;
constexpr unsigned kDefaultSharedLimit = 48 * 1024;

struct Replay {
  const cu::CudaApi* api = nullptr;
  cu::CUcontext ctx = nullptr;
  ModuleRef module;
  cu::CUstream stream = nullptr;  // stands for the engine's stream
  cu::CUevent ev_in = nullptr, ev_out = nullptr;
  std::map<std::string, cu::CUfunction> functions;
};

Replay* state = nullptr;

struct Prepared {
  cu::CUfunction f;
  const TvnSimLaunch* launch;
  uint64_t values[TVNSIM_MAX_ARGS];
  void* params[TVNSIM_MAX_ARGS];
};

int function_for(const TvnSimLaunch& l, cu::CUfunction* out) {
  auto it = state->functions.find(l.kernel);
  if (it == state->functions.end()) {
    cu::CUfunction f = nullptr;
    int r = state->api->cuModuleGetFunction(&f, state->module.get(), l.kernel);
    if (r != cu::CUDA_SUCCESS) return r;
    it = state->functions.emplace(l.kernel, f).first;
  }
  if (l.dynamic_shared > kDefaultSharedLimit) {
    int r = state->api->cuFuncSetAttribute(it->second, kMaxDynamicShared,
                                           static_cast<int>(l.dynamic_shared));
    if (r != cu::CUDA_SUCCESS) return r;
  }
  *out = it->second;
  return cu::CUDA_SUCCESS;
}

}  // namespace

extern "C" {

// Loads the module the engine loads for the current context's device.  0,
// or the failing driver result (-1 when the driver, the device's target or
// the PTX is missing).
__attribute__((visibility("default"))) int tvnb_replay_open() {
  if (state) return 0;
  auto api = cu::cuda();
  if (!api.ok()) return -1;
  auto r = std::make_unique<Replay>();
  r->api = api.value();
  cu::CUdevice device = 0;
  int major = 0, minor = 0;
  int rc = r->api->cuCtxGetCurrent(&r->ctx);
  if (rc == cu::CUDA_SUCCESS) rc = r->api->cuCtxGetDevice(&device);
  if (rc == cu::CUDA_SUCCESS) {
    rc = r->api->cuDeviceGetAttribute(&major, cu::CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MAJOR, device);
  }
  if (rc == cu::CUDA_SUCCESS) {
    rc = r->api->cuDeviceGetAttribute(&minor, cu::CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MINOR, device);
  }
  if (rc != cu::CUDA_SUCCESS) return rc;
  Result<const char*> target = compile_target(static_cast<uint32_t>(major), static_cast<uint32_t>(minor));
  if (!target.ok()) return -1;
  Result<std::string> ptx = kernel_ptx(target.value());
  if (!ptx.ok()) return -1;
  if ((rc = load_module(*r->api, ptx.value(), &r->module)) != cu::CUDA_SUCCESS) return rc;
  if ((rc = r->api->cuStreamCreate(&r->stream, 1)) != cu::CUDA_SUCCESS) return rc;  // non-blocking
  if ((rc = r->api->cuEventCreate(&r->ev_in, 2)) != cu::CUDA_SUCCESS) return rc;    // no timing
  if ((rc = r->api->cuEventCreate(&r->ev_out, 2)) != cu::CUDA_SUCCESS) return rc;
  state = r.release();
  return 0;
}

// Seconds for `iterations` replays of the `count` launches, or a negative
// driver result.  With `caller_stream` 0 no events are used, as the engine
// uses none when the caller passes the engine's own stream.
__attribute__((visibility("default"))) double tvnb_replay(const TvnSimLaunch* launches, int count,
                                                          uint64_t caller_stream, int iterations) {
  if (!state) return -1;
  const cu::CudaApi& api = *state->api;
  std::vector<Prepared> prepared(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    Prepared& p = prepared[static_cast<size_t>(i)];
    p.launch = &launches[i];
    if (int r = function_for(launches[i], &p.f)) return -r;
    for (int a = 0; a < launches[i].num_args; ++a) {
      p.values[a] = launches[i].args[a].bits;
      p.params[a] = &p.values[a];
    }
  }
  auto caller = reinterpret_cast<cu::CUstream>(caller_stream);
  const auto start = std::chrono::steady_clock::now();
  for (int it = 0; it < iterations; ++it) {
    int r = cu::make_current(api, state->ctx);
    if (r == cu::CUDA_SUCCESS && caller) {
      r = api.cuEventRecord(state->ev_in, caller);
      if (r == cu::CUDA_SUCCESS) r = api.cuStreamWaitEvent(state->stream, state->ev_in, 0);
    }
    for (const Prepared& p : prepared) {
      if (r != cu::CUDA_SUCCESS) break;
      r = cu::make_current(api, state->ctx);
      const TvnSimLaunch& l = *p.launch;
      if (r == cu::CUDA_SUCCESS) {
        r = api.cuLaunchKernel(p.f, l.grid[0], l.grid[1], l.grid[2], l.block[0], l.block[1],
                               l.block[2], l.dynamic_shared, state->stream,
                               const_cast<void**>(p.params), nullptr);
      }
    }
    if (r == cu::CUDA_SUCCESS && caller) {
      r = api.cuEventRecord(state->ev_out, state->stream);
      if (r == cu::CUDA_SUCCESS) r = api.cuStreamWaitEvent(caller, state->ev_out, 0);
    }
    if (r != cu::CUDA_SUCCESS) return -r;
  }
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

__attribute__((visibility("default"))) void tvnb_replay_close() {
  if (!state) return;
  state->api->cuStreamSynchronize(state->stream);
  state->api->cuEventDestroy(state->ev_in);
  state->api->cuEventDestroy(state->ev_out);
  state->api->cuStreamDestroy(state->stream);
  delete state;  // unloads the module
  state = nullptr;
}

}  // extern "C"
