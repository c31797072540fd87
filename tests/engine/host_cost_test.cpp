// Steady-state calls allocate nothing on the host (the driver's own work
// aside) and nothing on the device.
#include <cstdlib>
#include <new>

#include "engine_fixture.h"

namespace {
thread_local bool g_counting = false;
thread_local size_t g_allocations = 0;
}  // namespace

// Counts the engine's allocations on the calling thread while enabled.
void* operator new(size_t n) {
  if (g_counting) ++g_allocations;
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace tesvan::test {
namespace {

// The driver table with the hot-path calls excluded from counting: what the
// driver allocates internally is not the engine's cost.
const cu::CudaApi* g_real = nullptr;
struct Paused {
  bool was = g_counting;
  Paused() { g_counting = false; }
  ~Paused() { g_counting = was; }
};
cu::CUresult get_current(cu::CUcontext* c) {
  Paused p;
  return g_real->cuCtxGetCurrent(c);
}
cu::CUresult set_current(cu::CUcontext c) {
  Paused p;
  return g_real->cuCtxSetCurrent(c);
}
cu::CUresult launch(cu::CUfunction f, unsigned gx, unsigned gy, unsigned gz, unsigned bx,
                    unsigned by, unsigned bz, unsigned sh, cu::CUstream s, void** params,
                    void** extra) {
  Paused p;
  return g_real->cuLaunchKernel(f, gx, gy, gz, bx, by, bz, sh, s, params, extra);
}

using HostCost = SimTest;

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

  const Operand a{0x1000, DType::BF16}, b{0x2000, DType::BF16}, out{0x3000, DType::BF16};
  const auto calls_once = [&] {
    // f32 split-K, typed native, typed fallback, tensor core, typed dX, typed dW
    bool ok = e.forward_f32(0x3000, 0x1000, 0x2000, 0, Dims{512, 256, 1024}).ok();
    ok &= e.forward(out, a, b, 0, Dims{8, 512, 64}).ok();
    ok &= e.forward(out, a, b, 0x4000, Dims{512, 256, 1024}).ok();
    ok &= e.forward_tc(out, a, b, 0, Dims{128, 64, 128}).ok();
    ok &= e.backward_dx(out, a, b, Dims{1536, 640, 512}).ok();
    ok &= e.backward_dw(0x3000, a, b, Dims{64, 64, 64}).ok();
    return ok;
  };
  ASSERT_TRUE(calls_once());  // grows the scratch
  const TvnSimResources device = resources();
  const size_t launched = launches().size();

  g_allocations = 0;
  g_counting = true;
  const bool ok = calls_once();
  g_counting = false;
  ASSERT_TRUE(ok);
  EXPECT_EQ(g_allocations, 0u);
  EXPECT_EQ(launches().size(), 2 * launched);
  EXPECT_EQ(resources().allocations, device.allocations);
  EXPECT_EQ(resources().allocated_bytes, device.allocated_bytes);
}

}  // namespace
}  // namespace tesvan::test
