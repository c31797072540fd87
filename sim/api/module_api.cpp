// Modules (PTX text loaded through the PTX half of the simulator) and the
// attributes of their functions.
#include <algorithm>
#include <cstring>

#include "api/device_model.h"
#include "api/ptx_header.h"
#include "api/simulator.h"

using tvnsim::api::Entry;
using tvnsim::api::Fn;
using tvnsim::api::Function;
using tvnsim::api::HandleKind;
using tvnsim::api::Module;
using tvnsim::api::Need;
using tvnsim::api::Simulator;

namespace {

// Registers thread count for every function; the simulator has no register
// allocator, and 32 fits 1024 threads in a 64K register file.
constexpr int kRegistersPerThread = 32;

constexpr uint64_t kMaxStaticShared = 48 * 1024;

Function* find_function(Simulator& sim, CUfunction h) {
  auto it = sim.functions.find(tvnsim::api::handle_value(h));
  return it == sim.functions.end() ? nullptr : &it->second;
}

// Threads in a .maxntid / .reqntid bound; dimensions left out count as 1.
uint64_t product(const uint32_t (&v)[3]) {
  return uint64_t{v[0]} * std::max(1u, v[1]) * std::max(1u, v[2]);
}

// Threads per block the function accepts: its .reqntid, else its .maxntid,
// within the device's 1024.
int max_threads(const tvnsim::EntryInfo& e) {
  if (e.reqntid[0]) return static_cast<int>(std::min<uint64_t>(1024, product(e.reqntid)));
  if (e.maxntid[0]) return static_cast<int>(std::min<uint64_t>(1024, product(e.maxntid)));
  return 1024;
}

int default_dynamic_shared(const Simulator& sim, const tvnsim::EntryInfo& e) {
  const int limit = sim.config.max_shared_per_block - static_cast<int>(e.static_shared_bytes);
  return limit > 0 ? limit : 0;
}

}  // namespace

CUresult CUDAAPI cuModuleLoadData(CUmodule* module, const void* image) try {
  Entry e(Fn::cuModuleLoadData, Need::Context);
  if (e.failed()) return e.result();
  if (!module || !image) return CUDA_ERROR_INVALID_VALUE;
  if (tvnsim::api::is_machine_code(image)) {
    return e.sim.fail(CUDA_ERROR_NO_BINARY_FOR_GPU,
                      "the simulated device runs PTX only, not machine code (cubin)");
  }
  const std::string_view text(static_cast<const char*>(image));
  tvnsim::api::PtxHeader header;
  std::string why;
  if (!tvnsim::api::read_ptx_header(text, &header, &why)) {
    return e.sim.fail(CUDA_ERROR_INVALID_PTX, why);
  }
  if (int r = tvnsim::api::check_ptx_compatibility(header, e.sim.config.driver_version,
                                                   e.sim.config.cc_major,
                                                   e.sim.config.cc_minor, &why)) {
    return e.sim.fail(static_cast<CUresult>(r), why);
  }
  tvnsim::LoadResult loaded = tvnsim::load_program(text, e.sim.memory);
  if (!loaded.program) {
    const int r = loaded.result ? loaded.result : CUDA_ERROR_INVALID_PTX;
    return e.sim.fail(static_cast<CUresult>(r), loaded.message);
  }
  // The JIT refuses an entry whose static shared data exceeds 48 KiB on every
  // architecture; only dynamic shared memory can be opted in beyond it.
  for (const tvnsim::EntryInfo& entry : loaded.program->info().entries) {
    if (entry.static_shared_bytes > kMaxStaticShared) {
      return e.sim.fail(CUDA_ERROR_INVALID_PTX,
                        "entry " + entry.name + " uses too much shared data (" +
                            std::to_string(entry.static_shared_bytes) + " bytes, " +
                            std::to_string(kMaxStaticShared) + " max)");
    }
  }
  const uint64_t id = e.sim.new_handle(HandleKind::Module);
  Module& m = e.sim.modules[id];
  m.program = std::move(loaded.program);
  m.functions.assign(m.program->info().entries.size(), 0);
  *module = tvnsim::api::make_handle<CUmodule>(id);
  return CUDA_SUCCESS;
} TVNSIM_CATCH_ALL

CUresult CUDAAPI cuModuleUnload(CUmodule hmod) try {
  Entry e(Fn::cuModuleUnload, Need::Context);
  if (e.failed()) return e.result();
  auto it = e.sim.modules.find(tvnsim::api::handle_value(hmod));
  if (it == e.sim.modules.end())
    return e.sim.fail(CUDA_ERROR_INVALID_HANDLE, "not a loaded module");
  for (uint64_t f : it->second.functions) e.sim.functions.erase(f);
  // Launches still queued keep the program (and its globals) until they ran.
  e.sim.modules.erase(it);
  return CUDA_SUCCESS;
} TVNSIM_CATCH_ALL

