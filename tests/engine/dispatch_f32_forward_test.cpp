// f32 forward dispatch: every bucket, its boundaries and the order in which
// the buckets are tested, read back from the launch log.
#include "dispatch.h"
#include "dispatch_fixture.h"
#include "driver.h"
#include "support/sim_control.h"

namespace tesvan::test {
namespace {

class ForwardF32 : public DispatchTest {
 protected:
  static Status run(const EngineStream& es, Kernels& k, Dims d, uint64_t bias) {
    return tesvan_forward(es, k, kOut, kA, kB, bias, d);
  }
  Call call(uint64_t bias = kBias) {
    return [bias](const EngineStream& es, Kernels& k, Dims d) { return run(es, k, d, bias); };
  }

  // out, a, b, bias, alpha, beta, M, N, K, lda, ldb, ldc
  static std::vector<LoggedArg> nn(int64_t m, int64_t n, int64_t k, uint64_t bias = kBias) {
    return {P(kOut), P(kA), P(kB), P(bias), F(1), F(0), I(m), I(n), I(k), I(k), I(n), I(n)};
  }
  // ... and post_op 0 for the narrow kernels
  static std::vector<LoggedArg> narrow(int64_t m, int64_t n, int64_t k) {
    std::vector<LoggedArg> a = nn(m, n, k);
    a.push_back(I(0));
    return a;
  }
  static Case ultra_thin(Dims d, Dim3 grid, unsigned shared) {
    return {"ultra-thin", d,
            {step("tesvan_nn_ultra_thin", grid, {256}, shared,
                  nn(d.m, d.n, d.k), "tesvan_nn_ultra_thin forward: ")}};
  }
  static Case gemv(Dims d, unsigned grid) {
    return {"gemv", d,
            {step("tesvan_nn_gemv", {grid}, {128}, 0,
                  {P(kOut), P(kA), P(kB), P(kBias), F(1), F(0), I(d.m), I(d.k), I(d.k), I(1)},
                  "tesvan_nn_gemv forward: ")}};
  }
  static Case narrow_small(Dims d, unsigned grid) {
    return {"narrow-small", d,
            {step("tesvan_nn_narrow_small", {grid}, {64}, 0, narrow(d.m, d.n, d.k),
                  "tesvan_nn_narrow_small forward: ")}};
  }
  static Case narrow_case(Dims d, unsigned grid) {
    return {"narrow", d,
            {step("tesvan_nn_narrow", {grid}, {128}, 0, narrow(d.m, d.n, d.k),
                  "tesvan_nn_narrow forward: ")}};
  }
  static Case gap_fill(Dims d, unsigned grid) {
    return {"gap-fill", d,
            {step("tesvan_nn_narrow", {grid}, {128}, 0, narrow(d.m, d.n, d.k),
                  "tesvan_nn_narrow (gap-fill thin-M wide-N): ")}};
  }
  static Case big(Dims d, unsigned grid) {
    return {"big", d,
            {step("tesvan_nn", {grid}, {256}, 34816, nn(d.m, d.n, d.k), "tesvan_nn forward: ")}};
  }
  static Case slim(Dims d, unsigned grid) {
    return {"slim", d,
            {step("tesvan_nn_slim", {grid}, {128}, 0, nn(d.m, d.n, d.k),
                  "tesvan_nn_slim forward: ")}};
  }
  static Case none(Dims d) { return {"none", d, {}}; }

  // Split-K over 32-wide chunks, no K tail.
  static Case split_k(Dims d, uint64_t s, unsigned partial_grid, unsigned reduce_grid) {
    const int64_t kc = d.k / 32;
    return {"split-K", d,
            {step("tesvan_nn_splitk32_partial", {partial_grid}, {128}, 0,
                  {P(s), P(kA), P(kB), I(d.m), I(d.n), I(kc), I(d.k)},
                  "tesvan_nn_splitk32_partial: "),
             step("tesvan_splitk_reduce", {reduce_grid}, {256}, 0,
                  {P(kOut), P(s), P(kBias), P(0), P(0), F(1), I(d.m), I(d.n), I(kc), I(0), I(0),
                   I(0)},
                  "tesvan_splitk_reduce: ")}};
  }

