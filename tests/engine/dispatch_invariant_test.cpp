// The batch-invariant routing on the stub module: which kernels it launches
// for each M, that its launches are the default tables' rows for the same
// kernels, and that an unserved (K, N) fails alike for every M.
#include <set>
#include <string>

#include "dispatch.h"
#include "dispatch_fixture.h"
#include "dispatch_invariant.h"
#include "support/sim_control.h"

namespace tesvan::test {
namespace {

// The engine tests' sweep, with 300 (the slim tile's first filling M at
// K = 4096) and the large batches at which the big tile takes over.
const uint64_t kSweep[] = {1,  2,   7,   31,  32,  33,   63,   64,  65,
                           127, 128, 129, 200, 300, 1025, 4096, 8192};

class InvariantDispatch : public DispatchTest {
 protected:
  static Call forward(DType t, bool tc) {
    return [t, tc](const EngineStream& es, Kernels& k, Dims d) {
      return tesvan_forward_invariant(es, k, {kOut, t}, {kA, t}, {kB, t}, kBias, d, tc);
    };
  }
  static Call dx(DType t, bool tc) {
    return [t, tc](const EngineStream& es, Kernels& k, Dims d) {
      return tesvan_backward_dx_invariant(es, k, {kDx, t}, {kDy, t}, {kW, t}, d, tc);
    };
  }
  std::vector<LoggedLaunch> logged(const Call& call, Dims d) {
    sim().tvnsim_launch_clear();
    const Status st = call(es(), table(), d);
    EXPECT_TRUE(st.ok()) << st.error().display();
    return read_launch_log();
  }
};

// Each chain tile the mode picks is launched exactly as the default table
// launches that kernel (only the context string differs).
TEST_F(InvariantDispatch, ChainLaunchesAreTheDefaultRowsOfTheSameKernel) {
  struct Pair {
    const char* kernel;
    Call invariant, dflt;
    Dims d;
  };
  const auto f32_fwd = [](const EngineStream& es, Kernels& k, Dims d) {
    return tesvan_forward(es, k, kOut, kA, kB, kBias, d);
  };
  const auto f32_dx = [](const EngineStream& es, Kernels& k, Dims d) {
    return tesvan_backward_dx(es, k, kDx, kDy, kW, d);
  };
  const auto typed_fwd = [](const EngineStream& es, Kernels& k, Dims d) {
    return tesvan_forward_typed(es, k, {kOut, DType::BF16}, {kA, DType::BF16}, {kB, DType::BF16},
                                kBias, d);
  };
  const auto typed_dx = [](const EngineStream& es, Kernels& k, Dims d) {
    return tesvan_backward_dx_typed(es, k, {kDx, DType::F16}, {kDy, DType::F16},
                                    {kW, DType::F16}, d);
  };
  const Pair pairs[] = {
      {"tesvan_nn", forward(DType::F32, false), f32_fwd, {8192, 64, 4096}},
      {"tesvan_nn_slim", forward(DType::F32, false), f32_fwd, {4096, 64, 512}},
      {"tesvan_nn_narrow", forward(DType::F32, false), f32_fwd, {8192, 16, 64}},
      {"tesvan_nn_narrow_small", forward(DType::F32, false), f32_fwd, {8, 16, 64}},
      {"tesvan_nn_big_bf16", forward(DType::BF16, false), typed_fwd, {8192, 64, 4096}},
      {"tesvan_nn_narrow_bf16", forward(DType::BF16, false), typed_fwd, {8192, 16, 64}},
      {"tesvan_nn_narrow_small_bf16", forward(DType::BF16, false), typed_fwd, {8, 16, 64}},
      {"tesvan_nt", dx(DType::F32, false), f32_dx, {8192, 4096, 128}},
      {"tesvan_nt_slim", dx(DType::F32, false), f32_dx, {256, 4608, 128}},
      {"tesvan_nt_narrow", dx(DType::F32, false), f32_dx, {8, 64, 64}},
      {"tesvan_nt_big_f16", dx(DType::F16, false), typed_dx, {8192, 4096, 128}},
      {"tesvan_nt_narrow_f16", dx(DType::F16, false), typed_dx, {8, 64, 64}},
  };
  for (const Pair& p : pairs) {
    SCOPED_TRACE(p.kernel);
    const std::vector<LoggedLaunch> dflt = logged(p.dflt, p.d);
    const std::vector<LoggedLaunch> inv = logged(p.invariant, p.d);
    ASSERT_EQ(inv.size(), 1u);
    EXPECT_EQ(inv[0].kernel, p.kernel);
    EXPECT_TRUE(same_launches(dflt, inv));
  }
}

// For every M one launch, always of the one order's kernels: never a split,
// ultra-thin or GEMV kernel, and the tensor-core order down to M = 1.
TEST_F(InvariantDispatch, EveryBatchSizeTakesOneLaunchOfTheSameOrder) {
  const std::set<std::string> f32_chain = {"tesvan_nn", "tesvan_nn_slim", "tesvan_nn_narrow",
                                           "tesvan_nn_narrow_small"};
  const std::set<std::string> bf16_chain = {"tesvan_nn_big_bf16", "tesvan_nn_narrow_bf16",
                                            "tesvan_nn_narrow_small_bf16"};
  const std::set<std::string> f16_tc = {"tesvan_nn_tc_f16", "tesvan_nn_tc64_f16"};
  const std::set<std::string> f32_dx_chain = {"tesvan_nt", "tesvan_nt_slim", "tesvan_nt_narrow"};
  const std::set<std::string> f16_dx_chain = {"tesvan_nt_big_f16", "tesvan_nt_narrow_f16"};
  const std::set<std::string> bf16_dx_tc = {"tesvan_nt_tc_bf16", "tesvan_nt_tc64_bf16"};
  struct Family {
    Call call;
    uint64_t k, n;
    const std::set<std::string>* kernels;
    size_t distinct;  // how many of them the sweep reaches
  };
  const Family families[] = {
      {forward(DType::F32, false), 512, 4096, &f32_chain, 4},
      {forward(DType::F32, false), 64, 256, &f32_chain, 3},
      {forward(DType::F32, false), 64, 1, &f32_chain, 1},
      {forward(DType::BF16, false), 512, 4096, &bf16_chain, 3},
      {forward(DType::BF16, true), 512, 60, &bf16_chain, 2},
      {forward(DType::F16, true), 512, 1152, &f16_tc, 2},
      {dx(DType::F32, false), 4096, 256, &f32_dx_chain, 3},
      {dx(DType::F16, false), 4096, 256, &f16_dx_chain, 2},
      {dx(DType::F16, true), 63, 256, &f16_dx_chain, 1},
      {dx(DType::BF16, true), 1152, 64, &bf16_dx_tc, 2},
  };
  for (const Family& f : families) {
    SCOPED_TRACE("K=" + std::to_string(f.k) + " N=" + std::to_string(f.n));
    std::set<std::string> seen;
    for (uint64_t m : kSweep) {
      const std::vector<LoggedLaunch> l = logged(f.call, {m, f.k, f.n});
      ASSERT_EQ(l.size(), 1u) << "M=" << m;
      EXPECT_EQ(f.kernels->count(l[0].kernel), 1u) << "M=" << m << ": " << l[0].kernel;
      seen.insert(l[0].kernel);
    }
    EXPECT_EQ(seen.size(), f.distinct);
  }
}

// A (K, N) the mode cannot order fails for every M, M = 0 included, with
// the same error and no launch; the tensor-core order serves K = 0.
TEST_F(InvariantDispatch, UnservedShapesFailAlikeForEveryBatchSize) {
  std::vector<Case> fwd_f32, fwd_bf16, dx_f32;
  for (uint64_t m : {0, 1, 7, 64, 1025, 8192}) {
    fwd_f32.push_back({"f32 K=0", {m, 0, 128}, {}});
    fwd_f32.push_back({"f32 N=0", {m, 64, 0}, {}});
    fwd_bf16.push_back({"bf16 K=0 below the tensor-core width", {m, 0, 32}, {}});
    fwd_bf16.push_back({"bf16 N=0", {m, 64, 0}, {}});
    dx_f32.push_back({"dx K=0", {m, 0, 128}, {}});
    dx_f32.push_back({"dx N=0", {m, 64, 0}, {}});
  }
  fwd_f32.push_back({"served (K, N), empty batch", {0, 64, 64}, {}});
  expect_cases(fwd_f32, forward(DType::F32, false), kInvariantForwardLabel);
  expect_cases(fwd_bf16, forward(DType::BF16, true), kInvariantForwardLabel);
  expect_cases(dx_f32, dx(DType::F32, true), kInvariantBackwardDxLabel);

  for (uint64_t m : {1, 7, 63}) {
    const std::vector<LoggedLaunch> l = logged(forward(DType::BF16, true), {m, 0, 64});
    ASSERT_EQ(l.size(), 1u);
    EXPECT_EQ(l[0].kernel, "tesvan_nn_tc64_bf16");
    EXPECT_EQ(l[0].grid[0], 1u);
  }
}

TEST_F(InvariantDispatch, LaunchesAllocateNothingOnTheHost) {
  std::vector<Case> cases;
  for (uint64_t m : {1, 200, 8192}) {
    // Only the number of steps counts here.
    cases.push_back({"M=" + std::to_string(m), {m, 512, 4096}, {step("any", {}, {}, 0, {}, "")}});
  }
  for (const Call& call : {forward(DType::F32, false), forward(DType::BF16, false),
                           forward(DType::F16, true), dx(DType::F32, false),
                           dx(DType::BF16, false), dx(DType::F16, true)}) {
    expect_no_host_allocation(cases, call);
  }
}

TEST_F(InvariantDispatch, MixedTypesAreRefusedBeforeAnyLaunch) {
  sim().tvnsim_launch_clear();
  Status s = tesvan_forward_invariant(es(), table(), {kOut, DType::BF16}, {kA, DType::F16},
                                      {kB, DType::BF16}, 0, {8, 64, 64}, true);
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().display(), "dtype mismatch: tesvan_forward_invariant: mixed dtypes");
  s = tesvan_backward_dx_invariant(es(), table(), {kDx, DType::F32}, {kDy, DType::F32},
                                   {kW, DType::BF16}, {8, 64, 64}, false);
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().display(), "dtype mismatch: tesvan_backward_dx_invariant: mixed dtypes");
  EXPECT_TRUE(read_launch_log().empty());
}

}  // namespace
}  // namespace tesvan::test
