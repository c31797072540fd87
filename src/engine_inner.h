// What one Python Engine holds: the engine, its context, the two events that
// order the engine stream against the caller's stream, and the routing of
// every call to the engine's tiers.  Not synchronised: the caller serialises
// (the Python object's mutex).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "driver.h"
#include "engine.h"
#include "error.h"
#include "types.h"

namespace tesvan {

// The element type a dtype string names: "float32"/"f32", "bfloat16"/"bf16",
// "float16"/"f16"/"half"; nothing for any other string.
std::optional<DType> parse_dtype(std::string_view s);

// A retained primary context, released with its last reference.
using ContextRef = std::shared_ptr<cu::CUctx_st>;

class EngineInner {
 public:
  // Driver, device, primary context, stream, engine, events, in that order;
  // whatever was created is released again on failure.  With
  // batch_invariant, forward and backward_dx take the batch-invariant routing
  // (dispatch_invariant.h) instead of the tiers.
  static Result<std::unique_ptr<EngineInner>> create(uint64_t device,
                                                     bool batch_invariant = false);
  // As create, with the kernel table built from a given kernel source.
  static Result<std::unique_ptr<EngineInner>> create_from_source(uint64_t device,
                                                                 std::string source,
                                                                 bool batch_invariant = false);
  ~EngineInner();
  EngineInner(const EngineInner&) = delete;
  EngineInner& operator=(const EngineInner&) = delete;

  // One operation ordered against the caller's stream: t is F32 for the f32
  // tier; with tensor_cores a 16-bit call tries the tensor-core tier first
  // and takes the typed tier only on its no-bucket answer.  bias 0: none.
  // In the batch-invariant mode forward and backward_dx take the invariant
  // routing instead; backward_dw always takes the tiers.
  Status forward(uint64_t caller_stream, uint64_t out, uint64_t a, uint64_t b, uint64_t bias,
                 Dims d, DType t, bool tensor_cores);
  Status backward_dx(uint64_t caller_stream, uint64_t dx, uint64_t dy, uint64_t w, Dims d,
                     DType t, bool tensor_cores);
  Status backward_dw(uint64_t caller_stream, uint64_t dw, uint64_t dy, uint64_t x, Dims d,
                     DType t, bool tensor_cores);

  Status presize_upcast_scratch(uint64_t a_elems, uint64_t b_elems, uint64_t c_elems);
  // Blocks until the engine stream has drained.
  Status synchronize();

  Tesvan& engine() { return *engine_; }
  bool batch_invariant() const { return batch_invariant_; }
  cu::CUstream stream() const { return stream_; }

 private:
  EngineInner() = default;
  static Result<std::unique_ptr<EngineInner>> build(uint64_t device, const std::string* source,
                                                    bool batch_invariant);
  Status bind_context() const;
  template <class Op>
  Status bridged(uint64_t caller_stream, Op&& op);

  const cu::CudaApi* api_ = nullptr;
  std::optional<Tesvan> engine_;
  ContextRef ctx_;
  cu::CUevent ev_in_ = nullptr;
  cu::CUevent ev_out_ = nullptr;
  cu::CUstream stream_ = nullptr;
  bool batch_invariant_ = false;
};

}  // namespace tesvan
