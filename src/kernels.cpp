#include "kernels.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "kernel_source.h"

namespace tesvan {
namespace {

constexpr int kBigTileShared = 34816;  // 0x8800
constexpr int kTcTileShared = 75776;   // 0x12800

// One entry of the table in load order: an f32 or cast function, or a
// bf16/f16 pair, with the raised dynamic shared memory limit (0: none).
struct Entry {
  const char* name;  // full name, or the base name of a pair
  cu::CUfunction Kernels::*single;
  HalfKernel Kernels::*pair;
  int shared_limit;
};

constexpr Entry f32(const char* name, cu::CUfunction Kernels::*member, int limit = 0) {
  return {name, member, nullptr, limit};
}
constexpr Entry typed(const char* base, HalfKernel Kernels::*member, int limit = 0) {
  return {base, nullptr, member, limit};
}

constexpr Entry kTable[] = {
    f32("tesvan_nn", &Kernels::nn, kBigTileShared),
    f32("tesvan_tn", &Kernels::tn, kBigTileShared),
    f32("tesvan_nt", &Kernels::nt, kBigTileShared),
    f32("tesvan_nn_slim", &Kernels::nn_slim),
    f32("tesvan_tn_slim", &Kernels::tn_slim),
    f32("tesvan_nt_slim", &Kernels::nt_slim),
    f32("tesvan_nn_gemv", &Kernels::nn_gemv),
    f32("tesvan_tn_gemv", &Kernels::tn_gemv),
    f32("tesvan_nt_gemv", &Kernels::nt_gemv),
    f32("tesvan_nn_ultra_thin", &Kernels::nn_ultra_thin),
    f32("tesvan_nn_narrow", &Kernels::nn_narrow),
    f32("tesvan_nn_narrow_small", &Kernels::nn_narrow_small),
    f32("tesvan_tn_narrow", &Kernels::tn_narrow),
    f32("tesvan_nt_narrow", &Kernels::nt_narrow),
    f32("tesvan_nn_splitk32_partial", &Kernels::nn_splitk32_partial),
    f32("tesvan_nn_splitk_slim_partial", &Kernels::nn_splitk_slim_partial),
    f32("tesvan_tn_splitm_partial", &Kernels::tn_splitm_partial, kBigTileShared),
    f32("tesvan_splitk_reduce", &Kernels::splitk_reduce),
    f32("tesvan_splitm_reduce", &Kernels::splitm_reduce),
    f32("tesvan_dx_col_gemv", &Kernels::dx_col_gemv),
    f32("tesvan_transpose_f32_2d", &Kernels::transpose_f32_2d),
    typed("tesvan_nn_gemv", &Kernels::nn_gemv_t),
    typed("tesvan_tn_gemv", &Kernels::tn_gemv_t),
    typed("tesvan_nt_gemv", &Kernels::nt_gemv_t),
    typed("tesvan_nn_ultra_thin", &Kernels::nn_ultra_thin_t),
    typed("tesvan_nn_narrow", &Kernels::nn_narrow_t),
    typed("tesvan_nn_narrow_small", &Kernels::nn_narrow_small_t),
    typed("tesvan_tn_narrow", &Kernels::tn_narrow_t),
    typed("tesvan_nt_narrow", &Kernels::nt_narrow_t),
    typed("tesvan_nn_big", &Kernels::nn_big, kBigTileShared),
    typed("tesvan_tn_big", &Kernels::tn_big, kBigTileShared),
    typed("tesvan_nt_big", &Kernels::nt_big, kBigTileShared),
    typed("tesvan_nn_tc", &Kernels::nn_tc, kTcTileShared),
    typed("tesvan_tn_tc", &Kernels::tn_tc, kTcTileShared),
    typed("tesvan_nt_tc", &Kernels::nt_tc, kTcTileShared),
    typed("tesvan_nn_tc64", &Kernels::nn_tc64),
    typed("tesvan_tn_tc64", &Kernels::tn_tc64),
    typed("tesvan_nt_tc64", &Kernels::nt_tc64),
    f32("tvn_cast_f32_to_bf16", &Kernels::cast_f32_to_bf16),
    f32("tvn_cast_bf16_to_f32", &Kernels::cast_bf16_to_f32),
    f32("tvn_cast_f32_to_f16", &Kernels::cast_f32_to_f16),
    f32("tvn_cast_f16_to_f32", &Kernels::cast_f16_to_f32),
};
static_assert(sizeof kTable / sizeof kTable[0] == 42);

// The module names of an entry's kernels: its name, or the pair's two.
std::vector<std::string> module_names(const Entry& e) {
  if (e.single) return {e.name};
  return {std::string(e.name) + "_bf16", std::string(e.name) + "_f16"};
}

Status load_function(const cu::CudaApi& api, cu::CUmodule module, const std::string& name,
                     cu::CUfunction* out) {
  return cu::check(api.cuModuleGetFunction(out, module, name.c_str()),
                   "load_function(" + name + "): ");
}

Status set_shared_limit(const cu::CudaApi& api, cu::CUfunction f, int limit, const char* name) {
  return cu::check(
      api.cuFuncSetAttribute(f, cu::CU_FUNC_ATTRIBUTE_MAX_DYNAMIC_SHARED_SIZE_BYTES, limit),
      std::string("set MAX_DYNAMIC_SHARED for ") + name + ": ");
}

Status load_entry(const cu::CudaApi& api, cu::CUmodule module, const Entry& e, Kernels& k) {
  if (e.single) {
    cu::CUfunction& f = k.*e.single;
    TVN_TRY(load_function(api, module, e.name, &f));
    if (e.shared_limit) TVN_TRY(set_shared_limit(api, f, e.shared_limit, e.name));
    return {};
  }
  HalfKernel& pair = k.*e.pair;
  const std::vector<std::string> names = module_names(e);
  TVN_TRY(load_function(api, module, names[0], &pair.bf16));
  TVN_TRY(load_function(api, module, names[1], &pair.f16));
  if (e.shared_limit) {
    TVN_TRY(set_shared_limit(api, pair.bf16, e.shared_limit, e.name));
    TVN_TRY(set_shared_limit(api, pair.f16, e.shared_limit, e.name));
  }
  return {};
}

// True when the module lacks a kernel of the table (its text is at fault),
// false when every lookup succeeds or fails for another reason.
bool lacks_kernel(const cu::CudaApi& api, cu::CUmodule module) {
  for (const Entry& e : kTable) {
    for (const std::string& name : module_names(e)) {
      cu::CUfunction f = nullptr;
      if (cu::cu_result_name(api.cuModuleGetFunction(&f, module, name.c_str())) ==
          "CUDA_ERROR_NOT_FOUND") {
        return true;
      }
    }
  }
  return false;
}

}  // namespace

Result<Kernels> Kernels::compile(const EngineStream& es, std::string_view target) {
  return compile_source(es, target, assemble_kernel_source());
}

Result<Kernels> Kernels::compile_source(const EngineStream& es, std::string_view target,
                                        std::string source) {
  std::optional<Kernels> table;
  Status built = build_kernel_module(*es.api, std::move(source), target,
                                     [&](const ModuleRef& module, bool* module_at_fault) -> Status {
                                       Result<Kernels> k = from_module(es, module);
                                       if (!k.ok()) {
                                         *module_at_fault = lacks_kernel(*es.api, module.get());
                                         return std::move(k).error();
                                       }
                                       table.emplace(std::move(k).value());
                                       return {};
                                     });
  if (!built.ok()) return std::move(built).error();
  return std::move(*table);
}

Result<Kernels> Kernels::from_module(const EngineStream& es, ModuleRef module) {
  Kernels k;
  for (const Entry& e : kTable) TVN_TRY(load_entry(*es.api, module.get(), e, k));
  k.module_ = std::move(module);
  return k;
}

Result<uint64_t> Kernels::splitk_ptr(const EngineStream& es) {
  return fill_slot(splitk_, es, kSplitkScratchElems, "splitk_scratch alloc: ",
                   "splitk_scratch cell empty after init");
}

Result<uint64_t> Kernels::transpose_ptr(const EngineStream& es) {
  return fill_slot(transpose_, es, kTransposeScratchElems, "transpose_scratch alloc: ",
                   "transpose_scratch cell empty after init");
}

Result<uint64_t> Kernels::fill_slot(Slot& slot, const EngineStream& es, uint64_t elems,
                                    const char* alloc_context, const char* empty_message) {
  if (slot.address != 0) return slot.address;
  DeviceBuffer fresh;
  TVN_TRY(cu::check(DeviceBuffer::alloc_zeros(es, elems, &fresh), alloc_context));
  // Once only: a slot filled meanwhile keeps its buffer and `fresh` goes.
  if (slot.address == 0) {
    slot.address = fresh.address();
    slot.buffer = std::move(fresh);
  }
  if (slot.address == 0) return Error::cuda(empty_message);
  return slot.address;
}

}  // namespace tesvan
