// A small program written against the driver API alone, as any CUDA program
// would be: no simulator control, nothing the real driver lacks.  It runs
// unchanged on a GPU (configure the tests with TESVAN_TEST_ON_SIM=OFF).
#include <numeric>

#include "sim/api/driver_fixture.h"

namespace tvnsim_test {
namespace {

#define CHECK_CU(call) ASSERT_EQ((call), rc::CUDA_SUCCESS) << #call

TEST(DriverProgram, CopyLaunchAndOrderTwoStreams) {
  auto loaded = tesvan::cu::cuda();
  ASSERT_TRUE(loaded.ok()) << loaded.error().display();
  const tesvan::cu::CudaApi& cu = *loaded.value();
  const std::string ptx = compile(kTestKernels);
  ASSERT_FALSE(ptx.empty());

  CHECK_CU(cu.cuInit(0));
  tesvan::cu::CUdevice dev = 0;
  CHECK_CU(cu.cuDeviceGet(&dev, 0));
  CUcontext ctx = nullptr;
  CHECK_CU(cu.cuDevicePrimaryCtxRetain(&ctx, dev));
  CHECK_CU(cu.cuCtxSetCurrent(ctx));

  constexpr int n = 1000;
  std::vector<uint32_t> input(n);
  std::iota(input.begin(), input.end(), 1u);
  CUdeviceptr in = 0, mid = 0, out = 0;
  CHECK_CU(cu.cuMemAlloc(&in, n * 4));
  CHECK_CU(cu.cuMemAlloc(&mid, n * 4));
  CHECK_CU(cu.cuMemAlloc(&out, n * 4));
  CHECK_CU(cu.cuMemcpyHtoD(in, input.data(), n * 4));
  // From pageable memory the copy may still be in flight when the call
  // returns, and the non-blocking streams below do not wait for it.
  CHECK_CU(cu.cuStreamSynchronize(nullptr));

  CUmodule module = nullptr;
  ASSERT_LOADS(&cu, module, ptx);
  CUfunction add = nullptr;
  CHECK_CU(cu.cuModuleGetFunction(&add, module, "add_u32"));

  CUstream first = nullptr, second = nullptr;
  CHECK_CU(cu.cuStreamCreate(&first, tesvan::cu::CU_STREAM_NON_BLOCKING));
  CHECK_CU(cu.cuStreamCreate(&second, tesvan::cu::CU_STREAM_NON_BLOCKING));
  CUevent done = nullptr;
  CHECK_CU(cu.cuEventCreate(&done, tesvan::cu::CU_EVENT_DISABLE_TIMING));

  int count = n;
  unsigned ten = 10, five = 5;
  void* stage1[] = {&mid, &in, &ten, &count};
  void* stage2[] = {&out, &mid, &five, &count};
  CHECK_CU(cu.cuLaunchKernel(add, (n + 255) / 256, 1, 1, 256, 1, 1, 0, first, stage1, nullptr));
  CHECK_CU(cu.cuEventRecord(done, first));
  CHECK_CU(cu.cuStreamWaitEvent(second, done, 0));
  CHECK_CU(cu.cuLaunchKernel(add, (n + 255) / 256, 1, 1, 256, 1, 1, 0, second, stage2, nullptr));
  std::vector<uint32_t> result(n);
  ASSERT_EQ(cu.cuMemcpyDtoHAsync(result.data(), out, n * 4, second), rc::CUDA_SUCCESS);
  ASSERT_EQ(cu.cuStreamSynchronize(second), rc::CUDA_SUCCESS);
  for (int i = 0; i < n; ++i) ASSERT_EQ(result[i], input[i] + 15) << "element " << i;

  CHECK_CU(cu.cuEventDestroy(done));
  CHECK_CU(cu.cuStreamDestroy(first));
  CHECK_CU(cu.cuStreamDestroy(second));
  CHECK_CU(cu.cuModuleUnload(module));
  CHECK_CU(cu.cuMemFree(in));
  CHECK_CU(cu.cuMemFree(mid));
  CHECK_CU(cu.cuMemFree(out));
  CHECK_CU(cu.cuDevicePrimaryCtxRelease(dev));
}

}  // namespace
}  // namespace tvnsim_test
