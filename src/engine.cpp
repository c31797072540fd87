#include "engine.h"

#include <algorithm>
#include <string>
#include <utility>

#include "dispatch.h"
#include "dispatch_invariant.h"

namespace tesvan {
namespace {

constexpr uint64_t kMaxDim = 0x7FFFFFFF;  // largest 32-bit signed kernel argument
enum Cell { A = 0, B = 1, C = 2 };

// Only a tier's no-bucket answer hands the call to the next tier.
bool no_bucket(const Status& s) { return !s.ok() && s.error().is_no_bucket(); }

Status launch_cast(const EngineStream& es, const Kernel& f, uint64_t dst, uint64_t src,
                   uint64_t n, const char* op, const char* context) {
  // Truncated to 32 bits, a larger count would convert some other number of
  // elements and still succeed.
  if (n > kMaxDim) return Error::count_limit(n, op);
  const uint32_t n32 = static_cast<uint32_t>(n);
  const uint32_t blocks = std::max<uint32_t>(1, ceil_div(n32, 256));
  return launch(es, f, Grid{blocks},
                {KernelArg::ptr(dst), KernelArg::ptr(src), KernelArg::i32(static_cast<int32_t>(n32))},
                context);
}

}  // namespace

Result<const char*> compile_target(uint32_t major, uint32_t minor) {
  if (major < 8) return Error::unsupported_arch(major, minor);
  switch (major) {
    case 8:
      return minor == 6 ? "sm_86" : minor == 9 ? "sm_89" : "sm_80";
    case 9:
      return "sm_90";
    case 10:
      return "sm_100";
    case 11:
      return "sm_80";
    default:
      return "sm_120";
  }
}

Status check_shape(Dims d, const char* op) {
  const bool dims_fit = d.m <= kMaxDim && d.k <= kMaxDim && d.n <= kMaxDim;
  // With every value below 2^31 the products cannot wrap 64 bits.
  if (!dims_fit || d.m * d.k > kMaxDim || d.k * d.n > kMaxDim || d.m * d.n > kMaxDim) {
    return Error::shape_limit(d.m, d.k, d.n, op);
  }
  return {};
}

Result<Tesvan> Tesvan::create(const EngineStream& es) { return build(es, nullptr); }

Result<Tesvan> Tesvan::create_from_source(const EngineStream& es, std::string source) {
  return build(es, &source);
}

Result<Tesvan> Tesvan::build(const EngineStream& es, const std::string* source) {
  const cu::CudaApi& api = *es.api;
  cu::CUdevice device = 0;
  int major = 0, minor = 0;
  cu::CUresult r = api.cuCtxGetDevice(&device);
  if (r == cu::CUDA_SUCCESS) {
    r = api.cuDeviceGetAttribute(&major, cu::CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MAJOR, device);
  }
  TVN_TRY(cu::check(r, "query CC major: "));
  TVN_TRY(cu::check(
      api.cuDeviceGetAttribute(&minor, cu::CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MINOR, device),
      "query CC minor: "));
  Result<const char*> target =
      compile_target(static_cast<uint32_t>(major), static_cast<uint32_t>(minor));
  if (!target.ok()) return std::move(target).error();
  Result<Kernels> kernels = source ? Kernels::compile_source(es, target.value(), *source)
                                   : Kernels::compile(es, target.value());
  if (!kernels.ok()) return std::move(kernels).error();
  return Tesvan(es, std::move(kernels).value());
}

template <class Body>
Status Tesvan::checked(const char* op, std::span<const OperandSpan> operands, Body&& body) {
  // Inside an outer dry run (prepare) the outer plan sees every launch.
  if (stream_.plan) return body();
  TVN_TRY(check_operands(op, operands));
  LaunchPlan plan(op, operands, LaunchPlan::Scratch::Count);
  {
    PlanScope scope(stream_, plan);
    TVN_TRY(body());
  }
  TVN_TRY(plan.verdict());
  if (plan.scratch_needed() > 0) TVN_TRY(refuse_in_capture(op));
  return body();
}

Status Tesvan::refuse_in_capture(const char* op) const {
  cu::CUstreamCaptureStatus status = cu::CU_STREAM_CAPTURE_STATUS_NONE;
  TVN_TRY(cu::check(stream_.api->cuStreamIsCapturing(stream_.stream, &status),
                    "stream capture status: "));
  if (status == cu::CU_STREAM_CAPTURE_STATUS_NONE) return {};
  return Error::usage(std::string(op) +
                        ": this call would create engine scratch while its stream is being "
                        "captured into a CUDA graph; call prepare_capture with its shape, dtype "
                        "and tensor_cores flag before the capture");
}

namespace {

OperandSpan in(const char* name, uint64_t address, DType t, uint64_t elements) {
  return {name, address, t, elements, false};
}
OperandSpan out(const char* name, uint64_t address, DType t, uint64_t elements) {
  return {name, address, t, elements, true};
}
// An absent bias (0) has no elements.
OperandSpan bias_span(uint64_t bias, Dims d) { return in("bias", bias, DType::F32, bias ? d.n : 0); }

}  // namespace

Status Tesvan::forward_f32(uint64_t o, uint64_t a, uint64_t b, uint64_t bias, Dims d) {
  TVN_TRY(check_shape(d, "forward"));
  const OperandSpan ops[] = {out("out", o, DType::F32, d.m * d.n), in("a", a, DType::F32, d.m * d.k),
                             in("b", b, DType::F32, d.k * d.n), bias_span(bias, d)};
  return checked("forward", ops,
                 [&] { return tesvan_forward(stream_, kernels_, o, a, b, bias, d); });
}

Status Tesvan::backward_dx_f32(uint64_t dx, uint64_t dy, uint64_t w, Dims d) {
  TVN_TRY(check_shape(d, "backward_dx"));
  const OperandSpan ops[] = {out("dx", dx, DType::F32, d.m * d.k),
                             in("dy", dy, DType::F32, d.m * d.n), in("w", w, DType::F32, d.k * d.n)};
  return checked("backward_dx", ops,
                 [&] { return tesvan_backward_dx(stream_, kernels_, dx, dy, w, d); });
}

Status Tesvan::backward_dw_f32(uint64_t dw, uint64_t dy, uint64_t x, Dims d) {
  TVN_TRY(check_shape(d, "backward_dw"));
  const OperandSpan ops[] = {out("dw", dw, DType::F32, d.k * d.n),
                             in("dy", dy, DType::F32, d.m * d.n), in("x", x, DType::F32, d.m * d.k)};
  return checked("backward_dw", ops,
                 [&] { return tesvan_backward_dw(stream_, kernels_, dw, dy, x, d); });
}

Status Tesvan::forward_tc(Operand o, Operand a, Operand b, uint64_t bias, Dims d) {
  TVN_TRY(check_shape(d, "forward"));
  const OperandSpan ops[] = {out("out", o.ptr, o.type, d.m * d.n), in("a", a.ptr, a.type, d.m * d.k),
                             in("b", b.ptr, b.type, d.k * d.n), bias_span(bias, d)};
  return checked("forward", ops,
                 [&] { return tesvan_forward_tc(stream_, kernels_, o, a, b, bias, d); });
}

Status Tesvan::backward_dx_tc(Operand dx, Operand dy, Operand w, Dims d) {
  TVN_TRY(check_shape(d, "backward_dx"));
  const OperandSpan ops[] = {out("dx", dx.ptr, dx.type, d.m * d.k),
                             in("dy", dy.ptr, dy.type, d.m * d.n), in("w", w.ptr, w.type, d.k * d.n)};
  return checked("backward_dx", ops,
                 [&] { return tesvan_backward_dx_tc(stream_, kernels_, dx, dy, w, d); });
}

Status Tesvan::backward_dw_tc(uint64_t dw, Operand dy, Operand x, Dims d) {
  TVN_TRY(check_shape(d, "backward_dw"));
  const OperandSpan ops[] = {out("dw", dw, DType::F32, d.k * d.n),
                             in("dy", dy.ptr, dy.type, d.m * d.n), in("x", x.ptr, x.type, d.m * d.k)};
  return checked("backward_dw", ops,
                 [&] { return tesvan_backward_dw_tc(stream_, kernels_, dw, dy, x, d); });
}

Status Tesvan::forward_invariant(Operand o, Operand a, Operand b, uint64_t bias, Dims d,
                                 bool tensor_cores) {
  TVN_TRY(check_shape(d, "forward"));
  const OperandSpan ops[] = {out("out", o.ptr, o.type, d.m * d.n), in("a", a.ptr, a.type, d.m * d.k),
                             in("b", b.ptr, b.type, d.k * d.n), bias_span(bias, d)};
  return checked("forward", ops, [&] {
    return tesvan_forward_invariant(stream_, kernels_, o, a, b, bias, d, tensor_cores);
  });
}

Status Tesvan::backward_dx_invariant(Operand dx, Operand dy, Operand w, Dims d,
                                     bool tensor_cores) {
  TVN_TRY(check_shape(d, "backward_dx"));
  const OperandSpan ops[] = {out("dx", dx.ptr, dx.type, d.m * d.k),
                             in("dy", dy.ptr, dy.type, d.m * d.n), in("w", w.ptr, w.type, d.k * d.n)};
  return checked("backward_dx", ops, [&] {
    return tesvan_backward_dx_invariant(stream_, kernels_, dx, dy, w, d, tensor_cores);
  });
}

Status Tesvan::stage_upcast(Operand first, uint64_t first_elems, Operand second,
                            uint64_t second_elems, uint64_t out_elems) {
  TVN_TRY(presize_upcast_scratch(first_elems, second_elems, out_elems));
  TVN_TRY(upcast_to_f32(first.ptr, first.type, cell(A), first_elems));
  return upcast_to_f32(second.ptr, second.type, cell(B), second_elems);
}

Status Tesvan::forward(Operand o, Operand a, Operand b, uint64_t bias, Dims d) {
  TVN_TRY(check_shape(d, "forward"));
  const OperandSpan ops[] = {out("out", o.ptr, o.type, d.m * d.n), in("a", a.ptr, a.type, d.m * d.k),
                             in("b", b.ptr, b.type, d.k * d.n), bias_span(bias, d)};
  return checked("forward", ops, [&]() -> Status {
    Status native = tesvan_forward_typed(stream_, kernels_, o, a, b, bias, d);
    if (!no_bucket(native)) return native;
    TVN_TRY(stage_upcast(a, d.m * d.k, b, d.k * d.n, d.m * d.n));
    TVN_TRY(tesvan_forward(stream_, kernels_, cell(C), cell(A), cell(B), bias, d));
    return downcast_from_f32(o.ptr, o.type, cell(C), d.m * d.n);
  });
}

Status Tesvan::backward_dx(Operand dx, Operand dy, Operand w, Dims d) {
  TVN_TRY(check_shape(d, "backward_dx"));
  const OperandSpan ops[] = {out("dx", dx.ptr, dx.type, d.m * d.k),
                             in("dy", dy.ptr, dy.type, d.m * d.n), in("w", w.ptr, w.type, d.k * d.n)};
  return checked("backward_dx", ops, [&]() -> Status {
    Status native = tesvan_backward_dx_typed(stream_, kernels_, dx, dy, w, d);
    if (!no_bucket(native)) return native;
    TVN_TRY(stage_upcast(dy, d.m * d.n, w, d.k * d.n, d.m * d.k));
    TVN_TRY(tesvan_backward_dx(stream_, kernels_, cell(C), cell(A), cell(B), d));
    return downcast_from_f32(dx.ptr, dx.type, cell(C), d.m * d.k);
  });
}

Status Tesvan::backward_dw(uint64_t dw, Operand dy, Operand x, Dims d) {
  TVN_TRY(check_shape(d, "backward_dw"));
  const OperandSpan ops[] = {out("dw", dw, DType::F32, d.k * d.n),
                             in("dy", dy.ptr, dy.type, d.m * d.n), in("x", x.ptr, x.type, d.m * d.k)};
  return checked("backward_dw", ops, [&]() -> Status {
    Status native = tesvan_backward_dw_typed(stream_, kernels_, dw, dy, x, d);
    if (!no_bucket(native)) return native;
    // dW accumulates in f32 straight into the caller's buffer; cell C is
    // unused but still has to exist.
    TVN_TRY(stage_upcast(dy, d.m * d.n, x, d.m * d.k, 0));
    return tesvan_backward_dw(stream_, kernels_, dw, cell(A), cell(B), d);
  });
}

Status Tesvan::upcast_to_f32(uint64_t src, DType t, uint64_t dst, uint64_t n) {
  if (t == DType::F32) return Error::dtype_mismatch("upcast source is already f32");
  const Kernel& f = t == DType::F16 ? kernels_.cast_f16_to_f32 : kernels_.cast_bf16_to_f32;
  return launch_cast(stream_, f, dst, src, n, "upcast", "upcast launch: ");
}

Status Tesvan::downcast_from_f32(uint64_t dst, DType t, uint64_t src, uint64_t n) {
  if (t == DType::F32) return Error::dtype_mismatch("downcast target is already f32");
  const Kernel& f = t == DType::F16 ? kernels_.cast_f32_to_f16 : kernels_.cast_f32_to_bf16;
  return launch_cast(stream_, f, dst, src, n, "downcast", "downcast launch: ");
}

Status Tesvan::presize_upcast_scratch(uint64_t a_elems, uint64_t b_elems, uint64_t c_elems) {
  TVN_TRY(grow(upcast_[A], a_elems));
  TVN_TRY(grow(upcast_[B], b_elems));
  return grow(upcast_[C], c_elems);
}

Status Tesvan::grow(DeviceBuffer& cell, uint64_t need) {
  need = std::max<uint64_t>(need, 1);
  if (!cell.empty() && cell.elements() >= need) return {};
  if (stream_.plan && !stream_.plan->create_scratch()) return {};
  DeviceBuffer fresh;
  TVN_TRY(cu::check(DeviceBuffer::alloc_zeros(stream_, need, &fresh), "upcast scratch alloc: "));
  cell = std::move(fresh);  // the old buffer's release is ordered on the stream
  return {};
}

}  // namespace tesvan
