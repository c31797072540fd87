// The batch-invariant routing of forward and backward_dx: for each
// (operation, dtype, tensor_cores, K, N) one reduction order that serves
// every batch size M >= 1, so that an output row depends only on its own
// input row, the right operand (and bias), never on M or the other rows.
//
// The orders are the two that already hold across tiles: the ascending
// fused multiply-add chain of the tiled scalar kernels (big, slim, narrow,
// narrow-small, f32 and typed twins alike; a typed result is the f32 chain on
// the widened operands rounded once) and the tensor-core tier's order (its
// 128- and 64-tile kernels agree, and the 64-tile kernel masks missing
// rows).  Split-K, the ultra-thin tree and the GEMV tree are never used: their
// order differs from the chain's and they serve only some M.
//
// backward_dw is not routed here: its reduction runs over M itself.
#pragma once

#include <cstdint>

#include "error.h"
#include "kernels.h"
#include "launch.h"
#include "types.h"

namespace tesvan {

enum class InvariantOrder {
  None,        // not served: every M fails with the same no-bucket error
  Chain,       // one ascending fused multiply-add chain per element
  TensorCore,  // the tensor-core tier's fixed order
};

// The order for a forward out[M,N] = a[M,K] * b[K,N] of element type t.
InvariantOrder invariant_forward_order(DType t, bool tensor_cores, uint64_t k, uint64_t n);
// The order for a backward_dx dx[M,K] = dy[M,N] * w[K,N]^T (reduction over N).
InvariantOrder invariant_backward_dx_order(DType t, bool tensor_cores, uint64_t k, uint64_t n);

// The no-bucket labels of the mode; the error names the shape, and is the
// same for every M of an unserved (K, N).
inline constexpr const char* kInvariantForwardLabel = "tesvan_forward (batch-invariant)";
inline constexpr const char* kInvariantBackwardDxLabel = "tesvan_backward_dx (batch-invariant)";

// One launch in the order above; all operands of one element type (bias f32).
Status tesvan_forward_invariant(const EngineStream& es, Kernels& k, Operand out, Operand a,
                                Operand b, uint64_t bias, Dims d, bool tensor_cores);
Status tesvan_backward_dx_invariant(const EngineStream& es, Kernels& k, Operand dx, Operand dy,
                                    Operand w, Dims d, bool tensor_cores);

}  // namespace tesvan
