// Thin layer over the CUDA driver API and NVRTC, both loaded by name at first
// use.  Every symbol the project calls is declared once in the lists below;
// the engine and the tests reach the driver only through this layer, so they
// run unchanged on a real driver and on the simulated device.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"
#include "toolkit_finder.h"

namespace tesvan::cu {

using CUresult = int;
using CUdevice = int;
using CUdeviceptr = unsigned long long;
using CUcontext = struct CUctx_st*;
using CUstream = struct CUstream_st*;
using CUevent = struct CUevent_st*;
using CUmodule = struct CUmod_st*;
using CUfunction = struct CUfunc_st*;
using CUgraph = struct CUgraph_st*;
using nvrtcResult = int;
using nvrtcProgram = struct _nvrtcProgram*;

inline constexpr CUresult CUDA_SUCCESS = 0;
inline constexpr unsigned CU_STREAM_NON_BLOCKING = 0x1;
// cuStreamBeginCapture's modes and cuStreamIsCapturing's answer.
enum CUstreamCaptureMode : int {
  CU_STREAM_CAPTURE_MODE_GLOBAL = 0,
  CU_STREAM_CAPTURE_MODE_THREAD_LOCAL = 1,
  CU_STREAM_CAPTURE_MODE_RELAXED = 2,
};
enum CUstreamCaptureStatus : int {
  CU_STREAM_CAPTURE_STATUS_NONE = 0,
  CU_STREAM_CAPTURE_STATUS_ACTIVE = 1,
  CU_STREAM_CAPTURE_STATUS_INVALIDATED = 2,
};
inline constexpr unsigned CU_EVENT_DISABLE_TIMING = 0x2;
inline constexpr int CU_DEVICE_ATTRIBUTE_MULTIPROCESSOR_COUNT = 16;
inline constexpr int CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MAJOR = 75;
inline constexpr int CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MINOR = 76;
inline constexpr int CU_DEVICE_ATTRIBUTE_MEMORY_POOLS_SUPPORTED = 115;
inline constexpr int CU_FUNC_ATTRIBUTE_MAX_THREADS_PER_BLOCK = 0;
inline constexpr int CU_FUNC_ATTRIBUTE_SHARED_SIZE_BYTES = 1;
inline constexpr int CU_FUNC_ATTRIBUTE_NUM_REGS = 4;
inline constexpr int CU_FUNC_ATTRIBUTE_MAX_DYNAMIC_SHARED_SIZE_BYTES = 8;

// X(member, exported symbol, signature).  Versioned symbols are named
// explicitly, as the driver header's macros would pick them.
#define TESVAN_CUDA_SYMBOLS(X)                                                                  \
  X(cuInit, "cuInit", CUresult(unsigned))                                                      \
  X(cuDriverGetVersion, "cuDriverGetVersion", CUresult(int*))                                  \
  X(cuGetErrorString, "cuGetErrorString", CUresult(CUresult, const char**))                    \
  X(cuGetErrorName, "cuGetErrorName", CUresult(CUresult, const char**))                        \
  X(cuDeviceGet, "cuDeviceGet", CUresult(CUdevice*, int))                                      \
  X(cuDeviceGetCount, "cuDeviceGetCount", CUresult(int*))                                      \
  X(cuDeviceGetName, "cuDeviceGetName", CUresult(char*, int, CUdevice))                        \
  X(cuDeviceGetAttribute, "cuDeviceGetAttribute", CUresult(int*, int, CUdevice))               \
  X(cuDevicePrimaryCtxRetain, "cuDevicePrimaryCtxRetain", CUresult(CUcontext*, CUdevice))      \
  X(cuDevicePrimaryCtxRelease, "cuDevicePrimaryCtxRelease_v2", CUresult(CUdevice))             \
  X(cuCtxGetCurrent, "cuCtxGetCurrent", CUresult(CUcontext*))                                  \
  X(cuCtxSetCurrent, "cuCtxSetCurrent", CUresult(CUcontext))                                   \
  X(cuCtxGetDevice, "cuCtxGetDevice", CUresult(CUdevice*))                                     \
  X(cuCtxSynchronize, "cuCtxSynchronize", CUresult())                                          \
  X(cuStreamCreate, "cuStreamCreate", CUresult(CUstream*, unsigned))                           \
  X(cuStreamDestroy, "cuStreamDestroy_v2", CUresult(CUstream))                                 \
  X(cuStreamSynchronize, "cuStreamSynchronize", CUresult(CUstream))                            \
  X(cuStreamQuery, "cuStreamQuery", CUresult(CUstream))                                        \
  X(cuStreamWaitEvent, "cuStreamWaitEvent", CUresult(CUstream, CUevent, unsigned))             \
  X(cuStreamBeginCapture, "cuStreamBeginCapture_v2", CUresult(CUstream, CUstreamCaptureMode))  \
  X(cuStreamEndCapture, "cuStreamEndCapture", CUresult(CUstream, CUgraph*))                     \
  X(cuStreamIsCapturing, "cuStreamIsCapturing", CUresult(CUstream, CUstreamCaptureStatus*))    \
  X(cuEventCreate, "cuEventCreate", CUresult(CUevent*, unsigned))                              \
  X(cuEventRecord, "cuEventRecord", CUresult(CUevent, CUstream))                               \
  X(cuEventSynchronize, "cuEventSynchronize", CUresult(CUevent))                               \
  X(cuEventQuery, "cuEventQuery", CUresult(CUevent))                                           \
  X(cuEventDestroy, "cuEventDestroy_v2", CUresult(CUevent))                                    \
  X(cuMemAlloc, "cuMemAlloc_v2", CUresult(CUdeviceptr*, size_t))                               \
  X(cuMemFree, "cuMemFree_v2", CUresult(CUdeviceptr))                                          \
  X(cuMemAllocAsync, "cuMemAllocAsync", CUresult(CUdeviceptr*, size_t, CUstream))              \
  X(cuMemFreeAsync, "cuMemFreeAsync", CUresult(CUdeviceptr, CUstream))                         \
  X(cuMemsetD8, "cuMemsetD8_v2", CUresult(CUdeviceptr, unsigned char, size_t))                 \
  X(cuMemsetD32, "cuMemsetD32_v2", CUresult(CUdeviceptr, unsigned, size_t))                   \
  X(cuMemsetD8Async, "cuMemsetD8Async", CUresult(CUdeviceptr, unsigned char, size_t, CUstream)) \
  X(cuMemsetD32Async, "cuMemsetD32Async", CUresult(CUdeviceptr, unsigned, size_t, CUstream))  \
  X(cuMemcpyHtoD, "cuMemcpyHtoD_v2", CUresult(CUdeviceptr, const void*, size_t))               \
  X(cuMemcpyDtoH, "cuMemcpyDtoH_v2", CUresult(void*, CUdeviceptr, size_t))                     \
  X(cuMemcpyDtoD, "cuMemcpyDtoD_v2", CUresult(CUdeviceptr, CUdeviceptr, size_t))               \
  X(cuMemcpyHtoDAsync, "cuMemcpyHtoDAsync_v2", CUresult(CUdeviceptr, const void*, size_t, CUstream)) \
  X(cuMemcpyDtoHAsync, "cuMemcpyDtoHAsync_v2", CUresult(void*, CUdeviceptr, size_t, CUstream)) \
  X(cuMemcpyDtoDAsync, "cuMemcpyDtoDAsync_v2", CUresult(CUdeviceptr, CUdeviceptr, size_t, CUstream)) \
  X(cuModuleLoadData, "cuModuleLoadData", CUresult(CUmodule*, const void*))                    \
  X(cuModuleUnload, "cuModuleUnload", CUresult(CUmodule))                                      \
  X(cuModuleGetFunction, "cuModuleGetFunction", CUresult(CUfunction*, CUmodule, const char*))  \
  X(cuFuncGetAttribute, "cuFuncGetAttribute", CUresult(int*, int, CUfunction))                 \
  X(cuFuncSetAttribute, "cuFuncSetAttribute", CUresult(CUfunction, int, int))                  \
  X(cuLaunchKernel, "cuLaunchKernel",                                                          \
    CUresult(CUfunction, unsigned, unsigned, unsigned, unsigned, unsigned, unsigned, unsigned, \
             CUstream, void**, void**))

#define TESVAN_NVRTC_SYMBOLS(X)                                                                 \
  X(nvrtcVersion, "nvrtcVersion", nvrtcResult(int*, int*))                                     \
  X(nvrtcCreateProgram, "nvrtcCreateProgram",                                                  \
    nvrtcResult(nvrtcProgram*, const char*, const char*, int, const char* const*, const char* const*)) \
  X(nvrtcCompileProgram, "nvrtcCompileProgram", nvrtcResult(nvrtcProgram, int, const char* const*)) \
  X(nvrtcGetProgramLogSize, "nvrtcGetProgramLogSize", nvrtcResult(nvrtcProgram, size_t*))      \
  X(nvrtcGetProgramLog, "nvrtcGetProgramLog", nvrtcResult(nvrtcProgram, char*))                \
  X(nvrtcGetPTXSize, "nvrtcGetPTXSize", nvrtcResult(nvrtcProgram, size_t*))                    \
  X(nvrtcGetPTX, "nvrtcGetPTX", nvrtcResult(nvrtcProgram, char*))                              \
  X(nvrtcGetCUBINSize, "nvrtcGetCUBINSize", nvrtcResult(nvrtcProgram, size_t*))                \
  X(nvrtcGetCUBIN, "nvrtcGetCUBIN", nvrtcResult(nvrtcProgram, char*))                          \
  X(nvrtcDestroyProgram, "nvrtcDestroyProgram", nvrtcResult(nvrtcProgram*))

template <class Signature>
using Fn = Signature*;

#define TESVAN_DECLARE_MEMBER(member, symbol, signature) Fn<signature> member = nullptr;

struct CudaApi {
  TESVAN_CUDA_SYMBOLS(TESVAN_DECLARE_MEMBER)
  void* handle = nullptr;
};

struct NvrtcApi {
  TESVAN_NVRTC_SYMBOLS(TESVAN_DECLARE_MEMBER)
  void* handle = nullptr;
};

#undef TESVAN_DECLARE_MEMBER

// The driver library (libcuda.so.1), loaded on the first call.  A missing
// library or symbol is an Error::Cuda naming it; the result of the first
// attempt is kept for the life of the process.
Result<const CudaApi*> cuda();

// NVRTC, chosen among the candidates of toolkit_finder.h by the driver's
// version and loaded on the first call (with its builtins library); the
// choice is kept for the life of the process.  Failures name what was tried.
Result<const NvrtcApi*> nvrtc();

// What the NVRTC loader saw and decided.
struct NvrtcReport {
  struct Entry {
    std::string path;  // the file loaded
    std::string why;
    int version = 0;   // 1000 * major + 10 * minor
    std::string include_dir;
  };
  int driver_version = 0;  // cuDriverGetVersion, 0 without a driver
  bool driver_simulated = false;
  std::vector<Entry> found;         // loaded and answering nvrtcVersion
  std::vector<std::string> failed;  // "candidate: reason"
  std::optional<size_t> chosen;     // index into found
  CodeForm form = CodeForm::Ptx;
  std::string error;  // the loader's failure, when nothing was chosen
};
// Loads NVRTC if that has not happened yet.
const NvrtcReport& nvrtc_report();

// True for the project's simulated device, which runs PTX only.
bool driver_is_simulated(const CudaApi& api);

// Header folders that come with the chosen NVRTC and the Python wheels, and
// TESVAN_CUDA_INCLUDE; searched after the toolkit folders.
std::vector<std::string> nvrtc_include_directories();

// Enumerator name of a driver result, or its number when it has none.
std::string cu_result_name(CUresult r);
// Enumerator name of an NVRTC result, or its number when it has none.
std::string nvrtc_result_name(nvrtcResult r);

// "DriverError(<name>, \"<cuGetErrorString text>\")".
std::string driver_error(CUresult r);

// Ok for CUDA_SUCCESS, else Error::Cuda(context + driver_error(r)).
inline Status check(CUresult r, std::string_view context) {
  if (r == CUDA_SUCCESS) return {};
  std::string msg(context);
  msg += driver_error(r);
  return Error::cuda(std::move(msg));
}

// Makes ctx current on the calling thread unless it already is.
CUresult make_current(const CudaApi& api, CUcontext ctx);

}  // namespace tesvan::cu
