// Small pieces shared by the dispatch tables: short spellings for argument
// lists, so that each launch reads like its row of the table, and the texts
// common to the typed and tensor-core tiers.
#pragma once

#include <cstdint>

#include "launch.h"

namespace tesvan::dispatch {

// A device address (0 is null).
inline KernelArg ptr(uint64_t address) { return KernelArg::ptr(address); }
// A shape value or count: its low 32 bits as the kernel's int.
inline KernelArg i32(uint64_t v) { return KernelArg::i32(low32(v)); }
inline KernelArg f32(float v) { return KernelArg::f32(v); }

// A shape value's low 32 bits as a grid dimension.
inline uint32_t u32(uint64_t v) { return static_cast<uint32_t>(v); }

// The 32-bit product of two shape values' low 32 bits (a 1-D grid's
// element count).
inline uint32_t product32(uint64_t a, uint64_t b) { return u32(a) * u32(b); }

// The address of element `index` of an f32 matrix.
inline uint64_t f32_elem(uint64_t base, uint64_t index) { return base + 4 * index; }

// The 16-bit tiers refuse an f32 output (dW: an f32 dY).
inline constexpr const char* kF32OperandMessage =
    "operand is f32 \xE2\x80\x94 use the f32 entry points";

}  // namespace tesvan::dispatch
