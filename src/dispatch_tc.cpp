// Tensor-core tier: one launch when both output dimensions are at least 64.
// The output shape alone picks the 128-tile kernel (enough tiles to fill the
// GPU) or the 64-tile kernel; the two give the same bits.
#include "dispatch.h"
#include "dispatch_common.h"

namespace tesvan {
namespace {

using namespace dispatch;  // the argument spellings and shape helpers

// The tile edge for an output of rows x cols: 128, 64, or 0 for none.
uint32_t tc_tile(uint64_t rows, uint64_t cols, uint64_t min_rows) {
  if (rows < min_rows || cols < 64) return 0;
  if (rows >= 128 && cols >= 128 && ceil_div(rows, 128) * ceil_div(cols, 128) >= 72) return 128;
  return 64;
}

// The launch geometry shared by the three operations.
struct TcLaunch {
  Grid grid;
  Grid block;
  bool wide;  // the 128-tile kernel
};

TcLaunch tc_launch(uint32_t tile, uint64_t rows, uint64_t cols) {
  return {{ceil_div(rows, tile) * ceil_div(cols, tile)}, {2 * tile}, tile == 128};
}

}  // namespace

Status tesvan_forward_tc(const EngineStream& es, Kernels& k, Operand out, Operand a, Operand b,
                         uint64_t bias, Dims d, uint64_t min_rows) {
  if (out.type == DType::F32) return Error::dtype_mismatch(dispatch::kF32OperandMessage);
  if (a.type != out.type || b.type != out.type) {
    return Error::dtype_mismatch("tesvan_forward_tc: mixed dtypes");
  }
  const uint32_t tile = tc_tile(d.m, d.n, min_rows);
  if (!tile) return Error::no_bucket(d.m, d.k, d.n, "tesvan_forward_tc");
  const TcLaunch l = tc_launch(tile, d.m, d.n);
  return launch(es, (l.wide ? k.nn_tc : k.nn_tc64).pick(out.type), l.grid, l.block,
                l.wide ? 71680 : 0,
                {ptr(out.ptr), ptr(a.ptr), ptr(b.ptr), ptr(bias), f32(1.0f), f32(0.0f), i32(d.m),
                 i32(d.n), i32(d.k), i32(d.k), i32(d.n), i32(d.n)},
                "tesvan_nn_tc: ");
}

Status tesvan_backward_dw_tc(const EngineStream& es, Kernels& k, uint64_t dw, Operand dy, Operand x,
                             Dims d) {
  if (dy.type == DType::F32) return Error::dtype_mismatch(dispatch::kF32OperandMessage);
  if (x.type != dy.type) return Error::dtype_mismatch("tesvan_backward_dw_tc: mixed dtypes");
  const uint32_t tile = tc_tile(d.k, d.n, 64);
  if (!tile) return Error::no_bucket(d.m, d.k, d.n, "tesvan_backward_dw_tc");
  const TcLaunch l = tc_launch(tile, d.k, d.n);
  return launch(es, (l.wide ? k.tn_tc : k.tn_tc64).pick(dy.type), l.grid, l.block,
                l.wide ? 69632 : 0,
                {ptr(dw), ptr(x.ptr), ptr(dy.ptr), f32(1.0f), i32(d.m), i32(d.k), i32(d.n)},
                "tesvan_tn_tc: ");
}

Status tesvan_backward_dx_tc(const EngineStream& es, Kernels& k, Operand dx, Operand dy, Operand w,
                             Dims d, uint64_t min_rows) {
  if (dx.type == DType::F32) return Error::dtype_mismatch(dispatch::kF32OperandMessage);
  if (dy.type != dx.type || w.type != dy.type) {
    return Error::dtype_mismatch("tesvan_backward_dx_tc: mixed dtypes");
  }
  const uint32_t tile = tc_tile(d.m, d.k, min_rows);
  if (!tile) return Error::no_bucket(d.m, d.k, d.n, "tesvan_backward_dx_tc");
  const TcLaunch l = tc_launch(tile, d.m, d.k);
  return launch(es, (l.wide ? k.nt_tc : k.nt_tc64).pick(dx.type), l.grid, l.block,
                l.wide ? 73728 : 0,
                {ptr(dx.ptr), ptr(dy.ptr), ptr(w.ptr), f32(1.0f), i32(d.m), i32(d.n), i32(d.k)},
                "tesvan_nt_tc: ");
}

}  // namespace tesvan
