// How the engine enqueues a kernel: the launch description shared by every
// dispatch table and by the cast launches of the upcast fallback.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string_view>

#include "driver.h"
#include "error.h"

namespace tesvan {

class LaunchPlan;

// The engine's stream with what every launch and allocation needs.
struct EngineStream {
  const cu::CudaApi* api = nullptr;
  cu::CUcontext ctx = nullptr;
  cu::CUstream stream = nullptr;
  bool memory_pools = false;  // stream-ordered allocation available
  // Keeps the stream (and through it the context) alive while any copy of
  // this description exists, so buffers released after the engine still
  // have their stream; empty for a stream owned elsewhere.
  std::shared_ptr<cu::CUstream_st> owner;
  // While set, launches and scratch creation are handed to the plan instead
  // of the driver (a call's dry run, launch_plan.h).
  LaunchPlan* plan = nullptr;
};

struct Grid {
  unsigned x = 1, y = 1, z = 1;
};

// How a kernel is launched: the block its __launch_bounds__ names and the
// dynamic shared memory it is given.  Written once, in the table entry of
// kernels.cpp; dispatch code supplies only the grid and the arguments.
struct LaunchShape {
  Grid block;
  unsigned shared = 0;  // dynamic shared bytes
  // Plus this many bytes per reduction element, for a kernel that stages a
  // whole operand row (the ultra-thin kernels: one f32 per K).
  unsigned shared_per_k = 0;
  // Its first three arguments (output or partial slab, then the two
  // operands) are moved four f32 at a time (16-byte cp.async, ld.global.v4,
  // float4 stores), so pointers into caller operands there must be 16-byte
  // aligned.
  bool wide_operands = false;
};

// One loaded function with its launch shape.
struct Kernel {
  cu::CUfunction fn = nullptr;
  LaunchShape shape;
  const char* name = nullptr;  // as in the module, for messages (single kernels)
  // The shape for a reduction of k elements (identity unless shared_per_k).
  Kernel for_reduction(uint64_t k) const {
    Kernel r = *this;
    r.shape.shared += static_cast<unsigned>(shape.shared_per_k * k);
    return r;
  }
};

// One kernel argument: a device address, a 32-bit int or a 32-bit float.
class KernelArg {
 public:
  static KernelArg ptr(uint64_t address) { return KernelArg(address, true); }
  static KernelArg i32(int32_t v) { return KernelArg(static_cast<uint32_t>(v)); }
  static KernelArg f32(float v);

  // The value's bytes; a 4-byte value sits in the low bytes (little-endian).
  uint64_t bits() const { return bits_; }
  // A device address (what a launch plan checks against the operands).
  bool is_pointer() const { return pointer_; }

 private:
  explicit KernelArg(uint64_t bits, bool pointer = false) : bits_(bits), pointer_(pointer) {}
  uint64_t bits_;
  bool pointer_;
};

inline constexpr int kMaxKernelArgs = 16;

// Makes the engine context current and enqueues the kernel on the engine
// stream with its own block and dynamic shared memory.  Returns the driver
// result; no host allocation.  Under a plan the launch is only recorded there
// and succeeds.
cu::CUresult launch_raw(const EngineStream& es, const Kernel& k, Grid grid,
                        std::initializer_list<KernelArg> args);

// As launch_raw; a refusal becomes Error::Cuda(context + driver error).
inline Status launch(const EngineStream& es, const Kernel& k, Grid grid,
                     std::initializer_list<KernelArg> args, std::string_view context) {
  return cu::check(launch_raw(es, k, grid, args), context);
}

// ceil(x / d) on the low 32 bits of x.
inline uint32_t ceil_div(uint64_t x, uint32_t d) {
  const uint32_t v = static_cast<uint32_t>(x);
  return v / d + (v % d != 0 ? 1 : 0);
}

// The low 32 bits of a shape value, as a kernel's int argument.
inline int32_t low32(uint64_t v) { return static_cast<int32_t>(static_cast<uint32_t>(v)); }

}  // namespace tesvan
