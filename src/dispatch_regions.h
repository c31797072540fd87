// Shape arithmetic shared by the dispatch tables, and the regions that the
// f32 tier serves with its split buckets.  The typed tier declines exactly
// these regions (its kernels have no split twins), so a typed shape runs
// natively only where the f32 tier would run the f32 twin of its kernel.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>

#include "kernels.h"
#include "launch.h"
#include "types.h"

namespace tesvan::dispatch {

// Whether the product of the factors is at most `limit`, without overflow
// for any 64-bit factors.
inline bool product_at_most(std::initializer_list<uint64_t> factors, uint64_t limit) {
  for (uint64_t f : factors) {
    if (f == 0) return true;
  }
  uint64_t p = 1;
  for (uint64_t f : factors) {
    if (f > limit / p) return false;
    p *= f;
  }
  return true;
}

// Output tiles of rows x cols in tiles of tr x tc: a 32-bit product of
// 32-bit ceilings.
inline uint32_t tile_count(uint64_t rows, uint32_t tr, uint64_t cols, uint32_t tc) {
  return ceil_div(rows, tr) * ceil_div(cols, tc);
}

// f32 forward: the split-K buckets, with and without a K tail.
bool forward_splitk32(Dims d);

// f32 backward_dw: the split of the batch axis into row chunks.
struct SplitM {
  uint32_t tiles;       // 128 x 128 tiles of dW
  uint32_t chunk_rows;  // a multiple of 16
  uint32_t chunks;      // at least 2
};
std::optional<SplitM> backward_dw_split_m(Dims d);

// f32 backward_dx: the three transpose-then-split buckets.
bool backward_dx_ktail_split(Dims d);
bool backward_dx_via_t_split(Dims d);
bool backward_dx_slim_split(Dims d);

}  // namespace tesvan::dispatch
