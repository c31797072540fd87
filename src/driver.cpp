#include "driver.h"

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

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
    out.error = std::string("missing symbol ") + symbol + " in " + library + kInfoHint;  \
    dlclose(handle);                                                                     \
    return out;                                                                          \
  }

Loaded<CudaApi> load_cuda() {
  Loaded<CudaApi> out;
  const char* library = "libcuda.so.1";
  void* handle = dlopen(library, RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    out.error = std::string("cannot load ") + library + ": " + dl_error_text() + kInfoHint;
    return out;
  }
  TESVAN_CUDA_SYMBOLS(TESVAN_RESOLVE)
  out.api.handle = handle;
  return out;
}

// The file a handle was opened from (a bare soname resolves to its path).
std::string loaded_path(void* handle, const std::string& fallback) {
  link_map* map = nullptr;
  if (dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && map && map->l_name && *map->l_name) {
    return map->l_name;
  }
  return fallback;
}

// NVRTC finds its builtins library by soname; NVIDIA's wheels carry no
// RUNPATH to find it beside them, so it is loaded first from the same folder.
void preload_builtins(const std::string& nvrtc_path, int version) {
  const size_t slash = nvrtc_path.rfind('/');
  if (slash == std::string::npos) return;
  const std::string path = nvrtc_path.substr(0, slash) + "/libnvrtc-builtins.so." +
                           cuda_version_text(version);
  if (::access(path.c_str(), F_OK) == 0) dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
}

Loaded<NvrtcApi> load_nvrtc(NvrtcReport* report) {
  Loaded<NvrtcApi> out;
  if (auto api = cuda(); api.ok()) {
    int version = 0;
    if (api.value()->cuDriverGetVersion(&version) == CUDA_SUCCESS) report->driver_version = version;
    report->driver_simulated = driver_is_simulated(*api.value());
  }
  std::vector<void*> handles;
  std::vector<FoundNvrtc> versions;
  for (const NvrtcCandidate& c : nvrtc_candidates()) {
    void* handle = dlopen(c.path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
      report->failed.push_back(c.path + ": " + dl_error_text());
      continue;
    }
    bool seen = false;
    for (void* h : handles) seen = seen || h == handle;
    auto version_fn = reinterpret_cast<nvrtcResult (*)(int*, int*)>(dlsym(handle, "nvrtcVersion"));
    int major = 0, minor = 0;
    if (seen || !version_fn || version_fn(&major, &minor) != 0) {
      if (!seen) report->failed.push_back(c.path + ": nvrtcVersion failed");
      dlclose(handle);
      continue;
    }
    handles.push_back(handle);
    versions.push_back({cuda_version_number(major, minor)});
    report->found.push_back({loaded_path(handle, c.path), c.why, versions.back().version,
                             c.include_dir});
  }
  const NvrtcVerdict verdict =
      choose_nvrtc(versions, report->driver_version,
                   report->driver_version != 0 && !report->driver_simulated);
  for (size_t i = 0; i < handles.size(); ++i) {
    if (!verdict.chosen || i != *verdict.chosen) dlclose(handles[i]);
  }
  if (!verdict.chosen) {
    if (report->found.empty()) {
      std::string tried;
      for (const std::string& f : report->failed) tried += (tried.empty() ? "" : ", ") + f;
      out.error = "cannot load NVRTC (tried " + tried + ")" + kInfoHint;
    } else {
      out.error = "no usable NVRTC: " + verdict.error + kInfoHint;
    }
    report->error = out.error;
    return out;
  }
  report->chosen = verdict.chosen;
  report->form = verdict.form;
  const NvrtcReport::Entry& chosen = report->found[*verdict.chosen];
  preload_builtins(chosen.path, chosen.version);
  void* handle = handles[*verdict.chosen];
  const std::string library = chosen.path;
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

namespace {

struct NvrtcState {
  NvrtcReport report;
  Loaded<NvrtcApi> loaded;
  NvrtcState() : loaded(load_nvrtc(&report)) {}
};

const NvrtcState& nvrtc_state() {
  static const NvrtcState state;
  return state;
}

}  // namespace

Result<const NvrtcApi*> nvrtc() {
  const NvrtcState& s = nvrtc_state();
  if (!s.loaded.error.empty()) return Error::cuda(s.loaded.error);
  return &s.loaded.api;
}

const NvrtcReport& nvrtc_report() { return nvrtc_state().report; }

bool driver_is_simulated(const CudaApi& api) {
  return api.handle && dlsym(api.handle, "tvnsim_get_config") != nullptr;
}

std::vector<std::string> nvrtc_include_directories() {
  const NvrtcReport& r = nvrtc_report();
  return extra_include_candidates(r.chosen ? r.found[*r.chosen].include_dir : std::string());
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
