// f32 backward_dw: dw[K,N] += x[M,K]^T * dy[M,N].  dW is accumulated by every
// kernel; the reduction axis is the batch M.
#include <algorithm>

#include "dispatch.h"
#include "dispatch_common.h"
#include "dispatch_regions.h"

namespace tesvan {
namespace dispatch {

// Enough batch chunks to give at least 284 blocks over the dW tiles, bounded
// by the slabs of K x N that fit the split-K scratch; chunks are whole
// 16-row steps of the partial kernel.
std::optional<SplitM> backward_dw_split_m(Dims d) {
  if (d.m < 256 || d.k < 128 || d.n < 128) return std::nullopt;
  const uint32_t tiles = tile_count(d.k, 128, d.n, 128);
  if (tiles < 1 || tiles > 283) return std::nullopt;
  const uint64_t want = ceil_div(284, tiles);
  const uint64_t cap =
      product_at_most({d.k, d.n}, kSplitkScratchElems) ? kSplitkScratchElems / (d.k * d.n) : 0;
  const uint64_t chunks = std::max<uint64_t>(std::min(want, cap), 1);
  // M enters as its 32-bit value; in 64 bits the rounding cannot wrap, and
  // a chunk of 0 rows (M a multiple of 2^32) leaves no split.
  const uint64_t m32 = u32(d.m);
  const uint64_t chunk_rows = (m32 / chunks + (m32 % chunks != 0 ? 1 : 0) + 15) / 16 * 16;
  if (chunk_rows == 0) return std::nullopt;
  const uint64_t actual = m32 / chunk_rows + (m32 % chunk_rows != 0 ? 1 : 0);
  if (actual < 2) return std::nullopt;
  return SplitM{tiles, u32(chunk_rows), u32(actual)};
}

}  // namespace dispatch

namespace {

using namespace dispatch;  // the argument spellings and shape helpers

// Per-chunk partials of x^T * dy into the split-K scratch, then their sum in
// ascending chunk order added to dW.
Status backward_dw_split(const EngineStream& es, Kernels& k, uint64_t dw, uint64_t dy, uint64_t x,
                         Dims d, dispatch::SplitM plan) {
  Result<uint64_t> scratch = k.splitk_ptr(es);
  if (!scratch.ok()) return std::move(scratch).error();
  const uint64_t s = scratch.value();

  TVN_TRY(launch(es, k.tn_splitm_partial, {plan.tiles, 1, plan.chunks},
                 {ptr(s), ptr(x), ptr(dy), i32(d.m), i32(d.k), i32(d.n), i32(plan.chunk_rows)},
                 "tesvan_tn_splitm_partial: "));
  return launch(es, k.splitm_reduce, {ceil_div(product32(d.k, d.n), 256)},
                {ptr(dw), ptr(s), f32(1.0f), i32(d.k), i32(d.n), i32(plan.chunks)},
                "tesvan_splitm_reduce: ");
}

}  // namespace

Status tesvan_backward_dw(const EngineStream& es, Kernels& k, uint64_t dw, uint64_t dy, uint64_t x,
                          Dims d) {
  const uint64_t m = d.m, kk = d.k, n = d.n;

  if (n == 1 && m >= 32 && kk >= 4) {
    return launch(es, k.tn_gemv, {ceil_div(kk, 4)},
                  {ptr(dw), ptr(x), ptr(dy), f32(1.0f), i32(m), i32(kk), i32(kk), i32(1)},
                  "tesvan_tn_gemv backward_dw: ");
  }
  if (n <= 1) return Error::no_bucket(m, kk, n, "tesvan_backward_dw (f32)");
  if (n <= 127 && kk >= 1 && m >= 1) {
    return launch(es, k.tn_narrow, {ceil_div(kk, 64) * ceil_div(n, 32)},
                  {ptr(dw), ptr(x), ptr(dy), f32(1.0f), i32(m), i32(kk), i32(n)},
                  "tesvan_tn_narrow backward_dw: ");
  }
  if (std::optional<dispatch::SplitM> plan = dispatch::backward_dw_split_m(d)) {
    return backward_dw_split(es, k, dw, dy, x, d, *plan);
  }
  if (n >= 513 && kk >= 512) {
    return launch(es, k.tn, {ceil_div(n, 128) * ceil_div(kk, 128)},
                  {ptr(dw), ptr(x), ptr(dy), f32(1.0f), i32(m), i32(kk), i32(n)},
                  "tesvan_tn backward_dw: ");
  }
  if (n >= 128 && kk >= 1) {
    return launch(es, k.tn_slim, {ceil_div(n, 64) * ceil_div(kk, 128)},
                  {ptr(dw), ptr(x), ptr(dy), f32(1.0f), i32(m), i32(kk), i32(n)},
                  "tesvan_tn_slim backward_dw: ");
  }
  return Error::no_bucket(m, kk, n, "tesvan_backward_dw (f32)");
}

}  // namespace tesvan
