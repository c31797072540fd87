// Typed scalar tier: bf16/f16 operands run natively where the f32 tier would
// run the f32 twin of a typed kernel.  Everywhere else (the f32 split, slim
// and gap-fill shapes) it returns the no-bucket error, and the engine runs
// the upcast fallback.
#include "dispatch.h"
#include "dispatch_common.h"
#include "dispatch_regions.h"

namespace tesvan {
namespace {

using namespace dispatch;  // the argument spellings and shape helpers

}  // namespace

Status tesvan_forward_typed(const EngineStream& es, Kernels& k, Operand out, Operand a, Operand b,
                            uint64_t bias, Dims d) {
  if (out.type == DType::F32) return Error::dtype_mismatch(dispatch::kF32OperandMessage);
  if (a.type != out.type || b.type != out.type) {
    return Error::dtype_mismatch("tesvan_forward_typed: mixed dtypes");
  }
  const DType t = out.type;
  const uint64_t m = d.m, kk = d.k, n = d.n;

  if (n == 1 && m >= 1 && kk >= 32) {
    return launch(es, k.nn_gemv_t.pick(t), {ceil_div(m, 4)},
                  {ptr(out.ptr), ptr(a.ptr), ptr(b.ptr), ptr(bias), f32(1.0f), f32(0.0f), i32(m),
                   i32(kk), i32(kk), i32(1)},
                  "tesvan_nn_gemv typed: ");
  }
  if (m >= 1 && m <= 31 && kk >= 32 && kk <= 2048 && n >= 32) {
    return launch(es, k.nn_ultra_thin_t.pick(t).for_reduction(kk), {ceil_div(n, 32), u32(m), 1},
                  {ptr(out.ptr), ptr(a.ptr), ptr(b.ptr), ptr(bias), f32(1.0f), f32(0.0f), i32(m),
                   i32(n), i32(kk), i32(kk), i32(n), i32(n)},
                  "tesvan_nn_ultra_thin typed: ");
  }
  if (n >= 2 && n <= 127 && m >= 1 && kk >= 1) {
    const bool small = m <= 64;
    return launch(es, small ? k.nn_narrow_small_t.pick(t) : k.nn_narrow_t.pick(t),
                  {small ? ceil_div(m, 16) * ceil_div(n, 16) : ceil_div(m, 64) * ceil_div(n, 32)},
                  {ptr(out.ptr), ptr(a.ptr), ptr(b.ptr), ptr(bias), f32(1.0f), f32(0.0f), i32(m),
                   i32(n), i32(kk), i32(kk), i32(n), i32(n), i32(0)},
                  "tesvan_nn_narrow typed: ");
  }
  if (m >= 512 && n >= 513 && !dispatch::forward_splitk32(d)) {
    return launch(es, k.nn_big.pick(t), {ceil_div(m, 128) * ceil_div(n, 128)},
                  {ptr(out.ptr), ptr(a.ptr), ptr(b.ptr), ptr(bias), f32(1.0f), f32(0.0f), i32(m),
                   i32(n), i32(kk), i32(kk), i32(n), i32(n)},
                  "tesvan_nn_big typed: ");
  }
  return Error::no_bucket(m, kk, n, "tesvan_forward_typed");
}

Status tesvan_backward_dw_typed(const EngineStream& es, Kernels& k, uint64_t dw, Operand dy,
                                Operand x, Dims d) {
  if (dy.type == DType::F32) return Error::dtype_mismatch(dispatch::kF32OperandMessage);
  if (x.type != dy.type) return Error::dtype_mismatch("tesvan_backward_dw_typed: mixed dtypes");
  const DType t = dy.type;
  const uint64_t m = d.m, kk = d.k, n = d.n;

  if (n == 1 && m >= 32 && kk >= 4) {
    return launch(es, k.tn_gemv_t.pick(t), {ceil_div(kk, 4)},
                  {ptr(dw), ptr(x.ptr), ptr(dy.ptr), f32(1.0f), i32(m), i32(kk), i32(kk), i32(1)},
                  "tesvan_tn_gemv typed: ");
  }
  if (n >= 2 && n <= 127 && m >= 1 && kk >= 1) {
    return launch(es, k.tn_narrow_t.pick(t), {ceil_div(kk, 64) * ceil_div(n, 32)},
                  {ptr(dw), ptr(x.ptr), ptr(dy.ptr), f32(1.0f), i32(m), i32(kk), i32(n)},
                  "tesvan_tn_narrow typed: ");
  }
  if (n >= 513 && kk >= 512 && !dispatch::backward_dw_split_m(d)) {
    return launch(es, k.tn_big.pick(t), {ceil_div(kk, 128) * ceil_div(n, 128)},
                  {ptr(dw), ptr(x.ptr), ptr(dy.ptr), f32(1.0f), i32(m), i32(kk), i32(n)},
                  "tesvan_tn_big typed: ");
  }
  return Error::no_bucket(m, kk, n, "tesvan_backward_dw_typed");
}

Status tesvan_backward_dx_typed(const EngineStream& es, Kernels& k, Operand dx, Operand dy,
                                Operand w, Dims d) {
  if (dx.type == DType::F32) return Error::dtype_mismatch(dispatch::kF32OperandMessage);
  if (dy.type != dx.type || w.type != dx.type) {
    return Error::dtype_mismatch("tesvan_backward_dx_typed: mixed dtypes");
  }
  const DType t = dx.type;
  const uint64_t m = d.m, kk = d.k, n = d.n;

  if (n == 1 && m >= 1 && kk >= 1) {
    return launch(
        es, k.nt_gemv_t.pick(t), {ceil_div(product32(m, kk), 256)},
        {ptr(dx.ptr), ptr(dy.ptr), ptr(w.ptr), f32(1.0f), i32(m), i32(kk), i32(kk), i32(1)},
        "tesvan_nt_gemv typed: ");
  }
  if (n >= 2 && n <= 127 && m >= 1 && kk >= 1) {
    return launch(es, k.nt_narrow_t.pick(t), {ceil_div(m, 64) * ceil_div(kk, 32)},
                  {ptr(dx.ptr), ptr(dy.ptr), ptr(w.ptr), f32(1.0f), i32(m), i32(n), i32(kk)},
                  "tesvan_nt_narrow typed: ");
  }
  if (m >= 512 && kk >= 513 && (n == 0 || n >= 128) && !dispatch::backward_dx_slim_split(d) &&
      !dispatch::backward_dx_ktail_split(d) && !dispatch::backward_dx_via_t_split(d)) {
    return launch(es, k.nt_big.pick(t), {ceil_div(m, 128) * ceil_div(kk, 128)},
                  {ptr(dx.ptr), ptr(dy.ptr), ptr(w.ptr), f32(1.0f), i32(m), i32(n), i32(kk)},
                  "tesvan_nt_big typed: ");
  }
  return Error::no_bucket(m, kk, n, "tesvan_backward_dx_typed");
}

}  // namespace tesvan
