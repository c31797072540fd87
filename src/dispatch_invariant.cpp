// Batch-invariant routing.  Within the chain order the kernel may change
// with M (the chain kernels give the same bits for the same element), so
// each launch takes the widest chain tile whose grid still has kFillBlocks
// blocks, and the narrowest tile otherwise: wide tiles reload less, but at
// a small batch only a narrow tile keeps the device busy.  The launch rows
// are those of the default tables (the invariant tests compare them).
#include "dispatch_invariant.h"

#include "dispatch.h"
#include "dispatch_common.h"
#include "dispatch_regions.h"

namespace tesvan {
namespace {

using namespace dispatch;  // the argument spellings and shape helpers

// The multiprocessor count the split buckets are sized for (they split
// below 142 tiles); here it decides when a wider tile still fills the GPU.
constexpr uint32_t kFillBlocks = 142;

bool fills(uint32_t blocks) { return blocks >= kFillBlocks; }

// Forward chain kernels, widest first; the big and slim tiles only where
// the default tables use them (M >= 512 and N >= 513; M >= 128 and N >= 128).
enum class ForwardTile { Big, Slim, Narrow, NarrowSmall };

ForwardTile forward_tile(Dims d, bool has_slim) {
  if (d.m >= 512 && d.n >= 513 && fills(tile_count(d.m, 128, d.n, 128))) return ForwardTile::Big;
  if (has_slim && d.m >= 128 && d.n >= 128 && fills(tile_count(d.m, 128, d.n, 64))) {
    return ForwardTile::Slim;
  }
  if (fills(tile_count(d.m, 64, d.n, 32))) return ForwardTile::Narrow;
  return ForwardTile::NarrowSmall;
}

Status forward_chain_f32(const EngineStream& es, Kernels& k, uint64_t out, uint64_t a, uint64_t b,
                         uint64_t bias, Dims d) {
  const uint64_t m = d.m, kk = d.k, n = d.n;
  switch (forward_tile(d, true)) {
    case ForwardTile::Big:
      return launch(es, k.nn, {ceil_div(n, 128) * ceil_div(m, 128)}, {256}, 34816,
                    {ptr(out), ptr(a), ptr(b), ptr(bias), f32(1.0f), f32(0.0f), i32(m), i32(n),
                     i32(kk), i32(kk), i32(n), i32(n)},
                    "tesvan_nn (batch-invariant): ");
    case ForwardTile::Slim:
      return launch(es, k.nn_slim, {ceil_div(n, 64) * ceil_div(m, 128)}, {128}, 0,
                    {ptr(out), ptr(a), ptr(b), ptr(bias), f32(1.0f), f32(0.0f), i32(m), i32(n),
                     i32(kk), i32(kk), i32(n), i32(n)},
                    "tesvan_nn_slim (batch-invariant): ");
    case ForwardTile::Narrow:
      return launch(es, k.nn_narrow, {ceil_div(m, 64) * ceil_div(n, 32)}, {128}, 0,
                    {ptr(out), ptr(a), ptr(b), ptr(bias), f32(1.0f), f32(0.0f), i32(m), i32(n),
                     i32(kk), i32(kk), i32(n), i32(n), i32(0)},
                    "tesvan_nn_narrow (batch-invariant): ");
    case ForwardTile::NarrowSmall:
      break;
  }
  return launch(es, k.nn_narrow_small, {ceil_div(m, 16) * ceil_div(n, 16)}, {64}, 0,
                {ptr(out), ptr(a), ptr(b), ptr(bias), f32(1.0f), f32(0.0f), i32(m), i32(n),
                 i32(kk), i32(kk), i32(n), i32(n), i32(0)},
                "tesvan_nn_narrow_small (batch-invariant): ");
}

// The typed tier has no slim twin; its narrow tiles take those shapes.
Status forward_chain_typed(const EngineStream& es, Kernels& k, Operand out, Operand a, Operand b,
                           uint64_t bias, Dims d) {
  const uint64_t m = d.m, kk = d.k, n = d.n;
  const DType t = out.type;
  switch (forward_tile(d, false)) {
    case ForwardTile::Big:
      return launch(es, k.nn_big.pick(t), {ceil_div(m, 128) * ceil_div(n, 128)}, {256}, 34816,
                    {ptr(out.ptr), ptr(a.ptr), ptr(b.ptr), ptr(bias), f32(1.0f), f32(0.0f), i32(m),
                     i32(n), i32(kk), i32(kk), i32(n), i32(n)},
                    "tesvan_nn_big typed (batch-invariant): ");
    case ForwardTile::Narrow:
      return launch(es, k.nn_narrow_t.pick(t), {ceil_div(m, 64) * ceil_div(n, 32)}, {128}, 0,
                    {ptr(out.ptr), ptr(a.ptr), ptr(b.ptr), ptr(bias), f32(1.0f), f32(0.0f), i32(m),
                     i32(n), i32(kk), i32(kk), i32(n), i32(n), i32(0)},
                    "tesvan_nn_narrow typed (batch-invariant): ");
    case ForwardTile::Slim:
    case ForwardTile::NarrowSmall:
      break;
  }
  return launch(es, k.nn_narrow_small_t.pick(t), {ceil_div(m, 16) * ceil_div(n, 16)}, {64}, 0,
                {ptr(out.ptr), ptr(a.ptr), ptr(b.ptr), ptr(bias), f32(1.0f), f32(0.0f), i32(m),
                 i32(n), i32(kk), i32(kk), i32(n), i32(n), i32(0)},
                "tesvan_nn_narrow_small typed (batch-invariant): ");
}

// dX chain kernels over the output [M, K]; the big and slim tiles only
// where the default tables use them (N >= 128).
enum class DxTile { Big, Slim, Narrow };

DxTile dx_tile(Dims d, bool has_slim) {
  if (d.m >= 512 && d.k >= 513 && d.n >= 128 && fills(tile_count(d.k, 128, d.m, 128))) {
    return DxTile::Big;
  }
  if (has_slim && d.m >= 128 && d.n >= 128 && fills(tile_count(d.k, 64, d.m, 128))) {
    return DxTile::Slim;
  }
  return DxTile::Narrow;
}

Status backward_dx_chain_f32(const EngineStream& es, Kernels& k, uint64_t dx, uint64_t dy,
                             uint64_t w, Dims d) {
  const uint64_t m = d.m, kk = d.k, n = d.n;
  switch (dx_tile(d, true)) {
    case DxTile::Big:
      return launch(es, k.nt, {ceil_div(kk, 128) * ceil_div(m, 128)}, {256}, 34816,
                    {ptr(dx), ptr(dy), ptr(w), f32(1.0f), i32(m), i32(n), i32(kk)},
                    "tesvan_nt (batch-invariant): ");
    case DxTile::Slim:
      return launch(es, k.nt_slim, {ceil_div(kk, 64) * ceil_div(m, 128)}, {128}, 0,
                    {ptr(dx), ptr(dy), ptr(w), f32(1.0f), i32(m), i32(n), i32(kk)},
                    "tesvan_nt_slim (batch-invariant): ");
    case DxTile::Narrow:
      break;
  }
  return launch(es, k.nt_narrow, {ceil_div(kk, 32) * ceil_div(m, 64)}, {128}, 0,
                {ptr(dx), ptr(dy), ptr(w), f32(1.0f), i32(m), i32(n), i32(kk)},
                "tesvan_nt_narrow (batch-invariant): ");
}

Status backward_dx_chain_typed(const EngineStream& es, Kernels& k, Operand dx, Operand dy,
                               Operand w, Dims d) {
  const uint64_t m = d.m, kk = d.k, n = d.n;
  const DType t = dx.type;
  if (dx_tile(d, false) == DxTile::Big) {
    return launch(es, k.nt_big.pick(t), {ceil_div(m, 128) * ceil_div(kk, 128)}, {256}, 34816,
                  {ptr(dx.ptr), ptr(dy.ptr), ptr(w.ptr), f32(1.0f), i32(m), i32(n), i32(kk)},
                  "tesvan_nt_big typed (batch-invariant): ");
  }
  return launch(es, k.nt_narrow_t.pick(t), {ceil_div(m, 64) * ceil_div(kk, 32)}, {128}, 0,
                {ptr(dx.ptr), ptr(dy.ptr), ptr(w.ptr), f32(1.0f), i32(m), i32(n), i32(kk)},
                "tesvan_nt_narrow typed (batch-invariant): ");
}

// The order shared by both operations, from the output's column count
// (forward N, dX K) and the reduction length (forward K, dX N).  The
// tensor-core kernels serve every reduction length, an empty one included.
InvariantOrder order_for(DType t, bool tensor_cores, uint64_t out_cols, uint64_t reduction) {
  if (t != DType::F32 && tensor_cores && out_cols >= 64) return InvariantOrder::TensorCore;
  if (out_cols >= 1 && reduction >= 1) return InvariantOrder::Chain;
  return InvariantOrder::None;
}

}  // namespace

InvariantOrder invariant_forward_order(DType t, bool tensor_cores, uint64_t k, uint64_t n) {
  return order_for(t, tensor_cores, n, k);
}

InvariantOrder invariant_backward_dx_order(DType t, bool tensor_cores, uint64_t k, uint64_t n) {
  return order_for(t, tensor_cores, k, n);
}

Status tesvan_forward_invariant(const EngineStream& es, Kernels& k, Operand out, Operand a,
                                Operand b, uint64_t bias, Dims d, bool tensor_cores) {
  if (a.type != out.type || b.type != out.type) {
    return Error::dtype_mismatch("tesvan_forward_invariant: mixed dtypes");
  }
  const InvariantOrder order = invariant_forward_order(out.type, tensor_cores, d.k, d.n);
  // An empty batch has no rows to order; refused like an unserved (K, N).
  if (order == InvariantOrder::None || d.m == 0) {
    return Error::no_bucket(d.m, d.k, d.n, kInvariantForwardLabel);
  }
  if (order == InvariantOrder::TensorCore) return tesvan_forward_tc(es, k, out, a, b, bias, d, 1);
  if (out.type == DType::F32) return forward_chain_f32(es, k, out.ptr, a.ptr, b.ptr, bias, d);
  return forward_chain_typed(es, k, out, a, b, bias, d);
}

Status tesvan_backward_dx_invariant(const EngineStream& es, Kernels& k, Operand dx, Operand dy,
                                    Operand w, Dims d, bool tensor_cores) {
  if (dy.type != dx.type || w.type != dx.type) {
    return Error::dtype_mismatch("tesvan_backward_dx_invariant: mixed dtypes");
  }
  const InvariantOrder order = invariant_backward_dx_order(dx.type, tensor_cores, d.k, d.n);
  if (order == InvariantOrder::None || d.m == 0) {
    return Error::no_bucket(d.m, d.k, d.n, kInvariantBackwardDxLabel);
  }
  if (order == InvariantOrder::TensorCore) return tesvan_backward_dx_tc(es, k, dx, dy, w, d, 1);
  if (dx.type == DType::F32) return backward_dx_chain_f32(es, k, dx.ptr, dy.ptr, w.ptr, d);
  return backward_dx_chain_typed(es, k, dx, dy, w, d);
}

}  // namespace tesvan
