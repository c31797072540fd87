// Launches that run: results through the driver, ordering between kernels on
// different streams, and device faults.
#include "sim/api/driver_fixture.h"

namespace tvnsim_test {
namespace {

constexpr unsigned kNonBlocking = tesvan::cu::CU_STREAM_NON_BLOCKING;
constexpr int kN = 300;  // not a multiple of the block: the bound check matters

class ExecutionTest : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_LOADS(cu, module, test_kernels_ptx());
    ASSERT_EQ(cu->cuModuleGetFunction(&fill, module, "fill_u32"), rc::CUDA_SUCCESS);
    ASSERT_EQ(cu->cuModuleGetFunction(&add, module, "add_u32"), rc::CUDA_SUCCESS);
  }

  CUresult launch_fill(CUdeviceptr out, unsigned value, CUstream s) {
    int n = kN;
    void* args[] = {&out, &value, &n};
    return cu->cuLaunchKernel(fill, (kN + 127) / 128, 1, 1, 128, 1, 1, 0, s, args, nullptr);
  }
  CUresult launch_add(CUdeviceptr out, CUdeviceptr in, unsigned value, CUstream s) {
    int n = kN;
    void* args[] = {&out, &in, &value, &n};
    return cu->cuLaunchKernel(add, (kN + 63) / 64, 1, 1, 64, 1, 1, 0, s, args, nullptr);
  }
  CUstream make_stream() {
    CUstream s = nullptr;
    EXPECT_EQ(cu->cuStreamCreate(&s, kNonBlocking), rc::CUDA_SUCCESS);
    return s;
  }

  CUmodule module = nullptr;
  CUfunction fill = nullptr, add = nullptr;
};

TEST_F(ExecutionTest, KernelResultsAreReadBackThroughTheDriver) {
  const CUdeviceptr out = alloc((kN + 1) * 4, 0);
  CUstream s = make_stream();
  ASSERT_EQ(launch_fill(out, 0xC0FFEE, s), rc::CUDA_SUCCESS);
  ASSERT_EQ(cu->cuStreamSynchronize(s), rc::CUDA_SUCCESS);
  const std::vector<uint32_t> v = read_u32(out, kN + 1);
  EXPECT_EQ(std::vector<uint32_t>(v.begin(), v.end() - 1), std::vector<uint32_t>(kN, 0xC0FFEE));
  EXPECT_EQ(v.back(), 0u);  // past n: untouched
  if (sim().available()) {
    TvnSimLaunch l;
    ASSERT_EQ(sim().tvnsim_launch_get(0, &l), 0);
    EXPECT_EQ(l.executed, 1);
    EXPECT_GT(l.thread_instructions, static_cast<uint64_t>(kN));
  }
  cu->cuStreamDestroy(s);
}

TEST_F(ExecutionTest, ConsumerKernelNeedsTheEventWait) {
  const CUdeviceptr buf = alloc(kN * 4, 0);
  const CUdeviceptr out = alloc(kN * 4, 0);
  CUstream producer = make_stream();
  CUstream consumer = make_stream();
  CUevent ready = nullptr;
  ASSERT_EQ(cu->cuEventCreate(&ready, tesvan::cu::CU_EVENT_DISABLE_TIMING), rc::CUDA_SUCCESS);

  if (sim().available()) {  // without the wait the consumer runs first
    ASSERT_EQ(launch_fill(buf, 7, producer), rc::CUDA_SUCCESS);
    ASSERT_EQ(launch_add(out, buf, 1, consumer), rc::CUDA_SUCCESS);
    ASSERT_EQ(cu->cuCtxSynchronize(), rc::CUDA_SUCCESS);
    EXPECT_EQ(read_u32(out, kN), std::vector<uint32_t>(kN, 1));
  }
  ASSERT_EQ(launch_fill(buf, 9, producer), rc::CUDA_SUCCESS);
  ASSERT_EQ(cu->cuEventRecord(ready, producer), rc::CUDA_SUCCESS);
  ASSERT_EQ(cu->cuStreamWaitEvent(consumer, ready, 0), rc::CUDA_SUCCESS);
  ASSERT_EQ(launch_add(out, buf, 1, consumer), rc::CUDA_SUCCESS);
  ASSERT_EQ(cu->cuStreamSynchronize(consumer), rc::CUDA_SUCCESS);
  EXPECT_EQ(read_u32(out, kN), std::vector<uint32_t>(kN, 10));
  cu->cuEventDestroy(ready);
  cu->cuStreamDestroy(producer);
  cu->cuStreamDestroy(consumer);
}

