#include "driver.h"

#include <dlfcn.h>

#include <cstdlib>
#include <vector>

namespace tesvan::cu {
namespace {

template <class Api>
struct Loaded {
  Api api;
  std::string error;  // empty when loaded
};

std::string dl_error_text() {
  const char* e = dlerror();
  return e ? e : "unknown dynamic loader error";
}

// Resolves every listed symbol; the first missing one is the error.
#define TESVAN_RESOLVE(member, symbol, signature)                                        \
  out.api.member = reinterpret_cast<Fn<signature>>(dlsym(handle, symbol));                  \
  if (!out.api.member) {                                                                 \
    out.error = std::string("missing symbol ") + symbol + " in " + library;              \
    dlclose(handle);                                                                     \
    return out;                                                                          \
  }

Loaded<CudaApi> load_cuda() {
  Loaded<CudaApi> out;
  const char* library = "libcuda.so.1";
  void* handle = dlopen(library, RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    out.error = std::string("cannot load ") + library + ": " + dl_error_text();
    return out;
  }
  TESVAN_CUDA_SYMBOLS(TESVAN_RESOLVE)
  out.api.handle = handle;
  return out;
}

std::vector<std::string> nvrtc_candidates() {
  std::vector<std::string> names = {"libnvrtc.so.13", "libnvrtc.so.12", "libnvrtc.so.11.2",
                                    "libnvrtc.so"};
  for (const char* var : {"CUDA_HOME", "CUDA_PATH", "CUDA_ROOT"}) {
    if (const char* dir = std::getenv(var)) {
      for (const char* sub : {"/lib64/", "/lib/"}) {
        for (const char* so : {"libnvrtc.so.13", "libnvrtc.so.12", "libnvrtc.so"}) {
          names.push_back(std::string(dir) + sub + so);
        }
      }
    }
  }
  for (const char* so : {"libnvrtc.so.13", "libnvrtc.so.12", "libnvrtc.so"}) {
    names.push_back(std::string("/usr/local/cuda/lib64/") + so);
  }
  return names;
}

Loaded<NvrtcApi> load_nvrtc() {
  Loaded<NvrtcApi> out;
  void* handle = nullptr;
  std::string tried;
  std::string library;
  for (const std::string& name : nvrtc_candidates()) {
    handle = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle) {
      library = name;
      break;
    }
    if (!tried.empty()) tried += ", ";
    tried += name;
  }
  if (!handle) {
    out.error = "cannot load NVRTC (tried " + tried + ")";
    return out;
  }
  TESVAN_NVRTC_SYMBOLS(TESVAN_RESOLVE)
  out.api.handle = handle;
  return out;
}

#undef TESVAN_RESOLVE

}  // namespace

Result<const CudaApi*> cuda() {
  static const Loaded<CudaApi> loaded = load_cuda();
  if (!loaded.error.empty()) return Error::cuda(loaded.error);
  return &loaded.api;
}

Result<const NvrtcApi*> nvrtc() {
  static const Loaded<NvrtcApi> loaded = load_nvrtc();
  if (!loaded.error.empty()) return Error::cuda(loaded.error);
  return &loaded.api;
}

std::string cu_result_name(CUresult r) {
  switch (r) {
#define X(value, name) \
  case value:          \
    return #name;
#include "cu_result_names.inc"
#undef X
  }
  return std::to_string(r);
}

std::string nvrtc_result_name(nvrtcResult r) {
  switch (r) {
#define X(value, name) \
  case value:          \
    return #name;
#include "nvrtc_result_names.inc"
#undef X
  }
  return std::to_string(r);
}

std::string driver_error(CUresult r) {
  std::string text = "DriverError(" + cu_result_name(r) + ", \"";
  const char* description = nullptr;
  auto api = cuda();
  if (api.ok() && api.value()->cuGetErrorString(r, &description) == CUDA_SUCCESS && description) {
    text += escape_quoted(description);
  } else {
    text += "<Failure when calling cuGetErrorString()>";
  }
  text += "\")";
  return text;
}

CUresult make_current(const CudaApi& api, CUcontext ctx) {
  CUcontext current = nullptr;
  CUresult r = api.cuCtxGetCurrent(&current);
  if (r != CUDA_SUCCESS) return r;
  if (current == ctx) return CUDA_SUCCESS;
  return api.cuCtxSetCurrent(ctx);
}

}  // namespace tesvan::cu
