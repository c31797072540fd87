// f32 backward_dx: dx[M,K] = dy[M,N] * w[K,N]^T.  The split buckets transpose
// W into the transpose scratch and run the forward's split-K kernels on
// dy * W^T, splitting the reduction axis N; a K tail is filled column by
// column afterwards, an N tail is folded in by the reduce.
#include <string>

#include "dispatch.h"
#include "dispatch_common.h"
#include "dispatch_regions.h"

namespace tesvan {
namespace dispatch {
namespace {

uint32_t dx_tiles(Dims d) { return tile_count(d.k, 64, d.m, 128); }

}  // namespace

bool backward_dx_ktail_split(Dims d) {
  const uint64_t k_main = d.k - d.k % 32;
  return d.m >= 32 && d.m <= 1024 && d.k >= 64 && d.k <= 4096 && d.k % 32 != 0 && d.n >= 32 &&
         d.n <= 2048 && d.n % 32 == 0 && dx_tiles(d) <= 141 &&
         k_main * d.n <= kTransposeScratchElems && k_main * d.m * (d.n / 32) <= kSplitkScratchElems;
}

bool backward_dx_via_t_split(Dims d) {
  return d.m >= 32 && d.m <= 1024 && d.k >= 64 && d.k <= 4096 && d.k % 32 == 0 && d.n >= 32 &&
         d.n <= 2048 && d.n * d.k <= kTransposeScratchElems && dx_tiles(d) <= 141 &&
         d.k * d.m * (d.n / 32) <= kSplitkScratchElems;
}

bool backward_dx_slim_split(Dims d) {
  if (d.m < 1025 || d.k < 128 || d.k > 768 || d.n < 64 || d.n % 32 != 0) return false;
  const uint64_t chunks = d.n / 64 + (d.n % 64 != 0 ? 1 : 0);
  return chunks >= 2 && product_at_most({d.n, d.k}, kTransposeScratchElems) &&
         product_at_most({chunks, d.k, d.m}, kSplitkScratchElems) && dx_tiles(d) <= 425;
}

}  // namespace dispatch

namespace {

using namespace dispatch;  // the argument spellings and shape helpers

// W^T (or its first `rows` rows of W, transposed) into the transpose scratch.
Result<uint64_t> transpose_w(const EngineStream& es, Kernels& k, uint64_t w, uint64_t rows,
                             uint64_t cols, Grid grid, const char* context) {
  Result<uint64_t> scratch = k.transpose_ptr(es);
  if (!scratch.ok()) return scratch;
  const Status st = launch(es, k.transpose_f32_2d, grid,
                           {ptr(scratch.value()), ptr(w), i32(rows), i32(cols)}, context);
  if (!st.ok()) return st.error();
  return scratch;
}

// Bucket 4 of the table: K % 32 != 0, N % 32 == 0.  The split covers the
// first K_main output columns; each tail column is one dot-product launch.
Status backward_dx_ktail(const EngineStream& es, Kernels& k, uint64_t dx, uint64_t dy, uint64_t w,
                         Dims d) {
  const uint64_t k_main = d.k - d.k % 32;
  const uint64_t k_tail = d.k - k_main;
  const uint64_t kc = d.n / 32;
  Result<uint64_t> p = transpose_w(es, k, w, k_main, d.n, {u32(d.n / 32), u32(k_main / 32), 1},
                                   "tesvan_transpose_f32_2d (K-tail): ");
  if (!p.ok()) return std::move(p).error();
  Result<uint64_t> scratch = k.splitk_ptr(es);
  if (!scratch.ok()) return std::move(scratch).error();
  const uint64_t s = scratch.value();

  TVN_TRY(launch(es, k.nn_splitk32_partial, {ceil_div(d.m, 32) * u32(kc) * ceil_div(k_main, 64)},
                 {ptr(s), ptr(dy), ptr(p.value()), i32(d.m), i32(k_main), i32(kc), i32(d.n)},
                 "tesvan_nn_splitk32_partial (NT K-tail main): "));
  TVN_TRY(launch(es, k.splitk_reduce, {ceil_div(product32(d.m, k_main), 256)},
                 {ptr(dx), ptr(s), ptr(0), ptr(0), ptr(0), f32(1.0f), i32(d.m), i32(k_main),
                  i32(kc), i32(0), i32(d.k), i32(0)},
                 "tesvan_splitk_reduce (NT K-tail main): "));
  for (uint64_t i = 0; i < k_tail; ++i) {
    const uint64_t col = k_main + i;
    const cu::CUresult r = launch_raw(
        es, k.dx_col_gemv, {ceil_div(d.m, 128)},
        {ptr(dx), ptr(dy), ptr(f32_elem(w, col * d.n)), i32(d.m), i32(d.n), i32(col), i32(d.k)});
    if (r != cu::CUDA_SUCCESS) {
      return cu::check(r, "tesvan_dx_col_gemv (NT K-tail col=" + std::to_string(i) + "): ");
    }
  }
  return {};
}

// Bucket 5: K % 32 == 0; the N tail (N % 32 reduction indices) is folded
// into the reduce from dY's tail columns and W^T's tail rows.
Status backward_dx_via_t(const EngineStream& es, Kernels& k, uint64_t dx, uint64_t dy, uint64_t w,
                         Dims d) {
  const uint64_t kc = d.n / 32;
  const uint64_t n_main = 32 * kc;
  const uint64_t n_tail = d.n - n_main;
  Result<uint64_t> p = transpose_w(es, k, w, d.k, d.n, {ceil_div(d.n, 32), u32(d.k / 32), 1},
                                   "tesvan_transpose_f32_2d: ");
  if (!p.ok()) return std::move(p).error();
  Result<uint64_t> scratch = k.splitk_ptr(es);
  if (!scratch.ok()) return std::move(scratch).error();
  const uint64_t s = scratch.value();

  TVN_TRY(launch(es, k.nn_splitk32_partial, {ceil_div(d.m, 32) * u32(kc) * ceil_div(d.k, 64)}, {ptr(s), ptr(dy), ptr(p.value()), i32(d.m), i32(d.k), i32(kc), i32(d.n)},
                 "tesvan_nn_splitk32_partial (NT-via-T N-tail): "));
  const uint64_t x_tail = n_tail ? f32_elem(dy, n_main) : 0;
  const uint64_t w_tail = n_tail ? f32_elem(p.value(), n_main * d.k) : 0;
  return launch(es, k.splitk_reduce, {ceil_div(product32(d.m, d.k), 256)},
                {ptr(dx), ptr(s), ptr(0), ptr(x_tail), ptr(w_tail), f32(1.0f), i32(d.m), i32(d.k),
                 i32(kc), i32(d.n), i32(0), i32(n_tail)},
                "tesvan_splitk_reduce (NT-via-T N-tail): ");
}

// Bucket 6: a large batch over a narrow dX; 64-wide chunks of N by the slim
// split kernel.
Status backward_dx_slim(const EngineStream& es, Kernels& k, uint64_t dx, uint64_t dy, uint64_t w,
                        Dims d) {
  const uint64_t chunks = d.n / 64 + (d.n % 64 != 0 ? 1 : 0);
  Result<uint64_t> p = transpose_w(es, k, w, d.k, d.n, {u32(d.n / 32), ceil_div(d.k, 32), 1},
                                   "tesvan_transpose_f32_2d (slim NT): ");
  if (!p.ok()) return std::move(p).error();
  Result<uint64_t> scratch = k.splitk_ptr(es);
  if (!scratch.ok()) return std::move(scratch).error();
  const uint64_t s = scratch.value();

  TVN_TRY(launch(
      es, k.nn_splitk_slim_partial, {dispatch::tile_count(d.k, 64, d.m, 128), 1, u32(chunks)},
      {ptr(s), ptr(dy), ptr(p.value()), i32(d.m), i32(d.k), i32(d.n), i32(d.n), i32(d.k), i32(64)},
      "tesvan_nn_splitk_slim_partial (slim NT): "));
  return launch(es, k.splitk_reduce, {ceil_div(product32(d.m, d.k), 256)},
                {ptr(dx), ptr(s), ptr(0), ptr(0), ptr(0), f32(1.0f), i32(d.m), i32(d.k),
                 i32(chunks), i32(0), i32(0), i32(0)},
                "tesvan_splitk_reduce (slim NT): ");
}

Status nt_narrow(const EngineStream& es, Kernels& k, uint64_t dx, uint64_t dy, uint64_t w, Dims d,
                 const char* context) {
  return launch(es, k.nt_narrow, {ceil_div(d.k, 32) * ceil_div(d.m, 64)},
                {ptr(dx), ptr(dy), ptr(w), f32(1.0f), i32(d.m), i32(d.n), i32(d.k)}, context);
}

}  // namespace

Status tesvan_backward_dx(const EngineStream& es, Kernels& k, uint64_t dx, uint64_t dy, uint64_t w,
                          Dims d) {
  const uint64_t m = d.m, kk = d.k, n = d.n;

  if (n == 1 && kk >= 1 && m >= 1) {
    return launch(es, k.nt_gemv, {ceil_div(product32(m, kk), 256)},
                  {ptr(dx), ptr(dy), ptr(w), f32(1.0f), i32(m), i32(kk), i32(kk), i32(1)},
                  "tesvan_nt_gemv backward_dx: ");
  }
  if (n >= 2 && n <= 127 && kk >= 1 && m >= 1) {
    return nt_narrow(es, k, dx, dy, w, d, "tesvan_nt_narrow backward_dx: ");
  }
  if (n >= 128 && kk >= 1 && m <= 31) {
    return nt_narrow(es, k, dx, dy, w, d, "tesvan_nt_narrow (small-batch wide-N) backward_dx: ");
  }
  if (dispatch::backward_dx_ktail_split(d)) return backward_dx_ktail(es, k, dx, dy, w, d);
  if (dispatch::backward_dx_via_t_split(d)) return backward_dx_via_t(es, k, dx, dy, w, d);
  if (dispatch::backward_dx_slim_split(d)) return backward_dx_slim(es, k, dx, dy, w, d);
  if (m >= 32 && m <= 127 && n >= 128 && kk >= 1) {
    return nt_narrow(es, k, dx, dy, w, d, "tesvan_nt_narrow (gap-fill mid-batch wide-N): ");
  }
  if (m >= 512 && kk >= 513) {
    return launch(es, k.nt, {ceil_div(kk, 128) * ceil_div(m, 128)},
                  {ptr(dx), ptr(dy), ptr(w), f32(1.0f), i32(m), i32(n), i32(kk)},
                  "tesvan_nt backward_dx: ");
  }
  if (m >= 128 && kk >= 1) {
    return launch(es, k.nt_slim, {ceil_div(kk, 64) * ceil_div(m, 128)},
                  {ptr(dx), ptr(dy), ptr(w), f32(1.0f), i32(m), i32(n), i32(kk)},
                  "tesvan_nt_slim backward_dx: ");
  }
  return Error::no_bucket(m, kk, n, "tesvan_backward_dx (f32)");
}

}  // namespace tesvan
