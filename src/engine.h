// Tesvan: the per-device engine.  It owns the engine stream (shared with the
// buffers made on it), the kernel table and the three upcast cells, and
// offers every operation in three tiers: f32, typed scalar (with the upcast
// fallback behind it) and tensor-core.
#pragma once

#include <cstdint>
#include <string>

#include "device_buffer.h"
#include "error.h"
#include "kernels.h"
#include "launch.h"
#include "launch_plan.h"
#include "types.h"

namespace tesvan {

// The compilation target for a compute capability, or UnsupportedArch below
// 8.0.  Always one of six static strings.
Result<const char*> compile_target(uint32_t major, uint32_t minor);

// Accepts shapes whose values are at most 2^31 - 1 and whose operands of
// (M, K), (K, N) and (M, N) elements hold fewer than 2^31 elements: the
// kernels take 32-bit dimensions and several index in 32-bit arithmetic.
// `op` names the operation in the error.
Status check_shape(Dims d, const char* op);

// Every entry point below checks its operands before it enqueues anything:
// each address aligned to its element size, an output not overlapping an
// input, and every matrix handed to a kernel that moves 16 bytes at a time
// aligned to 16 bytes (found by a dry run of the call's launches).  A call
// that would create scratch while the engine stream is being captured into
// a CUDA graph is refused; prepare_capture creates it beforehand.
class Tesvan {
 public:
  // Reads the compute capability of the context's device, picks the target
  // and builds the kernel table from the embedded source.  The context of
  // `es` must be current; `es` should own its stream.
  static Result<Tesvan> create(const EngineStream& es);
  // As create, from a given kernel source (fixture kernels).
  static Result<Tesvan> create_from_source(const EngineStream& es, std::string source);

  const EngineStream& stream() const { return stream_; }
  Kernels& kernels() { return kernels_; }

  // f32 tier.  bias 0 means no bias.
  Status forward_f32(uint64_t out, uint64_t a, uint64_t b, uint64_t bias, Dims d);
  Status backward_dx_f32(uint64_t dx, uint64_t dy, uint64_t w, Dims d);
  Status backward_dw_f32(uint64_t dw, uint64_t dy, uint64_t x, Dims d);

  // Tensor-core tier; NoBucket when it does not serve the shape.
  Status forward_tc(Operand out, Operand a, Operand b, uint64_t bias, Dims d);
  Status backward_dx_tc(Operand dx, Operand dy, Operand w, Dims d);
  Status backward_dw_tc(uint64_t dw, Operand dy, Operand x, Dims d);

  // Typed scalar tier, falling back to the f32 tier on upcast operands when
  // the typed tier has no bucket.  dw and bias are f32.
  Status forward(Operand out, Operand a, Operand b, uint64_t bias, Dims d);
  Status backward_dx(Operand dx, Operand dy, Operand w, Dims d);
  Status backward_dw(uint64_t dw, Operand dy, Operand x, Dims d);

  // Batch-invariant forward and dX (dispatch_invariant.h): one reduction
  // order per (dtype, tensor_cores, K, N) for every M; t may be F32.
  Status forward_invariant(Operand out, Operand a, Operand b, uint64_t bias, Dims d,
                           bool tensor_cores);
  Status backward_dx_invariant(Operand dx, Operand dy, Operand w, Dims d, bool tensor_cores);

  // Elementwise conversions of n elements, at most 2^31 - 1 (the kernels
  // take a 32-bit count); the downcast rounds to nearest even.
  Status upcast_to_f32(uint64_t src, DType t, uint64_t dst, uint64_t n);
  Status downcast_from_f32(uint64_t dst, DType t, uint64_t src, uint64_t n);

  // Grows the upcast cells A, B, C to at least max(count, 1) f32 elements
  // each, in that order, stopping at the first failure.
  Status presize_upcast_scratch(uint64_t a_elems, uint64_t b_elems, uint64_t c_elems);

  // Runs calls(*this), entry-point calls with any addresses, as a dry run
  // that creates every scratch buffer and upcast cell they need and
  // launches nothing; afterwards calls of those shapes allocate nothing.
  // Refused while the engine stream is being captured.
  template <class Calls>
  Status prepare(Calls&& calls) {
    // Inside a capture its allocations would belong to the graph.
    TVN_TRY(refuse_in_capture("prepare_capture"));
    LaunchPlan plan("prepare_capture", {}, LaunchPlan::Scratch::Create);
    PlanScope scope(stream_, plan);
    return calls(*this);
  }

  // Element count of upcast cell 0 (A), 1 (B) or 2 (C); 0 while absent.
  uint64_t upcast_elements(int cell) const { return upcast_[cell].elements(); }

 private:
  Tesvan(EngineStream stream, Kernels kernels)
      : kernels_(std::move(kernels)), stream_(std::move(stream)) {}

  static Result<Tesvan> build(const EngineStream& es, const std::string* source);
  // The operand checks and the dry run, then body() for real.
  template <class Body>
  Status checked(const char* op, std::span<const OperandSpan> operands, Body&& body);
  Status refuse_in_capture(const char* op) const;
  // The fallback's first steps: size cells A, B, C for the three counts,
  // then convert the two typed operands into A and B.
  Status stage_upcast(Operand first, uint64_t first_elems, Operand second,
                      uint64_t second_elems, uint64_t out_elems);
  Status grow(DeviceBuffer& cell, uint64_t need);
  uint64_t cell(int i) const { return upcast_[i].address(); }

  // Declared in reverse of the release order: the stream reference goes
  // first, then the kernel table, then the upcast cells (each buffer keeps
  // the stream alive for its own release).
  DeviceBuffer upcast_[3];
  Kernels kernels_;
  EngineStream stream_;
};

}  // namespace tesvan
