// The kernel table: one function handle per kernel of the loaded module,
// grouped as f32 kernels, bf16/f16 pairs and cast kernels, plus the two
// once-only scratch slots of the split paths.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "device_buffer.h"
#include "driver.h"
#include "error.h"
#include "kernel_build.h"
#include "launch.h"
#include "types.h"

namespace tesvan {

// One typed kernel in both 16-bit element types; both share one shape.
struct HalfKernel {
  cu::CUfunction bf16 = nullptr;  // <base>_bf16
  cu::CUfunction f16 = nullptr;   // <base>_f16
  LaunchShape shape;
  Kernel pick(DType t) const { return {t == DType::F16 ? f16 : bf16, shape}; }
};

// A table entry as the tests see it: the name (a pair's base name), whether
// it is a bf16/f16 pair, its launch shape and the raised dynamic shared
// memory limit (0: the default).
struct KernelEntryInfo {
  const char* name;
  bool pair;
  LaunchShape shape;
  unsigned shared_limit;
};
// Every entry in load order.
std::span<const KernelEntryInfo> kernel_entries();

inline constexpr uint64_t kSplitkScratchElems = 8388608;     // 32 MiB of f32
inline constexpr uint64_t kTransposeScratchElems = 4194304;  // 16 MiB of f32

class Kernels {
 public:
  // Assembles, compiles or reads from the cache, loads, and builds the table
  // (the 42 lookups in order).  The engine context must be current.
  static Result<Kernels> compile(const EngineStream& es, std::string_view target);

  // As compile, for a given joined kernel source instead of the embedded one
  // (fixture kernels that define the table's functions).
  static Result<Kernels> compile_source(const EngineStream& es, std::string_view target,
                                        std::string source);

  // The table from an already loaded module: the 42 lookups in order, with
  // the raised shared-memory limits.  The first failure is returned.
  static Result<Kernels> from_module(const EngineStream& es, ModuleRef module);

  // Device address of the split-K scratch, created zeroed on first use.
  Result<uint64_t> splitk_ptr(const EngineStream& es);
  // Device address of the transpose scratch, created zeroed on first use.
  Result<uint64_t> transpose_ptr(const EngineStream& es);

  // f32 kernels, named after the kernel without its "tesvan_" prefix.
  Kernel nn, tn, nt;
  Kernel nn_slim, tn_slim, nt_slim;
  Kernel nn_gemv, tn_gemv, nt_gemv;
  Kernel nn_ultra_thin;
  Kernel nn_narrow, nn_narrow_small, tn_narrow, nt_narrow;
  Kernel nn_splitk32_partial, nn_splitk_slim_partial, tn_splitm_partial;
  Kernel splitk_reduce, splitm_reduce;
  Kernel dx_col_gemv, transpose_f32_2d;

  // bf16/f16 pairs, named after the base name without "tesvan_".
  HalfKernel nn_gemv_t, tn_gemv_t, nt_gemv_t, nn_ultra_thin_t;
  HalfKernel nn_narrow_t, nn_narrow_small_t, tn_narrow_t, nt_narrow_t;
  HalfKernel nn_big, tn_big, nt_big;
  HalfKernel nn_tc, tn_tc, nt_tc;
  HalfKernel nn_tc64, tn_tc64, nt_tc64;

  // tvn_cast_<from>_to_<to>
  Kernel cast_f32_to_bf16, cast_bf16_to_f32, cast_f32_to_f16, cast_f16_to_f32;

 private:
  struct Slot {
    DeviceBuffer buffer;
    uint64_t address = 0;
  };
  Result<uint64_t> fill_slot(Slot& slot, const EngineStream& es, uint64_t elems,
                             const char* alloc_context, const char* empty_message);

  ModuleRef module_;
  Slot splitk_;
  Slot transpose_;
};

}  // namespace tesvan