TEST_F(ExecutionTest, DeviceFaultIsReportedAndSticky) {
  REQUIRE_SIM();
  CUdeviceptr gone = 0;
  ASSERT_EQ(cu->cuMemAlloc(&gone, kN * 4), rc::CUDA_SUCCESS);
  ASSERT_EQ(cu->cuMemFree(gone), rc::CUDA_SUCCESS);
  CUstream s = make_stream();
  ASSERT_EQ(launch_fill(gone, 1, s), rc::CUDA_SUCCESS);  // accepted: the device finds out
  const CUresult r = cu->cuStreamSynchronize(s);
  EXPECT_EQ(r, rc::CUDA_ERROR_ILLEGAL_ADDRESS);
  TvnSimFault f;
  ASSERT_EQ(sim().tvnsim_last_fault(&f), 0);
  EXPECT_EQ(f.result, rc::CUDA_ERROR_ILLEGAL_ADDRESS);
  EXPECT_STREQ(f.kernel, "fill_u32");
  EXPECT_GE(f.address, gone);
  EXPECT_LT(f.address, gone + kN * 4);
  EXPECT_NE(std::string(f.message), "");

  CUdeviceptr p = 0;
  EXPECT_EQ(cu->cuMemAlloc(&p, 16), rc::CUDA_ERROR_ILLEGAL_ADDRESS);
  EXPECT_EQ(launch_fill(gone, 1, s), rc::CUDA_ERROR_ILLEGAL_ADDRESS);
  ASSERT_EQ(cu->cuDevicePrimaryCtxRelease(0), rc::CUDA_SUCCESS);
  ASSERT_EQ(cu->cuDevicePrimaryCtxRetain(&ctx, 0), rc::CUDA_SUCCESS);
  EXPECT_EQ(cu->cuMemAlloc(&p, 16), rc::CUDA_SUCCESS);  // a fresh context
}

TEST_F(ExecutionTest, QueriesRunPendingWorkAndReportItsFault) {
  REQUIRE_SIM();  // a GPU may answer CUDA_ERROR_NOT_READY first
  CUdeviceptr gone = 0;
  ASSERT_EQ(cu->cuMemAlloc(&gone, kN * 4), rc::CUDA_SUCCESS);
  ASSERT_EQ(cu->cuMemFree(gone), rc::CUDA_SUCCESS);
  CUstream s = make_stream();
  CUevent ev = nullptr;
  ASSERT_EQ(cu->cuEventCreate(&ev, tesvan::cu::CU_EVENT_DISABLE_TIMING), rc::CUDA_SUCCESS);
  ASSERT_EQ(launch_fill(gone, 1, s), rc::CUDA_SUCCESS);
  ASSERT_EQ(cu->cuEventRecord(ev, s), rc::CUDA_SUCCESS);
  EXPECT_EQ(cu->cuEventQuery(ev), rc::CUDA_ERROR_ILLEGAL_ADDRESS);
  EXPECT_EQ(cu->cuStreamQuery(s), rc::CUDA_ERROR_ILLEGAL_ADDRESS);  // sticky
  TvnSimLaunch l;
  ASSERT_EQ(sim().tvnsim_launch_get(0, &l), 0);
  EXPECT_EQ(l.executed, 1);
}

TEST_F(ExecutionTest, AsyncFreeReleasesInStreamOrder) {
  REQUIRE_SIM();
  CUstream s = make_stream();
  CUdeviceptr p = 0;
  ASSERT_EQ(cu->cuMemAllocAsync(&p, kN * 4, s), rc::CUDA_SUCCESS);
  const CUdeviceptr out = alloc(kN * 4, 0);
  ASSERT_EQ(launch_fill(p, 5, s), rc::CUDA_SUCCESS);
  ASSERT_EQ(launch_add(out, p, 1, s), rc::CUDA_SUCCESS);  // before the free: sees the memory
  ASSERT_EQ(cu->cuMemFreeAsync(p, s), rc::CUDA_SUCCESS);
  ASSERT_EQ(cu->cuStreamSynchronize(s), rc::CUDA_SUCCESS);
  EXPECT_EQ(read_u32(out, kN), std::vector<uint32_t>(kN, 6));

  ASSERT_EQ(launch_fill(p, 5, s), rc::CUDA_SUCCESS);  // after the free: faults
  EXPECT_EQ(cu->cuStreamSynchronize(s), rc::CUDA_ERROR_ILLEGAL_ADDRESS);
}

TEST_F(ExecutionTest, QueuedLaunchOutlivesItsModule) {
  CUstream s = make_stream();
  const CUdeviceptr out = alloc(kN * 4, 0);
  ASSERT_EQ(launch_fill(out, 3, s), rc::CUDA_SUCCESS);
  ASSERT_EQ(cu->cuModuleUnload(module), rc::CUDA_SUCCESS);
  ASSERT_EQ(cu->cuStreamSynchronize(s), rc::CUDA_SUCCESS);
  EXPECT_EQ(read_u32(out, kN), std::vector<uint32_t>(kN, 3));
  cu->cuStreamDestroy(s);
}

}  // namespace
}  // namespace tvnsim_test
