// The split sequences' use of the scratch: a scratch that cannot be created
// fails the call with its own error and launches nothing after the request;
// a later call creates it; once created, no call allocates again.
#include "dispatch.h"
#include "dispatch_fixture.h"
#include "support/sim_control.h"

namespace tesvan::test {
namespace {

constexpr const char* kOutOfMemory = "DriverError(CUDA_ERROR_OUT_OF_MEMORY, \"out of memory\")";

class Scratch : public DispatchTest {
 protected:
  const char* alloc_function() const {
    return es().memory_pools ? "cuMemAllocAsync" : "cuMemAlloc_v2";
  }

  // Runs `call` on a table with empty slots with the nth allocation refused;
  // expects `message` and exactly the first `launched` kernels; then the same
  // call succeeds with `total` launches, and a third call allocates nothing.
  void expect_failed_then_created(const std::function<Status(Kernels&)>& call, unsigned nth,
                                  const std::string& message,
                                  const std::vector<std::string>& kernels, size_t launched) {
    Kernels k = fresh_table();
    sim().tvnsim_launch_clear();
    inject_alloc_failure(nth);
    const Status failed = call(k);
    sim().tvnsim_clear_injections();
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error().kind(), Error::Kind::Cuda);
    EXPECT_EQ(failed.error().message(), message);
    std::vector<LoggedLaunch> log = read_launch_log();
    ASSERT_EQ(log.size(), launched);
    for (size_t i = 0; i < launched; ++i) EXPECT_EQ(log[i].kernel, kernels[i]);

    sim().tvnsim_launch_clear();
    const Status retried = call(k);
    EXPECT_TRUE(retried.ok()) << (retried.ok() ? "" : retried.error().display());
    log = read_launch_log();
    ASSERT_EQ(log.size(), kernels.size());
    for (size_t i = 0; i < kernels.size(); ++i) EXPECT_EQ(log[i].kernel, kernels[i]);

    const uint64_t allocations = sim().tvnsim_call_count(alloc_function());
    sim().tvnsim_launch_clear();
    EXPECT_TRUE(call(k).ok());
    EXPECT_EQ(sim().tvnsim_call_count(alloc_function()), allocations);
    EXPECT_TRUE(same_launches(log, read_launch_log()));
  }
};

TEST_F(Scratch, ForwardSplitsNeedTheSplitkScratch) {
  const std::string msg = std::string("splitk_scratch alloc: ") + kOutOfMemory;
  const std::vector<std::string> k32 = {"tesvan_nn_splitk32_partial", "tesvan_splitk_reduce"};
  const std::vector<std::string> slim = {"tesvan_nn_splitk_slim_partial", "tesvan_splitk_reduce"};
  for (Dims d : {Dims{64, 100, 256}, Dims{64, 128, 256}}) {
    SCOPED_TRACE(d.k);
    expect_failed_then_created(
        [d](Kernels& k) { return tesvan_forward(es(), k, kOut, kA, kB, kBias, d); }, 1, msg, k32,
        0);
  }
  expect_failed_then_created(
      [](Kernels& k) { return tesvan_forward(es(), k, kOut, kA, kB, kBias, {2048, 512, 256}); }, 1,
      msg, slim, 0);
}

TEST_F(Scratch, BackwardDwSplitNeedsTheSplitkScratch) {
  expect_failed_then_created(
      [](Kernels& k) { return tesvan_backward_dw(es(), k, kDw, kDy, kX, {4096, 512, 512}); }, 1,
      std::string("splitk_scratch alloc: ") + kOutOfMemory,
      {"tesvan_tn_splitm_partial", "tesvan_splitm_reduce"}, 0);
}

// The transpose scratch is requested first and the transpose launched before
// the split-K scratch is requested.
TEST_F(Scratch, BackwardDxSplitsNeedBothScratches) {
  const struct {
    Dims dims;
    std::vector<std::string> kernels;
  } splits[] = {
      {{64, 257, 256},
       {"tesvan_transpose_f32_2d", "tesvan_nn_splitk32_partial", "tesvan_splitk_reduce",
        "tesvan_dx_col_gemv"}},
      {{64, 256, 300},
       {"tesvan_transpose_f32_2d", "tesvan_nn_splitk32_partial", "tesvan_splitk_reduce"}},
      {{2048, 512, 256},
       {"tesvan_transpose_f32_2d", "tesvan_nn_splitk_slim_partial", "tesvan_splitk_reduce"}},
  };
  for (const auto& s : splits) {
    SCOPED_TRACE(s.dims.k);
    const Dims d = s.dims;
    auto call = [d](Kernels& k) { return tesvan_backward_dx(es(), k, kDx, kDy, kW, d); };
    expect_failed_then_created(call, 1, std::string("transpose_scratch alloc: ") + kOutOfMemory,
                               s.kernels, 0);
    expect_failed_then_created(call, 2, std::string("splitk_scratch alloc: ") + kOutOfMemory,
                               s.kernels, 1);
  }
}

// Shapes without a split never create a scratch.
TEST_F(Scratch, SingleKernelBucketsAllocateNothing) {
  Kernels k = fresh_table();
  const uint64_t allocations = sim().tvnsim_call_count(alloc_function());
  EXPECT_TRUE(tesvan_forward(es(), k, kOut, kA, kB, kBias, {2048, 64, 513}).ok());
  EXPECT_TRUE(tesvan_backward_dw(es(), k, kDw, kDy, kX, {255, 4096, 4096}).ok());
  EXPECT_TRUE(tesvan_backward_dx(es(), k, kDx, kDy, kW, {2048, 1024, 256}).ok());
  EXPECT_EQ(sim().tvnsim_call_count(alloc_function()), allocations);
}

}  // namespace
}  // namespace tesvan::test
