// Typed scalar-tier dispatch: native buckets in both 16-bit types, the
// regions left to the upcast fallback, and the operand type checks.
#include "dispatch.h"
#include "dispatch_fixture.h"

namespace tesvan::test {
namespace {

class Typed : public DispatchTest, public testing::WithParamInterface<HalfType> {
 protected:
  static DType t() { return GetParam().type; }
  static std::string kernel(const char* base) { return std::string(base) + GetParam().suffix; }

  static Call forward() {
    const DType ty = t();
    return [ty](const EngineStream& es, Kernels& k, Dims d) {
      return tesvan_forward_typed(es, k, {kOut, ty}, {kA, ty}, {kB, ty}, kBias, d);
    };
  }
  static Call dw() {
    const DType ty = t();
    return [ty](const EngineStream& es, Kernels& k, Dims d) {
      return tesvan_backward_dw_typed(es, k, kDw, {kDy, ty}, {kX, ty}, d);
    };
  }
  static Call dx() {
    const DType ty = t();
    return [ty](const EngineStream& es, Kernels& k, Dims d) {
      return tesvan_backward_dx_typed(es, k, {kDx, ty}, {kDy, ty}, {kW, ty}, d);
    };
  }

  static std::vector<LoggedArg> nn(int64_t m, int64_t n, int64_t k) {
    return {P(kOut), P(kA), P(kB), P(kBias), F(1), F(0), I(m), I(n), I(k), I(k), I(n), I(n)};
  }
  static std::vector<LoggedArg> narrow(int64_t m, int64_t n, int64_t k) {
    std::vector<LoggedArg> a = nn(m, n, k);
    a.push_back(I(0));
    return a;
  }
  static Case one(const char* base, Dims d, Dim3 grid, unsigned block, unsigned shared,
                  std::vector<LoggedArg> args, const char* context) {
    return {base, d, {step(kernel(base).c_str(), grid, {block}, shared, std::move(args), context)}};
  }
  static Case none(Dims d) { return {"none", d, {}}; }

  static std::vector<Case> forward_cases() {
    auto big = [](Dims d, unsigned grid) {
      return one("tesvan_nn_big", d, {grid}, 256, 34816, nn(d.m, d.n, d.k),
                 "tesvan_nn_big typed: ");
    };
    return {
        one("tesvan_nn_gemv", {64, 512, 1}, {16}, 128, 0,
            {P(kOut), P(kA), P(kB), P(kBias), F(1), F(0), I(64), I(512), I(512), I(1)},
            "tesvan_nn_gemv typed: "),
        one("tesvan_nn_gemv", {8, 32, 1}, {2}, 128, 0,
            {P(kOut), P(kA), P(kB), P(kBias), F(1), F(0), I(8), I(32), I(32), I(1)},
            "tesvan_nn_gemv typed: "),
        none({64, 16, 1}),
        one("tesvan_nn_ultra_thin", {8, 512, 64}, {2, 8, 1}, 256, 2048, nn(8, 64, 512),
            "tesvan_nn_ultra_thin typed: "),
        one("tesvan_nn_ultra_thin", {31, 2048, 32}, {1, 31, 1}, 256, 8192, nn(31, 32, 2048),
            "tesvan_nn_ultra_thin typed: "),
        one("tesvan_nn_narrow_small", {8, 16, 64}, {4}, 64, 0, narrow(8, 64, 16),
            "tesvan_nn_narrow typed: "),
        one("tesvan_nn_narrow_small", {64, 1, 127}, {32}, 64, 0, narrow(64, 127, 1),
            "tesvan_nn_narrow typed: "),
        one("tesvan_nn_narrow", {65, 10, 100}, {8}, 128, 0, narrow(65, 100, 10),
            "tesvan_nn_narrow typed: "),
        none({0, 16, 64}),
        none({64, 0, 64}),
        // The f32 split-K region is left to the fallback ...
        none({512, 256, 1024}),
        none({512, 100, 1024}),
        // ... and so are the gap-fill, slim and slim split-K shapes.
        none({31, 2049, 128}),
        none({100, 64, 1024}),
        none({2048, 64, 512}),
        none({2048, 512, 256}),
        big({512, 1056, 1024}, 32),   // split-K slabs above the scratch
        big({1024, 32, 2048}, 128),   // T = 256
        big({1024, 32, 2052}, 136),   // N above 2048
        big({512, 31, 1024}, 32),     // K below 32
        big({512, 64, 1022}, 32),     // N % 4 != 0
        big({2048, 64, 513}, 80),
        big({512, 0, 513}, 20),       // empty reduction: the bias, rounded
        // Shape values off the tile sizes.
        one("tesvan_nn_ultra_thin", {8, 512, 33}, {2, 8, 1}, 256, 2048, nn(8, 33, 512),
            "tesvan_nn_ultra_thin typed: "),
        one("tesvan_nn_narrow_small", {17, 1, 17}, {4}, 64, 0, narrow(17, 17, 1),
            "tesvan_nn_narrow typed: "),
        one("tesvan_nn_narrow", {127, 1, 33}, {4}, 128, 0, narrow(127, 33, 1),
            "tesvan_nn_narrow typed: "),
        one("tesvan_nn_narrow", {127, 1, 32}, {2}, 128, 0, narrow(127, 32, 1),
            "tesvan_nn_narrow typed: "),
        big({513, 0, 513}, 25),
    };
  }

