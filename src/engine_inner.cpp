#include "engine_inner.h"

#include <climits>
#include <utility>

namespace tesvan {
namespace {

// A failed driver call of the Python layer: "CUDA error: <rendering>" once
// displayed.
Status driver_step(cu::CUresult r) { return cu::check(r, ""); }

// The tensor-core tier first when asked for; only its no-bucket answer hands
// the call to the scalar tier, and that answer is dropped.
template <class TensorCore, class Scalar>
Status tiered(bool tensor_cores, TensorCore&& tensor_core, Scalar&& scalar) {
  if (tensor_cores) {
    Status tc = tensor_core();
    if (tc.ok() || !tc.error().is_no_bucket()) return tc;
  }
  return scalar();
}

}  // namespace

std::optional<DType> parse_dtype(std::string_view s) {
  if (s == "float32" || s == "f32") return DType::F32;
  if (s == "bfloat16" || s == "bf16") return DType::BF16;
  if (s == "float16" || s == "f16" || s == "half") return DType::F16;
  return std::nullopt;
}

Result<std::unique_ptr<EngineInner>> EngineInner::create(uint64_t device, bool batch_invariant) {
  return build(device, nullptr, batch_invariant);
}

Result<std::unique_ptr<EngineInner>> EngineInner::create_from_source(uint64_t device,
                                                                     std::string source,
                                                                     bool batch_invariant) {
  return build(device, &source, batch_invariant);
}

Result<std::unique_ptr<EngineInner>> EngineInner::build(uint64_t device, const std::string* source,
                                                        bool batch_invariant) {
  Result<const cu::CudaApi*> loaded = cu::cuda();
  if (!loaded.ok()) return std::move(loaded).error();
  const cu::CudaApi& api = *loaded.value();

  // Filled step by step; on any failure its destructor releases what exists.
  std::unique_ptr<EngineInner> inner(new EngineInner());
  inner->api_ = &api;
  inner->batch_invariant_ = batch_invariant;
  TVN_TRY(driver_step(api.cuInit(0)));
  // An ordinal beyond int range names no device; -1 lets the driver say so
  // instead of truncating to some other device.
  cu::CUdevice dev = 0;
  TVN_TRY(driver_step(api.cuDeviceGet(&dev, device <= INT_MAX ? static_cast<int>(device) : -1)));
  cu::CUcontext raw_ctx = nullptr;
  TVN_TRY(driver_step(api.cuDevicePrimaryCtxRetain(&raw_ctx, dev)));
  auto release_ctx = api.cuDevicePrimaryCtxRelease;
  inner->ctx_ = ContextRef(raw_ctx, [release_ctx, dev](cu::CUcontext) { release_ctx(dev); });
  int pools = 0;
  TVN_TRY(driver_step(
      api.cuDeviceGetAttribute(&pools, cu::CU_DEVICE_ATTRIBUTE_MEMORY_POOLS_SUPPORTED, dev)));
  TVN_TRY(driver_step(cu::make_current(api, raw_ctx)));
  // Construction waits for everything already queued in the context.
  TVN_TRY(driver_step(api.cuCtxSynchronize()));

  cu::CUstream raw_stream = nullptr;
  TVN_TRY(driver_step(api.cuStreamCreate(&raw_stream, cu::CU_STREAM_NON_BLOCKING)));
  EngineStream es;
  es.api = &api;
  es.ctx = raw_ctx;
  es.stream = raw_stream;
  es.memory_pools = pools > 0;
  // The stream keeps its context: buffers may outlive the engine object.
  auto destroy_stream = api.cuStreamDestroy;
  es.owner = std::shared_ptr<cu::CUstream_st>(
      raw_stream, [destroy_stream, keep = inner->ctx_](cu::CUstream s) { destroy_stream(s); });
  inner->stream_ = raw_stream;

  Result<Tesvan> engine = source ? Tesvan::create_from_source(es, *source) : Tesvan::create(es);
  if (!engine.ok()) return std::move(engine).error();
  inner->engine_.emplace(std::move(engine).value());

  TVN_TRY(driver_step(api.cuEventCreate(&inner->ev_in_, cu::CU_EVENT_DISABLE_TIMING)));
  TVN_TRY(driver_step(api.cuEventCreate(&inner->ev_out_, cu::CU_EVENT_DISABLE_TIMING)));
  return inner;
}

EngineInner::~EngineInner() {
  if (!api_) return;
  if (ctx_) (void)cu::make_current(*api_, ctx_.get());
  if (ev_in_) (void)api_->cuEventDestroy(ev_in_);
  if (ev_out_) (void)api_->cuEventDestroy(ev_out_);
  engine_.reset();
  ctx_.reset();
}

Status EngineInner::bind_context() const { return driver_step(cu::make_current(*api_, ctx_.get())); }

template <class Op>
Status EngineInner::bridged(uint64_t caller_stream, Op&& op) {
  TVN_TRY(bind_context());
  const auto caller = reinterpret_cast<cu::CUstream>(caller_stream);
  const bool bridge = caller != stream_;
  if (bridge) {
    TVN_TRY(driver_step(api_->cuEventRecord(ev_in_, caller)));
    TVN_TRY(driver_step(api_->cuStreamWaitEvent(stream_, ev_in_, 0)));
  }
  Status result = op(*engine_);
  // The caller's stream follows the engine's work whether it succeeded or not.
  if (bridge) {
    TVN_TRY(driver_step(api_->cuEventRecord(ev_out_, stream_)));
    TVN_TRY(driver_step(api_->cuStreamWaitEvent(caller, ev_out_, 0)));
  }
  return result;
}

Status EngineInner::forward(uint64_t caller_stream, uint64_t out, uint64_t a, uint64_t b,
                            uint64_t bias, Dims d, DType t, bool tensor_cores) {
  return bridged(caller_stream, [&](Tesvan& e) -> Status {
    if (batch_invariant_) return e.forward_invariant({out, t}, {a, t}, {b, t}, bias, d, tensor_cores);
    if (t == DType::F32) return e.forward_f32(out, a, b, bias, d);
    const Operand o{out, t}, oa{a, t}, ob{b, t};
    return tiered(
        tensor_cores, [&] { return e.forward_tc(o, oa, ob, bias, d); },
        [&] { return e.forward(o, oa, ob, bias, d); });
  });
}

Status EngineInner::backward_dx(uint64_t caller_stream, uint64_t dx, uint64_t dy, uint64_t w,
                                Dims d, DType t, bool tensor_cores) {
  return bridged(caller_stream, [&](Tesvan& e) -> Status {
    if (batch_invariant_) return e.backward_dx_invariant({dx, t}, {dy, t}, {w, t}, d, tensor_cores);
    if (t == DType::F32) return e.backward_dx_f32(dx, dy, w, d);
    const Operand odx{dx, t}, ody{dy, t}, ow{w, t};
    return tiered(
        tensor_cores, [&] { return e.backward_dx_tc(odx, ody, ow, d); },
        [&] { return e.backward_dx(odx, ody, ow, d); });
  });
}

Status EngineInner::backward_dw(uint64_t caller_stream, uint64_t dw, uint64_t dy, uint64_t x,
                                Dims d, DType t, bool tensor_cores) {
  return bridged(caller_stream, [&](Tesvan& e) -> Status {
    if (t == DType::F32) return e.backward_dw_f32(dw, dy, x, d);
    const Operand ody{dy, t}, ox{x, t};
    return tiered(
        tensor_cores, [&] { return e.backward_dw_tc(dw, ody, ox, d); },
        [&] { return e.backward_dw(dw, ody, ox, d); });
  });
}

Status EngineInner::presize_upcast_scratch(uint64_t a_elems, uint64_t b_elems, uint64_t c_elems) {
  TVN_TRY(bind_context());
  return engine_->presize_upcast_scratch(a_elems, b_elems, c_elems);
}

Status EngineInner::synchronize() {
  TVN_TRY(bind_context());
  return driver_step(api_->cuStreamSynchronize(stream_));
}

}  // namespace tesvan
