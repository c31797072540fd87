// f32 backward_dx dispatch: every bucket, the three transpose-then-split
// sequences with their K and N tails, and the order of the tests.
#include "dispatch.h"
#include "dispatch_fixture.h"

namespace tesvan::test {
namespace {

class BackwardDxF32 : public DispatchTest {
 protected:
  static Call call() {
    return [](const EngineStream& es, Kernels& k, Dims d) {
      return tesvan_backward_dx(es, k, kDx, kDy, kW, d);
    };
  }
  // dx, dy, w, alpha, M, N, K
  static std::vector<LoggedArg> nt(int64_t m, int64_t n, int64_t k) {
    return {P(kDx), P(kDy), P(kW), F(1), I(m), I(n), I(k)};
  }
  static Case gemv(Dims d, unsigned grid) {
    return {"gemv", d,
            {step("tesvan_nt_gemv", {grid}, {256}, 0,
                  {P(kDx), P(kDy), P(kW), F(1), I(d.m), I(d.k), I(d.k), I(1)},
                  "tesvan_nt_gemv backward_dx: ")}};
  }
  static Case narrow(Dims d, unsigned grid, const char* context) {
    return {context, d,
            {step("tesvan_nt_narrow", {grid}, {128}, 0, nt(d.m, d.n, d.k), context)}};
  }
  static Case big(Dims d, unsigned grid) {
    return {"big", d,
            {step("tesvan_nt", {grid}, {256}, 34816, nt(d.m, d.n, d.k),
                  "tesvan_nt backward_dx: ")}};
  }
  static Case slim(Dims d, unsigned grid) {
    return {"slim", d,
            {step("tesvan_nt_slim", {grid}, {128}, 0, nt(d.m, d.n, d.k),
                  "tesvan_nt_slim backward_dx: ")}};
  }
  static Case none(Dims d) { return {"none", d, {}}; }

  static constexpr const char* kNarrow = "tesvan_nt_narrow backward_dx: ";
  static constexpr const char* kSmallBatch = "tesvan_nt_narrow (small-batch wide-N) backward_dx: ";
  static constexpr const char* kGapFill = "tesvan_nt_narrow (gap-fill mid-batch wide-N): ";

  // K-tail split: K_main = K - K%32 output columns through the split, then
  // one column GEMV per tail column.
  static Case ktail(Dims d, uint64_t s, uint64_t p, Dim3 transpose_grid, unsigned partial_grid,
                    unsigned reduce_grid, unsigned col_grid) {
    const int64_t k_main = d.k - d.k % 32, kc = d.n / 32;
    Case c{"K-tail split", d,
           {step("tesvan_transpose_f32_2d", transpose_grid, {32, 32, 1}, 0,
                 {P(p), P(kW), I(k_main), I(d.n)}, "tesvan_transpose_f32_2d (K-tail): "),
            step("tesvan_nn_splitk32_partial", {partial_grid}, {128}, 0,
                 {P(s), P(kDy), P(p), I(d.m), I(k_main), I(kc), I(d.n)},
                 "tesvan_nn_splitk32_partial (NT K-tail main): "),
            step("tesvan_splitk_reduce", {reduce_grid}, {256}, 0,
                 {P(kDx), P(s), P(0), P(0), P(0), F(1), I(d.m), I(k_main), I(kc), I(0), I(d.k),
                  I(0)},
                 "tesvan_splitk_reduce (NT K-tail main): ")}};
    for (int64_t i = 0; i < static_cast<int64_t>(d.k) - k_main; ++i) {
      c.steps.push_back(step("tesvan_dx_col_gemv", {col_grid}, {128}, 0,
                             {P(kDx), P(kDy), P(kW + 4 * (k_main + i) * d.n), I(d.m), I(d.n),
                              I(k_main + i), I(d.k)},
                             "tesvan_dx_col_gemv (NT K-tail col=" + std::to_string(i) + "): "));
    }
    return c;
  }
  // NT-via-T split with the N tail folded into the reduce.
  static Case via_t(Dims d, uint64_t s, uint64_t p, Dim3 transpose_grid, unsigned partial_grid,
                    unsigned reduce_grid) {
    const int64_t kc = d.n / 32, n_main = 32 * kc, n_tail = d.n - n_main;
    return {"NT-via-T split", d,
            {step("tesvan_transpose_f32_2d", transpose_grid, {32, 32, 1}, 0,
                  {P(p), P(kW), I(d.k), I(d.n)}, "tesvan_transpose_f32_2d: "),
             step("tesvan_nn_splitk32_partial", {partial_grid}, {128}, 0,
                  {P(s), P(kDy), P(p), I(d.m), I(d.k), I(kc), I(d.n)},
                  "tesvan_nn_splitk32_partial (NT-via-T N-tail): "),
             step("tesvan_splitk_reduce", {reduce_grid}, {256}, 0,
                  {P(kDx), P(s), P(0), P(n_tail ? kDy + 4 * n_main : 0),
                   P(n_tail ? p + 4 * n_main * d.k : 0), F(1), I(d.m), I(d.k), I(kc), I(d.n),
                   I(0), I(n_tail)},
                  "tesvan_splitk_reduce (NT-via-T N-tail): ")}};
  }
  // Slim NT split over `chunks` 64-wide chunks of N.
  static Case slim_split(Dims d, uint64_t s, uint64_t p, Dim3 transpose_grid, unsigned tiles,
                         unsigned chunks, unsigned reduce_grid) {
    return {"slim NT split", d,
            {step("tesvan_transpose_f32_2d", transpose_grid, {32, 32, 1}, 0,
                  {P(p), P(kW), I(d.k), I(d.n)}, "tesvan_transpose_f32_2d (slim NT): "),
             step("tesvan_nn_splitk_slim_partial", {tiles, 1, chunks}, {128}, 0,
                  {P(s), P(kDy), P(p), I(d.m), I(d.k), I(d.n), I(d.n), I(d.k), I(64)},
                  "tesvan_nn_splitk_slim_partial (slim NT): "),
             step("tesvan_splitk_reduce", {reduce_grid}, {256}, 0,
                  {P(kDx), P(s), P(0), P(0), P(0), F(1), I(d.m), I(d.k), I(chunks), I(0), I(0),
                   I(0)},
                  "tesvan_splitk_reduce (slim NT): ")}};
  }

