// f32 forward: out[M,N] = a[M,K] * b[K,N] (+ bias[N]).
#include "dispatch.h"
#include "dispatch_common.h"
#include "dispatch_regions.h"

namespace tesvan {
namespace dispatch {

// Buckets 6 (K % 32 != 0, folded in by the reduce) and 7 of the table: the
// same kernels over the full 32-wide K chunks.
bool forward_splitk32(Dims d) {
  return d.m >= 32 && d.m <= 1024 && d.n >= 64 && d.n <= 2048 && d.n % 4 == 0 && d.k >= 32 &&
         tile_count(d.m, 128, d.n, 64) <= 141 &&
         product_at_most({d.m, d.n, d.k / 32}, kSplitkScratchElems);
}

}  // namespace dispatch

namespace {

using namespace dispatch;  // the argument spellings and shape helpers

// Thin M over a wide N: the narrow tile fills the gap before (M <= 31) and
// after (32 <= M <= 127) the split-K region.
Status forward_gap_fill(const EngineStream& es, Kernels& k, uint64_t out, uint64_t a, uint64_t b,
                        uint64_t bias, Dims d) {
  return launch(es, k.nn_narrow, {ceil_div(d.n, 32) * ceil_div(d.m, 64)},
                {ptr(out), ptr(a), ptr(b), ptr(bias), f32(1.0f), f32(0.0f), i32(d.m), i32(d.n),
                 i32(d.k), i32(d.k), i32(d.n), i32(d.n), i32(0)},
                "tesvan_nn_narrow (gap-fill thin-M wide-N): ");
}

// Partials of 32-wide K chunks into the split-K scratch, then the reduce;
// a K tail (K % 32 columns) is folded in by the reduce.
Status forward_split_k32(const EngineStream& es, Kernels& k, uint64_t out, uint64_t a, uint64_t b,
                         uint64_t bias, Dims d) {
  const uint64_t kc = d.k / 32;
  const uint64_t k_main = 32 * kc;
  const uint64_t tail = d.k - k_main;
  Result<uint64_t> scratch = k.splitk_ptr(es);
  if (!scratch.ok()) return std::move(scratch).error();
  const uint64_t s = scratch.value();

  TVN_TRY(
      launch(es, k.nn_splitk32_partial, {ceil_div(d.m, 32) * u32(kc) * ceil_div(d.n, 64)},
             {ptr(s), ptr(a), ptr(b), i32(d.m), i32(d.n), i32(kc), i32(d.k)},
             tail ? "tesvan_nn_splitk32_partial (K-tail main): " : "tesvan_nn_splitk32_partial: "));
  const Grid reduce_grid{ceil_div(product32(d.m, d.n), 256)};
  if (tail) {
    return launch(
        es, k.splitk_reduce, reduce_grid,
        {ptr(out), ptr(s), ptr(bias), ptr(f32_elem(a, k_main)), ptr(f32_elem(b, k_main * d.n)),
         f32(1.0f), i32(d.m), i32(d.n), i32(kc), i32(d.k), i32(0), i32(tail)},
        "tesvan_splitk_reduce (K-tail): ");
  }
  return launch(es, k.splitk_reduce, reduce_grid,
                {ptr(out), ptr(s), ptr(bias), ptr(0), ptr(0), f32(1.0f), i32(d.m), i32(d.n),
                 i32(kc), i32(0), i32(0), i32(0)},
                "tesvan_splitk_reduce: ");
}

// Partials of 64-wide K chunks by the slim tile, then the reduce.
Status forward_split_slim(const EngineStream& es, Kernels& k, uint64_t out, uint64_t a, uint64_t b,
                          uint64_t bias, Dims d, uint64_t chunks) {
  Result<uint64_t> scratch = k.splitk_ptr(es);
  if (!scratch.ok()) return std::move(scratch).error();
  const uint64_t s = scratch.value();

  TVN_TRY(launch(
      es, k.nn_splitk_slim_partial, {dispatch::tile_count(d.m, 128, d.n, 64), 1, u32(chunks)}, {ptr(s), ptr(a), ptr(b), i32(d.m), i32(d.n), i32(d.k), i32(d.k), i32(d.n), i32(64)},
      "tesvan_nn_splitk_slim_partial: "));
  return launch(es, k.splitk_reduce, {ceil_div(product32(d.m, d.n), 256)},
                {ptr(out), ptr(s), ptr(bias), ptr(0), ptr(0), f32(1.0f), i32(d.m), i32(d.n),
                 i32(chunks), i32(0), i32(0), i32(0)},
                "tesvan_splitk_reduce (slim): ");
}

}  // namespace

Status tesvan_forward(const EngineStream& es, Kernels& k, uint64_t out, uint64_t a, uint64_t b,
                      uint64_t bias, Dims d) {
  const uint64_t m = d.m, kk = d.k, n = d.n;

  if (m >= 1 && m <= 31 && kk >= 32 && kk <= 2048 && n >= 32) {
    return launch(es, k.nn_ultra_thin.for_reduction(kk), {ceil_div(n, 32), u32(m), 1},
                  {ptr(out), ptr(a), ptr(b), ptr(bias), f32(1.0f), f32(0.0f), i32(m), i32(n),
                   i32(kk), i32(kk), i32(n), i32(n)},
                  "tesvan_nn_ultra_thin forward: ");
  }
  if (n == 1 && m >= 1 && kk >= 32) {
    return launch(es, k.nn_gemv, {ceil_div(m, 4)},
                  {ptr(out), ptr(a), ptr(b), ptr(bias), f32(1.0f), f32(0.0f), i32(m), i32(kk),
                   i32(kk), i32(1)},
                  "tesvan_nn_gemv forward: ");
  }
  if (n >= 2 && n <= 127 && m >= 1 && m <= 64 && kk >= 1) {
    return launch(es, k.nn_narrow_small, {ceil_div(m, 16) * ceil_div(n, 16)},
                  {ptr(out), ptr(a), ptr(b), ptr(bias), f32(1.0f), f32(0.0f), i32(m), i32(n),
                   i32(kk), i32(kk), i32(n), i32(n), i32(0)},
                  "tesvan_nn_narrow_small forward: ");
  }
  if (n >= 2 && n <= 127 && m >= 65 && kk >= 1) {
    return launch(es, k.nn_narrow, {ceil_div(m, 64) * ceil_div(n, 32)},
                  {ptr(out), ptr(a), ptr(b), ptr(bias), f32(1.0f), f32(0.0f), i32(m), i32(n),
                   i32(kk), i32(kk), i32(n), i32(n), i32(0)},
                  "tesvan_nn_narrow forward: ");
  }
  if (m <= 31 && n >= 128 && kk >= 1) return forward_gap_fill(es, k, out, a, b, bias, d);
  if (dispatch::forward_splitk32(d)) return forward_split_k32(es, k, out, a, b, bias, d);
  if (m >= 32 && m <= 127 && n >= 128 && kk >= 1)
    return forward_gap_fill(es, k, out, a, b, bias, d);
  if (m >= 1025 && n >= 128 && n <= 512 && kk % 32 == 0 && kk >= 64) {
    const uint64_t chunks = kk / 64 + (kk % 64 != 0 ? 1 : 0);
    if (chunks >= 6 && dispatch::product_at_most({chunks, m, n}, kSplitkScratchElems) &&
        dispatch::tile_count(m, 128, n, 64) <= 425) {
      return forward_split_slim(es, k, out, a, b, bias, d, chunks);
    }
  }
  if (m >= 512 && n >= 513 && kk >= 1) {
    return launch(es, k.nn, {ceil_div(n, 128) * ceil_div(m, 128)},
                  {ptr(out), ptr(a), ptr(b), ptr(bias), f32(1.0f), f32(0.0f), i32(m), i32(n),
                   i32(kk), i32(kk), i32(n), i32(n)},
                  "tesvan_nn forward: ");
  }
  if (m >= 128 && n >= 128 && kk >= 1) {
    return launch(es, k.nn_slim, {ceil_div(n, 64) * ceil_div(m, 128)},
                  {ptr(out), ptr(a), ptr(b), ptr(bias), f32(1.0f), f32(0.0f), i32(m), i32(n),
                   i32(kk), i32(kk), i32(n), i32(n)},
                  "tesvan_nn_slim forward: ");
  }
  return Error::no_bucket(m, kk, n, "tesvan_forward (f32)");
}

}  // namespace tesvan
