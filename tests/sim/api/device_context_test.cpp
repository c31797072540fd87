// Initialisation, the device and its attributes, the primary context.
#include <cstdlib>
#include <cstring>
#include <thread>

#include "sim/api/driver_fixture.h"

namespace tvnsim_test {
namespace {

constexpr int kAttrSharedPerBlock = 8;
constexpr int kAttrSmCount = 16;
constexpr int kAttrCcMajor = 75;
constexpr int kAttrCcMinor = 76;
constexpr int kAttrSharedPerSm = 81;
constexpr int kAttrSharedOptin = 97;
constexpr int kAttrMemoryPools = 115;

int attribute(const tesvan::cu::CudaApi& cu, int attr) {
  int v = -1;
  EXPECT_EQ(cu.cuDeviceGetAttribute(&v, attr, 0), rc::CUDA_SUCCESS) << "attribute " << attr;
  return v;
}

// Sets one environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) {
      old_ = old;
      had_ = true;
    }
    setenv(name, value, 1);
  }
  ~ScopedEnv() {
    if (had_) {
      setenv(name_, old_.c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::string old_;
  bool had_ = false;
};

using DeviceTest = DriverTest;

TEST(Initialisation, CallsBeforeCuInitFail) {
  REQUIRE_SIM();
  sim().tvnsim_reset();
  const tesvan::cu::CudaApi& cu = *tesvan::cu::cuda().value();
  int n = 0;
  EXPECT_EQ(cu.cuDeviceGetCount(&n), rc::CUDA_ERROR_NOT_INITIALIZED);
  CUcontext ctx = nullptr;
  EXPECT_EQ(cu.cuDevicePrimaryCtxRetain(&ctx, 0), rc::CUDA_ERROR_NOT_INITIALIZED);
  CUdeviceptr p = 0;
  EXPECT_EQ(cu.cuMemAlloc(&p, 16), rc::CUDA_ERROR_NOT_INITIALIZED);
  int version = 0;
  EXPECT_EQ(cu.cuDriverGetVersion(&version), rc::CUDA_SUCCESS);
  EXPECT_GE(version, 12000);
  EXPECT_EQ(cu.cuInit(1), rc::CUDA_ERROR_INVALID_VALUE);
  EXPECT_EQ(cu.cuInit(0), rc::CUDA_SUCCESS);
  EXPECT_EQ(cu.cuDeviceGetCount(&n), rc::CUDA_SUCCESS);
  EXPECT_EQ(n, 1);
}

TEST_F(DeviceTest, OneDeviceNamedAsSimulated) {
  REQUIRE_SIM();
  int dev = -1;
  EXPECT_EQ(cu->cuDeviceGet(&dev, 0), rc::CUDA_SUCCESS);
  EXPECT_EQ(dev, 0);
  EXPECT_EQ(cu->cuDeviceGet(&dev, 1), rc::CUDA_ERROR_INVALID_DEVICE);
  char name[64];
  ASSERT_EQ(cu->cuDeviceGetName(name, sizeof name, 0), rc::CUDA_SUCCESS);
  EXPECT_NE(std::string(name).find("simulated"), std::string::npos) << name;
  char tiny[4];
  ASSERT_EQ(cu->cuDeviceGetName(tiny, sizeof tiny, 0), rc::CUDA_SUCCESS);
  EXPECT_EQ(std::strlen(tiny), 3u);
  EXPECT_EQ(cu->cuDeviceGetName(name, sizeof name, 1), rc::CUDA_ERROR_INVALID_DEVICE);
}

TEST_F(DeviceTest, DefaultModelIsAnAmpereWithMemoryPools) {
  REQUIRE_SIM();
  EXPECT_EQ(attribute(*cu, kAttrCcMajor), 8);
  EXPECT_EQ(attribute(*cu, kAttrCcMinor), 0);
  EXPECT_EQ(attribute(*cu, kAttrMemoryPools), 1);
  EXPECT_EQ(attribute(*cu, kAttrSharedPerBlock), 49152);
  int v = 0;
  EXPECT_EQ(cu->cuDeviceGetAttribute(&v, 100000, 0), rc::CUDA_ERROR_INVALID_VALUE);
  EXPECT_EQ(cu->cuDeviceGetAttribute(&v, kAttrCcMajor, 1), rc::CUDA_ERROR_INVALID_DEVICE);
}

TEST_F(DeviceTest, SharedMemoryLimitsFollowTheArchitecture) {
  REQUIRE_SIM();
  const struct {
    int major, minor, optin, per_sm;
  } archs[] = {{8, 0, 166912, 167936},  {8, 6, 101376, 102400},  {8, 7, 166912, 167936},
               {8, 9, 101376, 102400},  {9, 0, 232448, 233472},  {10, 0, 232448, 233472},
               {10, 3, 232448, 233472}, {11, 0, 232448, 233472}, {12, 0, 101376, 102400}};
  TvnSimConfig c;
  sim().tvnsim_get_config(&c);
  for (const auto& a : archs) {
    c.cc_major = a.major;
    c.cc_minor = a.minor;
    sim().tvnsim_set_config(&c);
    EXPECT_EQ(attribute(*cu, kAttrCcMajor), a.major);
    EXPECT_EQ(attribute(*cu, kAttrSharedOptin), a.optin) << a.major << "." << a.minor;
    EXPECT_EQ(attribute(*cu, kAttrSharedPerSm), a.per_sm) << a.major << "." << a.minor;
  }
  c.max_shared_per_block_optin = 70000;  // an explicit value wins
  c.sm_count = 7;
  c.memory_pools = 0;
  sim().tvnsim_set_config(&c);
  EXPECT_EQ(attribute(*cu, kAttrSharedOptin), 70000);
  EXPECT_EQ(attribute(*cu, kAttrSmCount), 7);
  EXPECT_EQ(attribute(*cu, kAttrMemoryPools), 0);
}

TEST(Configuration, EnvironmentIsReadAtReset) {
  REQUIRE_SIM();
  const tesvan::cu::CudaApi& cu = *tesvan::cu::cuda().value();
  {
    ScopedEnv cc("TVNSIM_CC", "9.0");
    ScopedEnv pools("TVNSIM_MEMPOOLS", "0");
    ScopedEnv sms("TVNSIM_SM_COUNT", "132");
    sim().tvnsim_reset();
    ASSERT_EQ(cu.cuInit(0), rc::CUDA_SUCCESS);
    EXPECT_EQ(attribute(cu, kAttrCcMajor), 9);
    EXPECT_EQ(attribute(cu, kAttrMemoryPools), 0);
    EXPECT_EQ(attribute(cu, kAttrSmCount), 132);
  }
  {
    ScopedEnv bad("TVNSIM_CC", "nine");  // ignored: the default stays
    sim().tvnsim_reset();
    ASSERT_EQ(cu.cuInit(0), rc::CUDA_SUCCESS);
    EXPECT_EQ(attribute(cu, kAttrCcMajor), 8);
  }
  sim().tvnsim_reset();
}

TEST_F(DeviceTest, ContextIsCurrentPerThread) {
  CUcontext current = nullptr;
  ASSERT_EQ(cu->cuCtxGetCurrent(&current), rc::CUDA_SUCCESS);
  EXPECT_EQ(current, ctx);
  int dev = -1;
  EXPECT_EQ(cu->cuCtxGetDevice(&dev), rc::CUDA_SUCCESS);
  EXPECT_EQ(dev, 0);

  std::thread([&] {
    CUcontext other = ctx;
    EXPECT_EQ(cu->cuCtxGetCurrent(&other), rc::CUDA_SUCCESS);
    EXPECT_EQ(other, nullptr);
    CUdeviceptr p = 0;
    EXPECT_EQ(cu->cuMemAlloc(&p, 64), rc::CUDA_ERROR_INVALID_CONTEXT);
    EXPECT_EQ(cu->cuCtxSynchronize(), rc::CUDA_ERROR_INVALID_CONTEXT);
    ASSERT_EQ(cu->cuCtxSetCurrent(ctx), rc::CUDA_SUCCESS);
    EXPECT_EQ(cu->cuMemAlloc(&p, 64), rc::CUDA_SUCCESS);
    EXPECT_EQ(cu->cuMemFree(p), rc::CUDA_SUCCESS);
  }).join();

  ASSERT_EQ(cu->cuCtxSetCurrent(nullptr), rc::CUDA_SUCCESS);
  ASSERT_EQ(cu->cuCtxGetCurrent(&current), rc::CUDA_SUCCESS);
  EXPECT_EQ(current, nullptr);
  CUstream s = nullptr;
  EXPECT_EQ(cu->cuStreamCreate(&s, 0), rc::CUDA_ERROR_INVALID_CONTEXT);
  ASSERT_EQ(cu->cuCtxSetCurrent(ctx), rc::CUDA_SUCCESS);
}

TEST_F(DeviceTest, PrimaryContextIsCountedAndResetWhenReleasedToZero) {
  REQUIRE_SIM();  // stale handles would crash a real driver
  CUcontext again = nullptr;
  ASSERT_EQ(cu->cuDevicePrimaryCtxRetain(&again, 0), rc::CUDA_SUCCESS);
  EXPECT_EQ(again, ctx);  // one primary context per device
  CUdeviceptr p = 0;
  ASSERT_EQ(cu->cuMemAlloc(&p, 256), rc::CUDA_SUCCESS);
  CUstream s = nullptr;
  ASSERT_EQ(cu->cuStreamCreate(&s, 0), rc::CUDA_SUCCESS);

  ASSERT_EQ(cu->cuDevicePrimaryCtxRelease(0), rc::CUDA_SUCCESS);  // still one reference
  EXPECT_EQ(cu->cuMemsetD8(p, 1, 256), rc::CUDA_SUCCESS);
  ASSERT_EQ(cu->cuDevicePrimaryCtxRelease(0), rc::CUDA_SUCCESS);  // zero: reset
  EXPECT_EQ(cu->cuMemAlloc(&p, 256), rc::CUDA_ERROR_INVALID_CONTEXT);

  ASSERT_EQ(cu->cuDevicePrimaryCtxRetain(&again, 0), rc::CUDA_SUCCESS);
  ASSERT_EQ(cu->cuCtxSetCurrent(again), rc::CUDA_SUCCESS);
  EXPECT_EQ(cu->cuMemsetD8(p, 1, 256), rc::CUDA_ERROR_INVALID_VALUE);    // the allocation is gone
  EXPECT_EQ(cu->cuStreamSynchronize(s), rc::CUDA_ERROR_INVALID_HANDLE);  // so is the stream
  TvnSimResources r;
  sim().tvnsim_resources(&r);
  EXPECT_EQ(r.allocations, 0u);
  EXPECT_EQ(r.streams, 0u);
  EXPECT_EQ(r.primary_ctx_refs, 1u);
}

TEST_F(DeviceTest, ReleasingAnUnretainedContextFails) {
  REQUIRE_SIM();
  ASSERT_EQ(cu->cuDevicePrimaryCtxRelease(0), rc::CUDA_SUCCESS);
  EXPECT_EQ(cu->cuDevicePrimaryCtxRelease(0), rc::CUDA_ERROR_INVALID_CONTEXT);
  EXPECT_EQ(cu->cuDevicePrimaryCtxRetain(&ctx, 0), rc::CUDA_SUCCESS);  // for TearDown
}

}  // namespace
}  // namespace tvnsim_test