  static std::vector<Case> dw_cases() {
    auto tn = [](Dims d) { return std::vector<LoggedArg>{P(kDw), P(kX), P(kDy), F(1), I(d.m),
                                                         I(d.k), I(d.n)}; };
    auto big = [&](Dims d, unsigned grid) {
      return one("tesvan_tn_big", d, {grid}, 256, 34816, tn(d), "tesvan_tn_big typed: ");
    };
    return {
        one("tesvan_tn_gemv", {32, 4, 1}, {1}, 128, 0,
            {P(kDw), P(kX), P(kDy), F(1), I(32), I(4), I(4), I(1)}, "tesvan_tn_gemv typed: "),
        one("tesvan_tn_gemv", {1000, 1001, 1}, {251}, 128, 0,
            {P(kDw), P(kX), P(kDy), F(1), I(1000), I(1001), I(1001), I(1)},
            "tesvan_tn_gemv typed: "),
        none({31, 64, 1}),
        none({32, 3, 1}),
        none({32, 32, 0}),
        one("tesvan_tn_narrow", {100, 64, 100}, {4}, 128, 0, tn({100, 64, 100}),
            "tesvan_tn_narrow typed: "),
        one("tesvan_tn_narrow", {1, 1000, 127}, {64}, 128, 0, tn({1, 1000, 127}),
            "tesvan_tn_narrow typed: "),
        none({0, 64, 100}),
        // Split-M holds: T = 64, 5 chunks of 832.
        none({4096, 1024, 1024}),
        none({4096, 512, 512}),
        // Slim shapes.
        none({64, 511, 1024}),
        none({64, 4096, 512}),
        big({200, 1024, 1024}, 64),   // M below 256
        big({4096, 2048, 2176}, 272), // one chunk: no split
        big({300, 2048, 4096}, 512),  // T = 512
        big({0, 512, 513}, 20),
        one("tesvan_tn_narrow", {100, 65, 33}, {4}, 128, 0, tn({100, 65, 33}),
            "tesvan_tn_narrow typed: "),
        big({0, 513, 513}, 25),
    };
  }

  static std::vector<Case> dx_cases() {
    auto nt = [](Dims d) { return std::vector<LoggedArg>{P(kDx), P(kDy), P(kW), F(1), I(d.m),
                                                         I(d.n), I(d.k)}; };
    auto big = [&](Dims d, unsigned grid) {
      return one("tesvan_nt_big", d, {grid}, 256, 34816, nt(d), "tesvan_nt_big typed: ");
    };
    return {
        one("tesvan_nt_gemv", {5, 3, 1}, {1}, 256, 0,
            {P(kDx), P(kDy), P(kW), F(1), I(5), I(3), I(3), I(1)}, "tesvan_nt_gemv typed: "),
        one("tesvan_nt_gemv", {1000, 1000, 1}, {3907}, 256, 0,
            {P(kDx), P(kDy), P(kW), F(1), I(1000), I(1000), I(1000), I(1)},
            "tesvan_nt_gemv typed: "),
        none({0, 3, 1}),
        one("tesvan_nt_narrow", {1000, 100, 64}, {64}, 128, 0, nt({1000, 100, 64}),
            "tesvan_nt_narrow typed: "),
        one("tesvan_nt_narrow", {512, 513, 127}, {136}, 128, 0, nt({512, 513, 127}),
            "tesvan_nt_narrow typed: "),
        none({31, 100, 128}),       // small batch over wide N
        none({100, 100, 128}),      // mid-batch gap-fill
        none({511, 1024, 128}),     // slim
        none({2048, 512, 256}),     // region A
        none({1536, 640, 512}),     // region A: M * K * F = 7,864,320, T = 120
        none({512, 1024, 256}),     // region B, K % 32 = 0
        none({512, 513, 128}),      // region B, N % 32 = 0
        big({2048, 640, 512}, 80),  // M * K * F = 10,485,760: not region A
        big({512, 513, 130}, 20),   // K % 32 and N % 32 both non-zero
        big({2048, 1024, 256}, 128),
        big({1024, 1152, 128}, 72), // T = 144
        big({512, 513, 0}, 20),     // empty reduction: zeros
        none({512, 512, 0}),
        none({511, 513, 0}),
        one("tesvan_nt_narrow", {65, 32, 100}, {2}, 128, 0, nt({65, 32, 100}),
            "tesvan_nt_narrow typed: "),
        big({513, 513, 0}, 25),
    };
  }
};

TEST_P(Typed, ForwardBuckets) { expect_cases(forward_cases(), forward(), "tesvan_forward_typed"); }
TEST_P(Typed, BackwardDwBuckets) { expect_cases(dw_cases(), dw(), "tesvan_backward_dw_typed"); }
TEST_P(Typed, BackwardDxBuckets) { expect_cases(dx_cases(), dx(), "tesvan_backward_dx_typed"); }

TEST_P(Typed, RefusedLaunchReportsItsSite) {
  expect_refusals(forward_cases(), forward());
  expect_refusals(dw_cases(), dw());
  expect_refusals(dx_cases(), dx());
}

TEST_P(Typed, NoHostAllocation) {
  expect_no_host_allocation(forward_cases(), forward());
  expect_no_host_allocation(dw_cases(), dw());
  expect_no_host_allocation(dx_cases(), dx());
}

INSTANTIATE_TEST_SUITE_P(Dtypes, Typed, half_types(), half_type_name);

}  // namespace
}  // namespace tesvan::test
