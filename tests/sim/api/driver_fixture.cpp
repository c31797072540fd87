#include "sim/api/driver_fixture.h"

#include "kernel_build.h"

namespace tvnsim_test {

void DriverTest::SetUp() {
  auto api = tesvan::cu::cuda();
  ASSERT_TRUE(api.ok()) << api.error().display();
  cu = api.value();
  if (sim().available()) sim().tvnsim_reset();
  ASSERT_EQ(cu->cuInit(0), rc::CUDA_SUCCESS);
  ASSERT_EQ(cu->cuDevicePrimaryCtxRetain(&ctx, 0), rc::CUDA_SUCCESS);
  ASSERT_EQ(cu->cuCtxSetCurrent(ctx), rc::CUDA_SUCCESS);
}

void DriverTest::TearDown() {
  if (!cu || !ctx) return;
  cu->cuCtxSetCurrent(nullptr);
  cu->cuDevicePrimaryCtxRelease(0);
}

CUdeviceptr DriverTest::alloc(size_t bytes, unsigned char fill) {
  CUdeviceptr p = 0;
  EXPECT_EQ(cu->cuMemAlloc(&p, bytes), rc::CUDA_SUCCESS);
  EXPECT_EQ(cu->cuMemsetD8(p, fill, bytes), rc::CUDA_SUCCESS);
  // The memset does not make the host wait; work on non-blocking streams
  // must not overtake it.
  EXPECT_EQ(cu->cuStreamSynchronize(nullptr), rc::CUDA_SUCCESS);
  return p;
}

std::vector<uint32_t> DriverTest::read_u32(CUdeviceptr p, size_t count) {
  std::vector<uint32_t> v(count);
  EXPECT_EQ(cu->cuMemcpyDtoH(v.data(), p, count * 4), rc::CUDA_SUCCESS);
  return v;
}

std::string compile(const std::string& source, const std::string& target) {
  tesvan::Result<std::string> ptx = tesvan::compile_ptx(source, target);
  EXPECT_TRUE(ptx.ok()) << (ptx.ok() ? "" : ptx.error().display());
  return ptx.ok() ? ptx.value() : std::string();
}

const char* const kTestKernels = R"(
extern "C" __global__ void fill_u32(unsigned* out, unsigned value, int n) {
  const int i = blockIdx.x * blockDim.x + threadIdx.x;
  if (i < n) out[i] = value;
}

extern "C" __global__ void add_u32(unsigned* out, const unsigned* in, unsigned add, int n) {
  const int i = blockIdx.x * blockDim.x + threadIdx.x;
  if (i < n) out[i] = in[i] + add;
}

extern "C" __global__ void __launch_bounds__(128) typed_args(float* out, float f, double d,
                                                             long long ll, int i, unsigned u) {
  out[threadIdx.x] = f + static_cast<float>(d) + static_cast<float>(ll) + i + u;
}

extern "C" __global__ void static_shared(float* out) {
  __shared__ float tile[1024];
  tile[threadIdx.x] = static_cast<float>(threadIdx.x);
  __syncthreads();
  out[threadIdx.x] = tile[(threadIdx.x + 1) % blockDim.x];
}

extern "C" __global__ void dynamic_shared(float* out) {
  extern __shared__ float buffer[];
  buffer[threadIdx.x] = 1.0f;
  __syncthreads();
  out[threadIdx.x] = buffer[0];
}

extern "C" __global__ void no_params() {}
)";

const std::string& test_kernels_ptx() {
  static const std::string ptx = compile(kTestKernels);
  return ptx;
}

}  // namespace tvnsim_test
