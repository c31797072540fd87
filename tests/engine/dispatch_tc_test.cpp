// Tensor-core tier dispatch: the tile choice from the output shape and the
// launch of each operation in both 16-bit types.
#include "dispatch.h"
#include "dispatch_fixture.h"

namespace tesvan::test {
namespace {

class TensorCore : public DispatchTest, public testing::WithParamInterface<HalfType> {
 protected:
  static DType t() { return GetParam().type; }

  static Call forward() {
    const DType ty = t();
    return [ty](const EngineStream& es, Kernels& k, Dims d) {
      return tesvan_forward_tc(es, k, {kOut, ty}, {kA, ty}, {kB, ty}, kBias, d);
    };
  }
  static Call dw() {
    const DType ty = t();
    return [ty](const EngineStream& es, Kernels& k, Dims d) {
      return tesvan_backward_dw_tc(es, k, kDw, {kDy, ty}, {kX, ty}, d);
    };
  }
  static Call dx() {
    const DType ty = t();
    return [ty](const EngineStream& es, Kernels& k, Dims d) {
      return tesvan_backward_dx_tc(es, k, {kDx, ty}, {kDy, ty}, {kW, ty}, d);
    };
  }

  // The 64-tile (wide = false) or 128-tile kernel of an operation.
  static Case launch_case(const char* base, bool wide, Dims d, unsigned grid, unsigned shared,
                          std::vector<LoggedArg> args, const char* context) {
    const std::string name = std::string(base) + (wide ? "" : "64") + GetParam().suffix;
    return {name, d,
            {step(name.c_str(), {grid}, {wide ? 256u : 128u}, wide ? shared : 0, std::move(args),
                  context)}};
  }
  static Case fwd(bool wide, Dims d, unsigned grid) {
    return launch_case("tesvan_nn_tc", wide, d, grid, 71680,
                       {P(kOut), P(kA), P(kB), P(kBias), F(1), F(0), I(d.m), I(d.n), I(d.k),
                        I(d.k), I(d.n), I(d.n)},
                       "tesvan_nn_tc: ");
  }
  static Case wgrad(bool wide, Dims d, unsigned grid) {
    return launch_case("tesvan_tn_tc", wide, d, grid, 69632,
                       {P(kDw), P(kX), P(kDy), F(1), I(d.m), I(d.k), I(d.n)}, "tesvan_tn_tc: ");
  }
  static Case dgrad(bool wide, Dims d, unsigned grid) {
    return launch_case("tesvan_nt_tc", wide, d, grid, 73728,
                       {P(kDx), P(kDy), P(kW), F(1), I(d.m), I(d.n), I(d.k)}, "tesvan_nt_tc: ");
  }
  static Case none(Dims d) { return {"none", d, {}}; }

  static std::vector<Case> forward_cases() {
    return {
        none({63, 512, 4096}),
        none({4096, 512, 63}),
        fwd(false, {64, 512, 64}, 1),
        fwd(false, {128, 64, 100}, 4),
        fwd(false, {1024, 64, 1024}, 256),  // 64 tiles of 128: below 72
        fwd(true, {1152, 64, 1024}, 72),    // exactly 72
        fwd(false, {127, 64, 9216}, 288),   // 72 tiles, but rows below 128
        fwd(false, {9216, 64, 127}, 288),   // 72 tiles, but columns below 128
        fwd(false, {8192, 1, 128}, 256),    // 64 * 1 tiles of 128
        fwd(true, {9216, 1, 128}, 72),      // 72 * 1
        fwd(true, {128, 1, 9216}, 72),      // 1 * 72
        fwd(false, {9088, 1, 128}, 284),    // 71 * 1
        fwd(true, {1025, 1, 1024}, 72),     // 9 * 8: the row ceiling reaches 72
        fwd(true, {1024, 1, 1025}, 72),     // 8 * 9: the column ceiling reaches 72
        fwd(false, {1017, 1, 1024}, 256),   // 8 * 8
        fwd(false, {64, 0, 64}, 1),         // empty reduction: the bias, rounded
    };
  }
  static std::vector<Case> dw_cases() {
    return {
        none({512, 63, 512}),
        none({512, 512, 63}),
        wgrad(false, {0, 64, 64}, 1),  // the reduction length plays no part
        wgrad(false, {100000, 64, 64}, 1),
        wgrad(false, {8, 1024, 1024}, 256),
        wgrad(true, {8, 1152, 1024}, 72),
        wgrad(true, {8, 4096, 4096}, 1024),
    };
  }
  static std::vector<Case> dx_cases() {
    return {
        none({63, 512, 512}),
        none({512, 63, 512}),
        dgrad(false, {64, 64, 0}, 1),  // zeros
        dgrad(false, {1024, 1024, 64}, 256),
        dgrad(true, {1152, 1024, 64}, 72),
        dgrad(false, {200, 300, 8}, 20),
    };
  }
};

TEST_P(TensorCore, ForwardTileChoice) {
  expect_cases(forward_cases(), forward(), "tesvan_forward_tc");
}
TEST_P(TensorCore, BackwardDwTileChoice) { expect_cases(dw_cases(), dw(), "tesvan_backward_dw_tc"); }
TEST_P(TensorCore, BackwardDxTileChoice) { expect_cases(dx_cases(), dx(), "tesvan_backward_dx_tc"); }

// The output shape is compared whole; the kernel gets the low 32 bits.
TEST_P(TensorCore, ShapesAbove32BitsAreTestedWhole) {
  const uint64_t wrap = uint64_t{1} << 32;
  expect_cases({fwd(false, {wrap + 100, 7, 100}, 4)}, forward(), "tesvan_forward_tc");
}

TEST_P(TensorCore, RefusedLaunchReportsItsSite) {
  expect_refusals(forward_cases(), forward());
  expect_refusals(dw_cases(), dw());
  expect_refusals(dx_cases(), dx());
}

TEST_P(TensorCore, NoHostAllocation) {
  expect_no_host_allocation(forward_cases(), forward());
  expect_no_host_allocation(dw_cases(), dw());
  expect_no_host_allocation(dx_cases(), dx());
}

INSTANTIATE_TEST_SUITE_P(Dtypes, TensorCore, half_types(), half_type_name);

}  // namespace
}  // namespace tesvan::test
