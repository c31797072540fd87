// Small value types shared by every layer of the engine.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tesvan {

// Element type of one operand.
enum class DType : uint32_t { F32 = 0, BF16 = 1, F16 = 2 };

inline constexpr size_t dtype_size(DType t) { return t == DType::F32 ? 4 : 2; }

// The shape triple, always (M, K, N), for all three operations.
struct Dims {
  uint64_t m = 0, k = 0, n = 0;
};

// A typed operand: a device address and its element type.
struct Operand {
  uint64_t ptr = 0;
  DType type = DType::F32;
};

}  // namespace tesvan
