// The per-tier bucket dispatch: for each operation and tier, an ordered list
// of shape tests (first match wins) that picks one kernel or a fixed kernel
// sequence and enqueues it on the engine stream.  A shape that no bucket
// serves launches nothing and returns Error::NoBucket, which is how a tier
// hands a shape to the next one.
#pragma once

#include <cstdint>

#include "error.h"
#include "kernels.h"
#include "launch.h"
#include "types.h"

namespace tesvan {

// f32 tier.  out[M,N] = a[M,K] * b[K,N] (+ bias[N]); bias 0 means none.
Status tesvan_forward(const EngineStream& es, Kernels& k, uint64_t out, uint64_t a, uint64_t b,
                      uint64_t bias, Dims d);
// dw[K,N] += x[M,K]^T * dy[M,N].
Status tesvan_backward_dw(const EngineStream& es, Kernels& k, uint64_t dw, uint64_t dy, uint64_t x,
                          Dims d);
// dx[M,K] = dy[M,N] * w[K,N]^T.
Status tesvan_backward_dx(const EngineStream& es, Kernels& k, uint64_t dx, uint64_t dy, uint64_t w,
                          Dims d);

// Typed scalar tier (bf16/f16 operands; bias and dw are f32).
Status tesvan_forward_typed(const EngineStream& es, Kernels& k, Operand out, Operand a, Operand b,
                            uint64_t bias, Dims d);
Status tesvan_backward_dw_typed(const EngineStream& es, Kernels& k, uint64_t dw, Operand dy,
                                Operand x, Dims d);
Status tesvan_backward_dx_typed(const EngineStream& es, Kernels& k, Operand dx, Operand dy,
                                Operand w, Dims d);

// Tensor-core tier (bf16/f16 operands; bias and dw are f32).  min_rows is
// the fewest batch rows (M) served: 64 for the tiers, 1 for the
// batch-invariant routing (the 64-tile kernel masks the rows it lacks).
Status tesvan_forward_tc(const EngineStream& es, Kernels& k, Operand out, Operand a, Operand b,
                         uint64_t bias, Dims d, uint64_t min_rows = 64);
Status tesvan_backward_dw_tc(const EngineStream& es, Kernels& k, uint64_t dw, Operand dy, Operand x,
                             Dims d);
Status tesvan_backward_dx_tc(const EngineStream& es, Kernels& k, Operand dx, Operand dy, Operand w,
                             Dims d, uint64_t min_rows = 64);

}  // namespace tesvan