CUresult CUDAAPI cuModuleGetFunction(CUfunction* hfunc, CUmodule hmod, const char* name) try {
  Entry e(Fn::cuModuleGetFunction, Need::Context);
  if (e.failed()) return e.result();
  if (!hfunc || !name) return CUDA_ERROR_INVALID_VALUE;
  auto it = e.sim.modules.find(tvnsim::api::handle_value(hmod));
  if (it == e.sim.modules.end())
    return e.sim.fail(CUDA_ERROR_INVALID_HANDLE, "not a loaded module");
  Module& m = it->second;
  const auto& entries = m.program->info().entries;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].name != name) continue;
    if (!m.functions[i]) {
      const uint64_t id = e.sim.new_handle(HandleKind::Function);
      Function& f = e.sim.functions[id];
      f.program = m.program;
      f.entry = static_cast<uint32_t>(i);
      f.max_threads = max_threads(entries[i]);
      f.max_dynamic_shared = default_dynamic_shared(e.sim, entries[i]);
      m.functions[i] = id;
    }
    *hfunc = tvnsim::api::make_handle<CUfunction>(m.functions[i]);
    return CUDA_SUCCESS;
  }
  return e.sim.fail(CUDA_ERROR_NOT_FOUND, std::string("no entry named ") + name + " in the module");
} TVNSIM_CATCH_ALL

CUresult CUDAAPI cuFuncGetAttribute(int* pi, CUfunction_attribute attrib, CUfunction hfunc) try {
  Entry e(Fn::cuFuncGetAttribute, Need::Context);
  if (e.failed()) return e.result();
  if (!pi) return CUDA_ERROR_INVALID_VALUE;
  const Function* f = find_function(e.sim, hfunc);
  if (!f) return e.sim.fail(CUDA_ERROR_INVALID_HANDLE, "not a function of a loaded module");
  const tvnsim::EntryInfo& info = f->info();
  const tvnsim::ModuleInfo& mod = f->program->info();
  switch (attrib) {
    case CU_FUNC_ATTRIBUTE_MAX_THREADS_PER_BLOCK:
      *pi = f->max_threads;
      break;
    case CU_FUNC_ATTRIBUTE_SHARED_SIZE_BYTES:
      *pi = static_cast<int>(info.static_shared_bytes);
      break;
    case CU_FUNC_ATTRIBUTE_LOCAL_SIZE_BYTES:
      *pi = static_cast<int>(info.local_bytes);
      break;
    case CU_FUNC_ATTRIBUTE_NUM_REGS:
      *pi = kRegistersPerThread;
      break;
    case CU_FUNC_ATTRIBUTE_PTX_VERSION:
      *pi = mod.version_major * 10 + mod.version_minor;
      break;
    case CU_FUNC_ATTRIBUTE_BINARY_VERSION:
      *pi = e.sim.config.cc_major * 10 + e.sim.config.cc_minor;
      break;
    case CU_FUNC_ATTRIBUTE_MAX_DYNAMIC_SHARED_SIZE_BYTES:
      *pi = f->max_dynamic_shared;
      break;
    case CU_FUNC_ATTRIBUTE_PREFERRED_SHARED_MEMORY_CARVEOUT:
      *pi = f->carveout;
      break;
    default:
      // Constant bank, caching mode and cluster attributes: nothing modelled.
      if (attrib < 0 || attrib >= CU_FUNC_ATTRIBUTE_MAX) {
        return e.sim.fail(CUDA_ERROR_INVALID_VALUE, "unknown function attribute");
      }
      *pi = 0;
  }
  return CUDA_SUCCESS;
} TVNSIM_CATCH_ALL

CUresult CUDAAPI cuFuncSetAttribute(CUfunction hfunc, CUfunction_attribute attrib, int value) try {
  Entry e(Fn::cuFuncSetAttribute, Need::Context);
  if (e.failed()) return e.result();
  Function* f = find_function(e.sim, hfunc);
  if (!f) return e.sim.fail(CUDA_ERROR_INVALID_HANDLE, "not a function of a loaded module");
  switch (attrib) {
    case CU_FUNC_ATTRIBUTE_MAX_DYNAMIC_SHARED_SIZE_BYTES: {
      const int limit = tvnsim::api::shared_per_block_optin(e.sim.config) -
                        static_cast<int>(f->info().static_shared_bytes);
      if (value < 0 || value > limit) {
        return e.sim.fail(CUDA_ERROR_INVALID_VALUE,
                          "dynamic shared memory " + std::to_string(value) + " exceeds the limit " +
                              std::to_string(limit) + " (opt-in maximum minus static shared)");
      }
      f->max_dynamic_shared = value;
      return CUDA_SUCCESS;
    }
    case CU_FUNC_ATTRIBUTE_PREFERRED_SHARED_MEMORY_CARVEOUT:
      if (value < -1 || value > 100)
        return e.sim.fail(CUDA_ERROR_INVALID_VALUE, "carveout outside -1..100");
      f->carveout = value;
      return CUDA_SUCCESS;
    default:
      return e.sim.fail(CUDA_ERROR_INVALID_VALUE,
                        "function attribute " + std::to_string(attrib) + " cannot be set");
  }
} TVNSIM_CATCH_ALL
