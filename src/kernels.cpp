#include "kernels.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "kernel_source.h"
#include "launch_plan.h"

namespace tesvan {
namespace {

// The launch contract of every kernel: block, dynamic shared bytes and the
// raised limit, next to the name.  Each kernel's header comment in kernels/
// states the same contract; the kernel structure test checks each block
// against the PTX's .maxntid (the kernel's __launch_bounds__).

// The big 128 x 128 f32 and typed kernels stage two 16-deep slabs of A and
// B with 4 floats of row padding: 2 * 16 * (132 + 132) * 4 = 33792 bytes.
// They are given 34816 (0x8800), the raised limit.
constexpr unsigned kBigTileShared = 34816;
// The tensor-core 128-tile kernels: two stages of both operand tiles, in
// bytes per operation (NN As[2][128][72] + Bs[2][64][136], TN Xs + Ys
// [2][64][136], NT Ys + Ws [2][128][72], 16-bit elements), under one limit.
constexpr unsigned kTcNnShared = 71680;
constexpr unsigned kTcTnShared = 69632;
constexpr unsigned kTcNtShared = 73728;
constexpr unsigned kTcTileLimit = 75776;  // 0x12800
static_assert(kTcNnShared <= kTcTileLimit && kTcTnShared <= kTcTileLimit &&
              kTcNtShared <= kTcTileLimit);

constexpr LaunchShape block(unsigned x, unsigned shared = 0) { return {{x}, shared}; }
// The shape of a kernel that takes its matrices 16 bytes at a time.
constexpr LaunchShape wide(LaunchShape s) {
  s.wide_operands = true;
  return s;
}
constexpr LaunchShape kBig = block(256, kBigTileShared);
// The ultra-thin kernels keep the whole A row in shared memory: 4 bytes per K.
constexpr LaunchShape kUltraThin = {{256}, 0, 4};
constexpr LaunchShape kTranspose = {{32, 32, 1}};

// One entry of the table in load order: an f32 or cast function, or a
// bf16/f16 pair, with its launch shape and raised dynamic shared memory
// limit (0: none).
struct Entry {
  KernelEntryInfo info;
  Kernel Kernels::*single;
  HalfKernel Kernels::*pair;
};

constexpr Entry f32(const char* name, Kernel Kernels::*member, LaunchShape shape,
                    unsigned limit = 0) {
  return {{name, false, shape, limit}, member, nullptr};
}
constexpr Entry typed(const char* base, HalfKernel Kernels::*member, LaunchShape shape,
                      unsigned limit = 0) {
  return {{base, true, shape, limit}, nullptr, member};
}

constexpr Entry kTable[] = {
    f32("tesvan_nn", &Kernels::nn, wide(kBig), kBigTileShared),
    f32("tesvan_tn", &Kernels::tn, wide(kBig), kBigTileShared),
    f32("tesvan_nt", &Kernels::nt, wide(kBig), kBigTileShared),
    f32("tesvan_nn_slim", &Kernels::nn_slim, wide(block(128))),
    f32("tesvan_tn_slim", &Kernels::tn_slim, wide(block(128))),
    f32("tesvan_nt_slim", &Kernels::nt_slim, wide(block(128))),
    f32("tesvan_nn_gemv", &Kernels::nn_gemv, block(128)),
    f32("tesvan_tn_gemv", &Kernels::tn_gemv, block(128)),
    f32("tesvan_nt_gemv", &Kernels::nt_gemv, block(256)),
    f32("tesvan_nn_ultra_thin", &Kernels::nn_ultra_thin, kUltraThin),
    f32("tesvan_nn_narrow", &Kernels::nn_narrow, wide(block(128))),
    f32("tesvan_nn_narrow_small", &Kernels::nn_narrow_small, wide(block(64))),
    f32("tesvan_tn_narrow", &Kernels::tn_narrow, wide(block(128))),
    f32("tesvan_nt_narrow", &Kernels::nt_narrow, wide(block(128))),
    f32("tesvan_nn_splitk32_partial", &Kernels::nn_splitk32_partial, wide(block(128))),
    f32("tesvan_nn_splitk_slim_partial", &Kernels::nn_splitk_slim_partial, wide(block(128))),
    // Static shared memory only; the raised limit is kept as the table has
    // always set it.
    f32("tesvan_tn_splitm_partial", &Kernels::tn_splitm_partial, wide(block(256)), kBigTileShared),
    f32("tesvan_splitk_reduce", &Kernels::splitk_reduce, block(256)),
    f32("tesvan_splitm_reduce", &Kernels::splitm_reduce, block(256)),
    f32("tesvan_dx_col_gemv", &Kernels::dx_col_gemv, block(128)),
    f32("tesvan_transpose_f32_2d", &Kernels::transpose_f32_2d, kTranspose),
    typed("tesvan_nn_gemv", &Kernels::nn_gemv_t, block(128)),
    typed("tesvan_tn_gemv", &Kernels::tn_gemv_t, block(128)),
    typed("tesvan_nt_gemv", &Kernels::nt_gemv_t, block(256)),
    typed("tesvan_nn_ultra_thin", &Kernels::nn_ultra_thin_t, kUltraThin),
    typed("tesvan_nn_narrow", &Kernels::nn_narrow_t, block(128)),
    typed("tesvan_nn_narrow_small", &Kernels::nn_narrow_small_t, block(64)),
    typed("tesvan_tn_narrow", &Kernels::tn_narrow_t, block(128)),
    typed("tesvan_nt_narrow", &Kernels::nt_narrow_t, block(128)),
    typed("tesvan_nn_big", &Kernels::nn_big, kBig, kBigTileShared),
    typed("tesvan_tn_big", &Kernels::tn_big, kBig, kBigTileShared),
    typed("tesvan_nt_big", &Kernels::nt_big, kBig, kBigTileShared),
    typed("tesvan_nn_tc", &Kernels::nn_tc, block(256, kTcNnShared), kTcTileLimit),
    typed("tesvan_tn_tc", &Kernels::tn_tc, block(256, kTcTnShared), kTcTileLimit),
    typed("tesvan_nt_tc", &Kernels::nt_tc, block(256, kTcNtShared), kTcTileLimit),
    typed("tesvan_nn_tc64", &Kernels::nn_tc64, block(128)),
    typed("tesvan_tn_tc64", &Kernels::tn_tc64, block(128)),
    typed("tesvan_nt_tc64", &Kernels::nt_tc64, block(128)),
    f32("tvn_cast_f32_to_bf16", &Kernels::cast_f32_to_bf16, block(256)),
    f32("tvn_cast_bf16_to_f32", &Kernels::cast_bf16_to_f32, block(256)),
    f32("tvn_cast_f32_to_f16", &Kernels::cast_f32_to_f16, block(256)),
    f32("tvn_cast_f16_to_f32", &Kernels::cast_f16_to_f32, block(256)),
};
static_assert(sizeof kTable / sizeof kTable[0] == 42);

// Every launch fits the default 48 KiB or its raised limit.
constexpr bool shapes_fit() {
  for (const Entry& e : kTable) {
    const unsigned limit = e.info.shared_limit ? e.info.shared_limit : 48 * 1024;
    if (e.info.shape.shared > limit) return false;
  }
  return true;
}
static_assert(shapes_fit());

// KernelEntryInfo in load order, for the tests.
constexpr auto kInfos = [] {
  struct Infos {
    KernelEntryInfo v[sizeof kTable / sizeof kTable[0]];
  } out{};
  for (size_t i = 0; i < sizeof kTable / sizeof kTable[0]; ++i) out.v[i] = kTable[i].info;
  return out;
}();

// The module names of an entry's kernels: its name, or the pair's two.
std::vector<std::string> module_names(const Entry& e) {
  if (e.single) return {e.info.name};
  return {std::string(e.info.name) + "_bf16", std::string(e.info.name) + "_f16"};
}

Status load_function(const cu::CudaApi& api, cu::CUmodule module, const std::string& name,
                     cu::CUfunction* out) {
  return cu::check(api.cuModuleGetFunction(out, module, name.c_str()),
                   "load_function(" + name + "): ");
}

Status set_shared_limit(const cu::CudaApi& api, cu::CUfunction f, unsigned limit,
                        const char* name) {
  return cu::check(
      api.cuFuncSetAttribute(f, cu::CU_FUNC_ATTRIBUTE_MAX_DYNAMIC_SHARED_SIZE_BYTES,
                             static_cast<int>(limit)),
      std::string("set MAX_DYNAMIC_SHARED for ") + name + ": ");
}

Status load_entry(const cu::CudaApi& api, cu::CUmodule module, const Entry& e, Kernels& k) {
  const KernelEntryInfo& i = e.info;
  if (e.single) {
    Kernel& f = k.*e.single;
    f.shape = i.shape;
    f.name = i.name;
    TVN_TRY(load_function(api, module, i.name, &f.fn));
    if (i.shared_limit) TVN_TRY(set_shared_limit(api, f.fn, i.shared_limit, i.name));
    return {};
  }
  HalfKernel& pair = k.*e.pair;
  pair.shape = i.shape;
  const std::vector<std::string> names = module_names(e);
  TVN_TRY(load_function(api, module, names[0], &pair.bf16));
  TVN_TRY(load_function(api, module, names[1], &pair.f16));
  if (i.shared_limit) {
    TVN_TRY(set_shared_limit(api, pair.bf16, i.shared_limit, i.name));
    TVN_TRY(set_shared_limit(api, pair.f16, i.shared_limit, i.name));
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

std::span<const KernelEntryInfo> kernel_entries() { return kInfos.v; }

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
  // A dry run only counts the creation (its launches are not enqueued).
  if (es.plan && !es.plan->create_scratch()) return uint64_t{0};
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
