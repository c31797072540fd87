// Several host threads using the driver at once, as engines on different
// threads do: each with its own stream, memory and launches, sharing one
// module and the primary context.
#include <atomic>
#include <thread>

#include "sim/api/driver_fixture.h"

namespace tvnsim_test {
namespace {

using ThreadSafetyTest = DriverTest;

TEST_F(ThreadSafetyTest, ConcurrentStreamsKeepTheirOwnOrderAndData) {
  CUmodule module = nullptr;
  ASSERT_LOADS(cu, module, test_kernels_ptx());
  CUfunction add = nullptr;
  ASSERT_EQ(cu->cuModuleGetFunction(&add, module, "add_u32"), rc::CUDA_SUCCESS);

  constexpr int kThreads = 4;
  constexpr int kRounds = 60;
  constexpr int kN = 64;
  std::atomic<int> failures{0};
  auto worker = [&](unsigned id) {
    auto ok = [&](CUresult r) {
      if (r != rc::CUDA_SUCCESS) failures.fetch_add(1);
      return r == rc::CUDA_SUCCESS;
    };
    if (!ok(cu->cuCtxSetCurrent(ctx))) return;
    CUstream s = nullptr;
    if (!ok(cu->cuStreamCreate(&s, tesvan::cu::CU_STREAM_NON_BLOCKING))) return;
    CUdeviceptr in = 0, out = 0;
    ok(cu->cuMemAlloc(&in, kN * 4));
    ok(cu->cuMemAllocAsync(&out, kN * 4, s));
    int n = kN;
    for (unsigned round = 0; round < kRounds; ++round) {
      const unsigned base = id * 100000 + round * 10;
      unsigned add_value = id + 1;
      void* args[] = {&out, &in, &add_value, &n};
      ok(cu->cuMemsetD32Async(in, base, kN, s));
      ok(cu->cuLaunchKernel(add, 1, 1, 1, kN, 1, 1, 0, s, args, nullptr));
      std::vector<uint32_t> host(kN, 0);
      ok(cu->cuMemcpyDtoHAsync(host.data(), out, kN * 4, s));
      for (uint32_t v : host) {
        if (v != base + id + 1) failures.fetch_add(1);
      }
      // Churn shared state: the allocation table and the event table.
      CUdeviceptr scratch = 0;
      ok(cu->cuMemAlloc(&scratch, 256));
      ok(cu->cuMemFree(scratch));
      CUevent ev = nullptr;
      ok(cu->cuEventCreate(&ev, tesvan::cu::CU_EVENT_DISABLE_TIMING));
      ok(cu->cuEventRecord(ev, s));
      ok(cu->cuEventSynchronize(ev));
      ok(cu->cuEventDestroy(ev));
    }
    ok(cu->cuMemFreeAsync(out, s));
    ok(cu->cuStreamSynchronize(s));
    ok(cu->cuStreamDestroy(s));
    ok(cu->cuMemFree(in));
  };
  std::vector<std::thread> threads;
  for (unsigned id = 0; id < kThreads; ++id) threads.emplace_back(worker, id);
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);

  EXPECT_EQ(cu->cuModuleUnload(module), rc::CUDA_SUCCESS);
  if (sim().available()) {
    TvnSimResources r;
    sim().tvnsim_resources(&r);
    EXPECT_EQ(r.allocations, 0u);
    EXPECT_EQ(r.streams, 0u);
    EXPECT_EQ(r.events, 0u);
    EXPECT_EQ(sim().tvnsim_launch_count(), static_cast<size_t>(kThreads * kRounds));
  }
}

}  // namespace
}  // namespace tvnsim_test
