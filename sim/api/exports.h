// The driver functions this library exports, by their exact symbol names, the
// per-function call counting and fault injection every one of them starts
// with, and the boundary that keeps C++ exceptions inside the library.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "api/cuda_api.h"

namespace tvnsim::api {

// clang-format off
#define TVNSIM_DRIVER_FUNCTIONS(X)                                                             \
  X(cuInit) X(cuDriverGetVersion) X(cuGetErrorString) X(cuGetErrorName) X(cuGetExportTable)    \
  X(cuDeviceGet) X(cuDeviceGetCount) X(cuDeviceGetName) X(cuDeviceGetAttribute)                \
  X(cuDeviceTotalMem_v2)                                                                       \
  X(cuDevicePrimaryCtxRetain) X(cuDevicePrimaryCtxRelease_v2) X(cuDevicePrimaryCtxGetState)    \
  X(cuCtxGetCurrent) X(cuCtxSetCurrent) X(cuCtxGetDevice) X(cuCtxSynchronize)                  \
  X(cuStreamCreate) X(cuStreamDestroy_v2) X(cuStreamSynchronize) X(cuStreamQuery)              \
  X(cuStreamWaitEvent) X(cuStreamBeginCapture_v2) X(cuStreamEndCapture) X(cuStreamIsCapturing) \
  X(cuEventCreate) X(cuEventRecord) X(cuEventSynchronize) X(cuEventQuery) X(cuEventDestroy_v2) \
  X(cuMemAlloc_v2) X(cuMemFree_v2) X(cuMemAllocAsync) X(cuMemFreeAsync) X(cuMemGetInfo_v2)     \
  X(cuMemsetD8_v2) X(cuMemsetD32_v2) X(cuMemsetD8Async) X(cuMemsetD32Async)                    \
  X(cuMemcpyHtoD_v2) X(cuMemcpyDtoH_v2) X(cuMemcpyDtoD_v2)                                     \
  X(cuMemcpyHtoDAsync_v2) X(cuMemcpyDtoHAsync_v2) X(cuMemcpyDtoDAsync_v2)                      \
  X(cuModuleLoadData) X(cuModuleUnload) X(cuModuleGetFunction)                                 \
  X(cuFuncGetAttribute) X(cuFuncSetAttribute) X(cuLaunchKernel)

enum class Fn : uint16_t {
#define TVNSIM_FN_ENUM(name) name,
  TVNSIM_DRIVER_FUNCTIONS(TVNSIM_FN_ENUM)
#undef TVNSIM_FN_ENUM
  Count
};
// clang-format on

inline constexpr size_t kFunctionCount = static_cast<size_t>(Fn::Count);

// The exported symbol name of a function.
std::string_view function_name(Fn f);
// The function exported under `name`, if any.
std::optional<Fn> function_by_name(std::string_view name);

// Every exported function's body is a function-try-block closed by one of
// these, so no C++ exception (std::bad_alloc above all) reaches the caller:
//   CUresult CUDAAPI cuX(...) try { ... } TVNSIM_CATCH_ALL
// A driver function returns CUDA_ERROR_OUT_OF_MEMORY for std::bad_alloc and
// CUDA_ERROR_UNKNOWN for anything else; a control function reports it on
// stderr and returns its argument (nothing for void).
#define TVNSIM_CATCH_ALL \
  catch (...) {          \
    return ::tvnsim::api::exception_result(); \
  }
#define TVNSIM_CONTROL_CATCH(...)                 \
  catch (...) {                                   \
    ::tvnsim::api::report_exception(__func__);    \
    return __VA_ARGS__;                           \
  }

// Inside a catch handler: the driver result for the exception in flight and
// its text.
CUresult classify_exception(const char** what) noexcept;
// Inside a catch handler, without the global lock: classify_exception's
// result, its text recorded as the reason of the last refused call.
CUresult exception_result() noexcept;
// Inside a catch handler: "tvnsim: <function>: <what>" on stderr.
void report_exception(const char* function) noexcept;

// Call counts and pending injected results.  Not thread-safe on its own: the
// library's global lock guards it.
class CallLog {
 public:
  // Counts the call; returns the injected result when one is due, or throws
  // std::bad_alloc when an exception is due.
  std::optional<int> enter(Fn f) {
    const uint64_t n = ++counts_[static_cast<size_t>(f)];
    if (pending_.empty()) return std::nullopt;
    return take(f, n);
  }
  // The nth call after now (1-based) returns `result`.
  void inject(Fn f, unsigned nth, int result);
  // The nth call after now (1-based) throws std::bad_alloc, as running out
  // of host memory inside the function would.
  void inject_exception(Fn f, unsigned nth);
  void clear_injections() { pending_.clear(); }
  uint64_t count(Fn f) const { return counts_[static_cast<size_t>(f)]; }
  void reset();

 private:
  struct Injection {
    Fn function;
    uint64_t call;  // the call count at which it fires
    int result;
    bool throws;
  };
  std::optional<int> take(Fn f, uint64_t n);

  uint64_t counts_[kFunctionCount] = {};
  std::vector<Injection> pending_;
};

}  // namespace tvnsim::api