  // Slim split-K over `chunks` 64-wide chunks of K, `tiles` slim tiles.
  static Case slim_split(Dims d, uint64_t s, unsigned tiles, unsigned chunks,
                         unsigned reduce_grid) {
    return {"slim split-K", d,
            {step("tesvan_nn_splitk_slim_partial", {tiles, 1, chunks}, {128}, 0,
                  {P(s), P(kA), P(kB), I(d.m), I(d.n), I(d.k), I(d.k), I(d.n), I(64)},
                  "tesvan_nn_splitk_slim_partial: "),
             step("tesvan_splitk_reduce", {reduce_grid}, {256}, 0,
                  {P(kOut), P(s), P(kBias), P(0), P(0), F(1), I(d.m), I(d.n), I(chunks), I(0),
                   I(0), I(0)},
                  "tesvan_splitk_reduce (slim): ")}};
  }

  std::vector<Case> cases() {
    const uint64_t s = splitk_scratch();
    return {
        // Ultra-thin: bounds of M and K, N from 32; it wins over narrow-small.
        ultra_thin({8, 512, 64}, {2, 8, 1}, 2048),
        ultra_thin({31, 2048, 32}, {1, 31, 1}, 8192),
        ultra_thin({1, 32, 33}, {2, 1, 1}, 128),
        // GEMV: N = 1, K from 32.
        gemv({64, 512, 1}, 16),
        gemv({5, 32, 1}, 2),
        none({64, 31, 1}),
        // Narrow-small: K below the ultra-thin range, K above it, M = 32.
        narrow_small({8, 16, 64}, 4),
        narrow_small({31, 2049, 32}, 4),
        narrow_small({32, 64, 32}, 4),
        narrow_small({64, 1, 127}, 32),
        narrow_small({1, 31, 40}, 3),
        // Narrow: M from 65, whatever the batch.
        narrow_case({65, 1, 2}, 2),
        narrow_case({1000000, 10, 100}, 62500),
        // Gap-fill before the split region (M <= 31) and after it (M <= 127).
        gap_fill({31, 2049, 128}, 4),
        gap_fill({31, 1, 128}, 4),
        gap_fill({64, 128, 250}, 8),     // N % 4 != 0 skips both splits
        gap_fill({64, 64, 2049}, 65),    // N above 2048 skips both splits
        gap_fill({127, 4096, 4096}, 256),
        // K-tail split-K: KC = 3, K_main = 96, tail = 4.
        {"K-tail split-K",
         {64, 100, 256},
         {step("tesvan_nn_splitk32_partial", {24}, {128}, 0,
               {P(s), P(kA), P(kB), I(64), I(256), I(3), I(100)},
               "tesvan_nn_splitk32_partial (K-tail main): "),
          step("tesvan_splitk_reduce", {64}, {256}, 0,
               {P(kOut), P(s), P(kBias), P(kA + 4 * 96), P(kB + 4 * 96 * 256), F(1), I(64),
                I(256), I(3), I(100), I(0), I(4)},
               "tesvan_splitk_reduce (K-tail): ")}},
        // K = 33: one full chunk and a tail of 1.
        {"K-tail split-K, K = 33",
         {32, 33, 128},
         {step("tesvan_nn_splitk32_partial", {2}, {128}, 0,
               {P(s), P(kA), P(kB), I(32), I(128), I(1), I(33)},
               "tesvan_nn_splitk32_partial (K-tail main): "),
          step("tesvan_splitk_reduce", {16}, {256}, 0,
               {P(kOut), P(s), P(kBias), P(kA + 4 * 32), P(kB + 4 * 32 * 128), F(1), I(32),
                I(128), I(1), I(33), I(0), I(1)},
               "tesvan_splitk_reduce (K-tail): ")}},
        split_k({64, 128, 256}, s, 32, 64),
        // Exactly the scratch (512 * 512 * 32 elements).
        split_k({512, 1024, 512}, s, 4096, 1024),
        split_k({1024, 32, 1088}, s, 32 * 17, 4352),  // T = 8 * 17 = 136
        slim({512, 1056, 512}, 32),                  // slabs above the scratch
        big({1024, 32, 1092}, 72),                    // T = 8 * 18 = 144
        big({1024, 32, 2048}, 128),
        slim({128, 64, 2052}, 33),
        // Slim split-K: F = 8 chunks of 64, T = 64.
        slim_split({2048, 512, 256}, s, 64, 8, 2048),
        // K % 64 = 32: F = 6, the last chunk holds 32.
        slim_split({1025, 352, 128}, s, 18, 6, 513),
        slim_split({2048, 512, 260}, s, 80, 8, 2080),  // T = 16 * 5
        slim({2048, 4096, 256}, 64),  // F * M * N above the scratch
        slim({1025, 320, 256}, 36),   // F = 5
        slim({2048, 400, 256}, 64),   // K % 32 != 0
        split_k({1024, 512, 256}, s, 2048, 1024),
        slim({1024, 1056, 256}, 32),  // 1024 * 256 * 33 slab elements: above the scratch
        slim({2048, 64, 512}, 128),   // F = 1
        big({2048, 64, 513}, 80),
        big({2048, 512, 513}, 80),    // N above 512: no slim split
        big({512, 1, 513}, 20),
        slim({511, 1, 4096}, 256),
        slim({128, 1, 128}, 2),
        // No bucket.
        none({64, 0, 64}),
        none({2048, 0, 2048}),
        none({64, 64, 0}),
        none({0, 64, 64}),
        none({127, 64, 0}),
        gemv({100, 100, 1}, 25),
        // Shape values off the tile sizes: every ceiling of the grids.
        narrow_small({17, 1, 17}, 4),
        narrow_case({65, 1, 33}, 4),
        gap_fill({65, 64, 250}, 16),
        split_k({65, 64, 260}, s, 3 * 2 * 5, 67),
        big({513, 1, 513}, 25),
    };
  }
};

TEST_F(ForwardF32, EveryBucketLaunchesItsTableRow) {
  expect_cases(cases(), call(), "tesvan_forward (f32)");
}

TEST_F(ForwardF32, NoBiasPassesNull) {
  const std::vector<Case> no_bias = {
      {"slim", {128, 1, 128},
       {step("tesvan_nn_slim", {2}, {128}, 0, nn(128, 128, 1, 0), "tesvan_nn_slim forward: ")}},
  };
  expect_cases(no_bias, call(0), "tesvan_forward (f32)");
}

// Buckets compare the 64-bit shape; kernels and grids get the low 32 bits.
TEST_F(ForwardF32, ShapesAbove32BitsAreTestedWhole) {
  const uint64_t wrap = uint64_t{1} << 32;
  const std::vector<Case> wide = {
      // M = 2^32 + 8 is not thin: narrow, with M = 8 in the kernel.
      narrow_case({wrap + 8, 512, 64}, 2),
      // K = 2^32 + 64 is above the ultra-thin range: narrow-small with K = 64.
      narrow_small({8, wrap + 64, 64}, 4),
  };
  expect_cases(wide, call(), "tesvan_forward (f32)");
}

// M = 0 over a wide N reaches the gap-fill bucket with an empty grid, which
// the driver refuses.
TEST_F(ForwardF32, EmptyBatchOverWideNIsRefusedByTheDriver) {
  const std::vector<Case> empty = {
      {"gap-fill, M = 0", {0, 1, 128}, {}, "tesvan_nn_narrow (gap-fill thin-M wide-N): "},
  };
  expect_cases(empty, call(), "tesvan_forward (f32)");
}

// A context that cannot be made current fails the launch like a refusal.
TEST_F(ForwardF32, ContextFailureIsALaunchFailure) {
  ASSERT_EQ(es().api->cuCtxSetCurrent(nullptr), cu::CUDA_SUCCESS);
  sim().tvnsim_inject("cuCtxSetCurrent", 1, 1 /* INVALID_VALUE */);
  const Status st = tesvan_forward(es(), table(), kOut, kA, kB, kBias, {128, 1, 128});
  sim().tvnsim_clear_injections();
  ASSERT_EQ(es().api->cuCtxSetCurrent(es().ctx), cu::CUDA_SUCCESS);
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().message(), std::string("tesvan_nn_slim forward: ") + kInvalidValue);
  EXPECT_EQ(sim().tvnsim_launch_count(), 0u);
}

TEST_F(ForwardF32, RefusedLaunchStopsTheSequence) { expect_refusals(cases(), call()); }

TEST_F(ForwardF32, NoHostAllocation) { expect_no_host_allocation(cases(), call()); }

}  // namespace
}  // namespace tesvan::test
