// Steady-state calls allocate nothing on the host (the driver's own work
// aside) and nothing on the device.
#include <utility>

#include "engine_fixture.h"
#include "support/host_allocations.h"

namespace tesvan::test {
namespace {

// Operand addresses far apart (outputs must not overlap inputs); never read.
constexpr uint64_t kA = 1ull << 36, kB = 2ull << 36, kOut = 3ull << 36, kBias = 4ull << 36;

// The driver table with the hot-path calls measured separately: what the
// driver allocates internally is not the engine's cost.
const cu::CudaApi* g_real = nullptr;
uint64_t g_driver_allocations = 0;

template <class F>
cu::CUresult in_driver(F&& call) {
  HostAllocationScope inside;
  const cu::CUresult r = call();
  g_driver_allocations += inside.count();
  return r;
}
cu::CUresult get_current(cu::CUcontext* c) {
  return in_driver([&] { return g_real->cuCtxGetCurrent(c); });
}
cu::CUresult set_current(cu::CUcontext c) {
  return in_driver([&] { return g_real->cuCtxSetCurrent(c); });
}
cu::CUresult launch(cu::CUfunction f, unsigned gx, unsigned gy, unsigned gz, unsigned bx,
                    unsigned by, unsigned bz, unsigned sh, cu::CUstream s, void** params,
                    void** extra) {
  return in_driver(
      [&] { return g_real->cuLaunchKernel(f, gx, gy, gz, bx, by, bz, sh, s, params, extra); });
}

using HostCost = SimTest;

// Runs one round of calls; returns whether all succeeded and the host
// allocations made on this thread meanwhile.
template <class F>
std::pair<bool, uint64_t> measured(F&& calls) {
  HostAllocationScope scope;
  const bool ok = calls();
  return {ok, scope.count()};
}

TEST_F(HostCost, SteadyStateCallsAllocateNothing) {
  auto inner = stub_engine();
  ASSERT_NE(inner, nullptr);
  g_real = cu::cuda().value();
  cu::CudaApi wrapped = *g_real;
  wrapped.cuCtxGetCurrent = get_current;
  wrapped.cuCtxSetCurrent = set_current;
  wrapped.cuLaunchKernel = launch;
  EngineStream es = inner->engine().stream();
  es.api = &wrapped;
  auto built = Tesvan::create_from_source(es, stub_kernel_source());
  ASSERT_TRUE(built.ok());
  Tesvan& e = built.value();

  const Operand a{kA, DType::BF16}, b{kB, DType::BF16}, out{kOut, DType::BF16};
  const auto calls_once = [&] {
    // f32 split-K, typed native, typed fallback, tensor core, typed dX, typed dW
    bool ok = e.forward_f32(kOut, kA, kB, 0, Dims{512, 256, 1024}).ok();
    ok &= e.forward(out, a, b, 0, Dims{8, 512, 64}).ok();
    ok &= e.forward(out, a, b, kBias, Dims{512, 256, 1024}).ok();
    ok &= e.forward_tc(out, a, b, 0, Dims{128, 64, 128}).ok();
    ok &= e.backward_dx(out, a, b, Dims{1536, 640, 512}).ok();
    ok &= e.backward_dw(kOut, a, b, Dims{64, 64, 64}).ok();
    return ok;
  };
  ASSERT_TRUE(calls_once());  // grows the scratch
  const TvnSimResources device = resources();
  const size_t launched = launches().size();

  g_driver_allocations = 0;
  const auto [ok, total] = measured(calls_once);
  ASSERT_TRUE(ok);
  EXPECT_EQ(total - g_driver_allocations, 0u);
  EXPECT_EQ(launches().size(), 2 * launched);
  EXPECT_EQ(resources().allocations, device.allocations);
  EXPECT_EQ(resources().allocated_bytes, device.allocated_bytes);
}

// The whole call as Python hands it over: context check, the events in both
// directions, the tier routing (tensor-core no-bucket to the typed tier and
// on to the fallback) and the launches.  The simulated driver's own steady
// state allocates nothing for these calls, so the count covers everything.
TEST_F(HostCost, BridgedCallsAllocateNothingEither) {
  auto inner = stub_engine();
  ASSERT_NE(inner, nullptr);
  cu::CUstream caller = nullptr;
  ASSERT_EQ(cu::cuda().value()->cuStreamCreate(&caller, 0), 0);
  const uint64_t s = reinterpret_cast<uint64_t>(caller);
  const auto calls_once = [&] {
    bool ok = inner->forward(s, kOut, kA, kB, 0, Dims{64, 64, 64}, DType::F32, true).ok();
    ok &= inner->forward(s, kOut, kA, kB, kBias, Dims{40, 24, 130}, DType::BF16, true).ok();
    ok &= inner->backward_dx(s, kOut, kA, kB, Dims{128, 64, 128}, DType::F16, true).ok();
    ok &= inner->backward_dw(s, kOut, kA, kB, Dims{64, 64, 64}, DType::BF16, false).ok();
    return ok;
  };
  ASSERT_TRUE(calls_once());  // grows the upcast cells and the driver's queues
  sim().tvnsim_drain();
  const auto [ok, total] = measured(calls_once);
  EXPECT_TRUE(ok);
  EXPECT_EQ(total, 0u);
  EXPECT_EQ(cu::cuda().value()->cuStreamDestroy(caller), 0);
}

}  // namespace
}  // namespace tesvan::test