  std::vector<Case> cases() {
    const uint64_t s = splitk_scratch(), p = transpose_scratch();
    return {
        gemv({5, 3, 1}, 1),
        gemv({1, 1, 1}, 1),
        gemv({1000, 1000, 1}, 3907),
        none({0, 5, 1}),
        narrow({1000000, 512, 100}, 250000, kNarrow),
        narrow({1, 1, 2}, 1, kNarrow),
        narrow({512, 513, 127}, 136, kNarrow),
        narrow({31, 100, 128}, 4, kSmallBatch),
        narrow({1, 4096, 4096}, 128, kSmallBatch),
        // K_main = 256, one tail column.
        ktail({64, 257, 256}, s, p, {8, 8, 1}, 64, 64, 1),
        // Three tail columns.
        ktail({64, 259, 128}, s, p, {4, 8, 1}, 32, 64, 1),
        // The longest tail: 31 column launches.
        ktail({32, 95, 128}, s, p, {4, 2, 1}, 4, 8, 1),
        // KC = 9, N_main = 288, N_tail = 12; the transpose covers all 300 rows.
        via_t({64, 256, 300}, s, p, {10, 8, 1}, 72, 64),
        // No N tail: null tail pointers.
        via_t({64, 256, 320}, s, p, {10, 8, 1}, 80, 64),
        // T = 64, split size exactly 4,194,304: split, not big.
        via_t({512, 1024, 256}, s, p, {8, 32, 1}, 2048, 2048),
        // T = 8 * 17 = 136.
        via_t({1024, 1088, 128}, s, p, {4, 34, 1}, 2176, 4352),
        big({1024, 1152, 128}, 72),  // T = 8 * 18 = 144
        narrow({64, 250, 300}, 8, kGapFill),  // K % 32 and N % 32 both non-zero
        narrow({127, 4096, 4096}, 256, kGapFill),
        // F = 4, T = 128.
        slim_split({2048, 512, 256}, s, p, {8, 16, 1}, 128, 4, 4096),
        slim_split({2048, 256, 256}, s, p, {8, 8, 1}, 64, 4, 2048),
        // N % 64 = 32: F = 3, the last chunk holds 32.
        slim_split({2048, 256, 160}, s, p, {5, 8, 1}, 64, 3, 2048),
        big({2048, 1024, 256}, 128),  // K above 768
        slim({2048, 100, 256}, 32),   // K below 128
        big({2048, 640, 512}, 80),    // F * K * M above the split-K scratch
        slim({2048, 256, 96 + 128 + 16}, 64),  // N % 32 != 0
        slim({128, 64, 0}, 1),        // empty reduction: dX becomes zeros
        big({512, 513, 0}, 20),
        none({127, 64, 0}),
        none({64, 0, 256}),
        none({0, 64, 64}),
        // Shape values off the tile sizes, and wide enough that a chunk
        // count or transpose grid off by one shows.
        ktail({129, 1025, 1024}, s, p, {32, 32, 1}, 5 * 32 * 16, 516, 2),
        ktail({128, 257, 256}, s, p, {8, 8, 1}, 4 * 8 * 4, 128, 1),
        via_t({65, 256, 1056}, s, p, {33, 8, 1}, 3 * 33 * 4, 65),
        slim_split({1025, 129, 1024}, s, p, {32, 5, 1}, 27, 16, 517),
        big({513, 513, 0}, 25),
        slim({129, 65, 130}, 4),
        // The tile limits themselves: T = 47 * 3 = 141 still splits ...
        ktail({257, 2977, 128}, s, p, {4, 93, 1}, 9 * 4 * 47, 2988, 3),
        via_t({257, 2976, 128}, s, p, {4, 93, 1}, 9 * 4 * 47, 2988),
        slim({257, 3040, 128}, 144),  // ... T = 48 * 3 = 144 does not
        // T = 5 * 85 = 425 still takes the slim split; 6 * 71 = 426 does not.
        slim_split({10753, 257, 128}, s, p, {4, 9, 1}, 425, 2, 10796),
        slim({8961, 321, 128}, 426),
    };
  }
};

TEST_F(BackwardDxF32, EveryBucketLaunchesItsTableRow) {
  expect_cases(cases(), call(), "tesvan_backward_dx (f32)");
}

// M = 0 over a wide N reaches the small-batch bucket with an empty grid,
// which the driver refuses.
TEST_F(BackwardDxF32, EmptyBatchOverWideNIsRefusedByTheDriver) {
  const std::vector<Case> empty = {{"small-batch, M = 0", {0, 64, 128}, {}, kSmallBatch}};
  expect_cases(empty, call(), "tesvan_backward_dx (f32)");
}

TEST_F(BackwardDxF32, RefusedLaunchStopsTheSequence) { expect_refusals(cases(), call()); }

TEST_F(BackwardDxF32, NoHostAllocation) { expect_no_host_allocation(cases(), call()); }

}  // namespace
}  // namespace tesvan::test
