// f32 backward_dw dispatch: every bucket, the split plan of the batch axis
// and the order in which the buckets are tested.
#include "dispatch.h"
#include "dispatch_fixture.h"

namespace tesvan::test {
namespace {

class BackwardDwF32 : public DispatchTest {
 protected:
  static Call call() {
    return [](const EngineStream& es, Kernels& k, Dims d) {
      return tesvan_backward_dw(es, k, kDw, kDy, kX, d);
    };
  }
  // dw, x, dy, alpha, M, K, N: the kernels take X before dY.
  static std::vector<LoggedArg> tn(int64_t m, int64_t k, int64_t n) {
    return {P(kDw), P(kX), P(kDy), F(1), I(m), I(k), I(n)};
  }
  static Case gemv(Dims d, unsigned grid) {
    return {"gemv", d,
            {step("tesvan_tn_gemv", {grid}, {128}, 0,
                  {P(kDw), P(kX), P(kDy), F(1), I(d.m), I(d.k), I(d.k), I(1)},
                  "tesvan_tn_gemv backward_dw: ")}};
  }
  static Case narrow(Dims d, unsigned grid) {
    return {"narrow", d,
            {step("tesvan_tn_narrow", {grid}, {128}, 0, tn(d.m, d.k, d.n),
                  "tesvan_tn_narrow backward_dw: ")}};
  }
  static Case big(Dims d, unsigned grid) {
    return {"big", d,
            {step("tesvan_tn", {grid}, {256}, 34816, tn(d.m, d.k, d.n),
                  "tesvan_tn backward_dw: ")}};
  }
  static Case slim(Dims d, unsigned grid) {
    return {"slim", d,
            {step("tesvan_tn_slim", {grid}, {128}, 0, tn(d.m, d.k, d.n),
                  "tesvan_tn_slim backward_dw: ")}};
  }
  static Case none(Dims d) { return {"none", d, {}}; }
  // Split-M with `chunks` chunks of `rows` batch rows over `tiles` dW tiles.
  static Case split(Dims d, uint64_t s, unsigned tiles, unsigned chunks, int64_t rows,
                    unsigned reduce_grid) {
    return {"split-M", d,
            {step("tesvan_tn_splitm_partial", {tiles, 1, chunks}, {256}, 0,
                  {P(s), P(kX), P(kDy), I(d.m), I(d.k), I(d.n), I(rows)},
                  "tesvan_tn_splitm_partial: "),
             step("tesvan_splitm_reduce", {reduce_grid}, {256}, 0,
                  {P(kDw), P(s), F(1), I(d.k), I(d.n), I(chunks)}, "tesvan_splitm_reduce: ")}};
  }

  std::vector<Case> cases() {
    const uint64_t s = splitk_scratch();
    return {
        gemv({32, 4, 1}, 1),
        gemv({1000, 1000, 1}, 250),
        none({31, 64, 1}),  // GEMV needs M >= 32
        none({32, 3, 1}),   // ... and K >= 4
        none({100, 100, 0}),
        none({0, 0, 0}),
        narrow({100, 64, 100}, 4),
        narrow({1, 1, 2}, 1),
        narrow({1000000, 1000, 127}, 64),
        none({0, 64, 100}),  // narrow needs M >= 1; nothing after it serves N < 128
        none({100, 0, 100}),
        // Split-M: T = 16, 18 chunks of 240 rows (the last holds 16).
        split({4096, 512, 512}, s, 16, 18, 240, 1024),
        // T = 1: 284 wanted, 16 chunks of the minimum 16 rows.
        split({256, 128, 128}, s, 1, 16, 16, 64),
        // T = 256: 2 chunks, exactly the scratch.
        split({300, 2048, 2048}, s, 256, 2, 160, 16384),
        // T = 2: 142 wanted, chunks of 29 rounded to 32 rows, 128 of them.
        split({4096, 128, 256}, s, 2, 128, 32, 128),
        big({300, 2048, 4096}, 512),    // T = 512
        big({255, 4096, 4096}, 1024),   // M below 256
        big({4096, 2048, 2176}, 272),   // K * N above half the scratch: one chunk, no split
        big({64, 512, 513}, 20),
        slim({256, 127, 128}, 2),       // K below 128
        slim({64, 511, 1024}, 64),
        slim({0, 64, 256}, 4),          // empty batch, dW unchanged
        // T = 32: 9 wanted, 16 fit; chunks of 456 rounded to 464 rows.
        split({4096, 1024, 512}, s, 32, 9, 464, 2048),
        none({100, 0, 200}),
        // N off the tile size: T = 2, 142 wanted, chunks of 29 rounded to 32.
        split({4096, 128, 129}, s, 2, 128, 32, 65),
        // The rounding of the chunk to 16 rows: 4550 / 284 is above 16 and
        // rounds to 32; 4540 / 284 is just below and stays 16 (284 chunks).
        split({4550, 128, 128}, s, 1, 143, 32, 64),
        split({4540, 128, 128}, s, 1, 284, 16, 64),
        // 2560 / 5 and 2559 / 5 both round to exactly 512 rows.
        split({2560, 1024, 1024}, s, 64, 5, 512, 4096),
        split({2559, 1024, 1024}, s, 64, 5, 512, 4096),
        narrow({100, 65, 33}, 4),
        big({64, 513, 513}, 25),
        slim({64, 129, 130}, 6),
    };
  }
};

TEST_F(BackwardDwF32, EveryBucketLaunchesItsTableRow) {
  expect_cases(cases(), call(), "tesvan_backward_dw (f32)");
}

// The plan takes M as its 32-bit value: 2^32 + 256 splits like 256, and
// 2^32 (0 in 32 bits) leaves no split and runs slim over an empty batch.
TEST_F(BackwardDwF32, SplitPlanUsesTheLow32BitsOfM) {
  const uint64_t wrap = uint64_t{1} << 32;
  const std::vector<Case> wide = {
      {"split-M", {wrap + 256, 128, 128},
       {step("tesvan_tn_splitm_partial", {1, 1, 16}, {256}, 0,
             {P(splitk_scratch()), P(kX), P(kDy), I(256), I(128), I(128), I(16)},
             "tesvan_tn_splitm_partial: "),
        step("tesvan_splitm_reduce", {64}, {256}, 0,
             {P(kDw), P(splitk_scratch()), F(1), I(128), I(128), I(16)},
             "tesvan_splitm_reduce: ")}},
      slim({wrap, 128, 128}, 2),
  };
  expect_cases(wide, call(), "tesvan_backward_dw (f32)");
}

TEST_F(BackwardDwF32, RefusedLaunchStopsTheSequence) { expect_refusals(cases(), call()); }

TEST_F(BackwardDwF32, NoHostAllocation) { expect_no_host_allocation(cases(), call()); }

}  // namespace
}  // namespace tesvan::test
