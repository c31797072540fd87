// The simulator's control API: fault injection, call counts, resource
// accounting, and the library's exported symbols.
#include <dlfcn.h>

#include <cstdio>
#include <set>

#include "sim/api/driver_fixture.h"

namespace tvnsim_test {
namespace {

using ControlTest = DriverTest;

TEST_F(ControlTest, InjectedResultHitsOnlyTheNthCall) {
  REQUIRE_SIM();
  const uint64_t before = sim().tvnsim_call_count("cuMemAlloc_v2");
  sim().tvnsim_inject("cuMemAlloc_v2", 2, rc::CUDA_ERROR_OUT_OF_MEMORY);
  CUdeviceptr a = 0, b = 0, c = 0;
  EXPECT_EQ(cu->cuMemAlloc(&a, 64), rc::CUDA_SUCCESS);
  EXPECT_EQ(cu->cuMemAlloc(&b, 64), rc::CUDA_ERROR_OUT_OF_MEMORY);
  EXPECT_EQ(b, 0u);  // nothing was done
  EXPECT_EQ(cu->cuMemAlloc(&c, 64), rc::CUDA_SUCCESS);
  EXPECT_EQ(sim().tvnsim_call_count("cuMemAlloc_v2"), before + 3);
  TvnSimResources r;
  sim().tvnsim_resources(&r);
  EXPECT_EQ(r.allocations, 2u);
}

TEST_F(ControlTest, InjectionsApplyToAnyFunctionAndCanBeCleared) {
  REQUIRE_SIM();
  sim().tvnsim_inject("cuStreamCreate", 1, rc::CUDA_ERROR_INVALID_VALUE);
  sim().tvnsim_inject("cuLaunchKernel", 1, rc::CUDA_ERROR_LAUNCH_FAILED);
  sim().tvnsim_inject("cuGetErrorString", 1, rc::CUDA_ERROR_NOT_SUPPORTED);
  CUstream s = nullptr;
  EXPECT_EQ(cu->cuStreamCreate(&s, 0), rc::CUDA_ERROR_INVALID_VALUE);
  EXPECT_EQ(cu->cuLaunchKernel(nullptr, 1, 1, 1, 1, 1, 1, 0, nullptr, nullptr, nullptr),
            rc::CUDA_ERROR_LAUNCH_FAILED);
  const char* text = nullptr;
  EXPECT_EQ(cu->cuGetErrorString(0, &text), rc::CUDA_ERROR_NOT_SUPPORTED);
  EXPECT_EQ(tesvan::cu::driver_error(rc::CUDA_ERROR_OUT_OF_MEMORY),
            "DriverError(CUDA_ERROR_OUT_OF_MEMORY, \"out of memory\")");

  sim().tvnsim_inject("cuEventCreate", 1, rc::CUDA_ERROR_OUT_OF_MEMORY);
  sim().tvnsim_clear_injections();
  CUevent e = nullptr;
  EXPECT_EQ(cu->cuEventCreate(&e, 0), rc::CUDA_SUCCESS);

  sim().tvnsim_inject("cuNoSuchFunction", 1, 1);
  EXPECT_NE(std::string(sim().tvnsim_last_error_message()).find("cuNoSuchFunction"),
            std::string::npos);
}

TEST(ControlReset, InjectionWorksBeforeInitialisation) {
  REQUIRE_SIM();
  sim().tvnsim_reset();
  sim().tvnsim_inject("cuInit", 1, rc::CUDA_ERROR_NO_DEVICE);
  const tesvan::cu::CudaApi& cu = *tesvan::cu::cuda().value();
  EXPECT_EQ(cu.cuInit(0), rc::CUDA_ERROR_NO_DEVICE);
  int n = 0;
  EXPECT_EQ(cu.cuDeviceGetCount(&n), rc::CUDA_ERROR_NOT_INITIALIZED);
  EXPECT_EQ(cu.cuInit(0), rc::CUDA_SUCCESS);
  EXPECT_EQ(sim().tvnsim_call_count("cuInit"), 2u);
  sim().tvnsim_reset();
  EXPECT_EQ(sim().tvnsim_call_count("cuInit"), 0u);
}

TEST_F(ControlTest, NothingLeaksOnceTheContextIsReleased) {
  REQUIRE_SIM();
  CUstream s = nullptr;
  ASSERT_EQ(cu->cuStreamCreate(&s, 1), rc::CUDA_SUCCESS);
  CUevent e = nullptr;
  ASSERT_EQ(cu->cuEventCreate(&e, 2), rc::CUDA_SUCCESS);
  CUdeviceptr p = 0, q = 0;
  ASSERT_EQ(cu->cuMemAlloc(&p, 1000), rc::CUDA_SUCCESS);
  ASSERT_EQ(cu->cuMemAllocAsync(&q, 24, s), rc::CUDA_SUCCESS);
  ASSERT_EQ(cu->cuMemsetD8Async(q, 1, 24, s), rc::CUDA_SUCCESS);  // left queued

  TvnSimResources r;
  sim().tvnsim_resources(&r);
  EXPECT_EQ(r.allocations, 2u);
  EXPECT_EQ(r.allocated_bytes, 1024u);
  EXPECT_EQ(r.streams, 1u);
  EXPECT_EQ(r.events, 1u);
  EXPECT_EQ(r.primary_ctx_refs, 1u);

  ASSERT_EQ(cu->cuStreamDestroy(s), rc::CUDA_SUCCESS);
  ASSERT_EQ(cu->cuEventDestroy(e), rc::CUDA_SUCCESS);
  ASSERT_EQ(cu->cuMemFree(p), rc::CUDA_SUCCESS);
  sim().tvnsim_resources(&r);
  EXPECT_EQ(r.streams, 0u);
  EXPECT_EQ(r.events, 0u);
  EXPECT_EQ(r.allocations, 1u);

  ASSERT_EQ(cu->cuDevicePrimaryCtxRelease(0), rc::CUDA_SUCCESS);
  ctx = nullptr;  // nothing for TearDown to release
  sim().tvnsim_resources(&r);
  EXPECT_EQ(r.allocations, 0u);
  EXPECT_EQ(r.allocated_bytes, 0u);
  EXPECT_EQ(r.primary_ctx_refs, 0u);
}

// The library exports the driver API and the control API, nothing else.
TEST(Exports, OnlyDriverAndControlSymbols) {
  REQUIRE_SIM();
  Dl_info info{};
  ASSERT_NE(dladdr(reinterpret_cast<void*>(sim().tvnsim_reset), &info), 0);
  const std::string command =
      std::string("nm -D --defined-only '") + info.dli_fname + "' 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::set<std::string> symbols;
  char line[1024];
  while (std::fgets(line, sizeof line, pipe)) {
    std::string s(line);
    s = s.substr(s.find_last_of(' ') + 1);
    s.erase(s.find_last_not_of("\n") + 1);
    symbols.insert(s);
  }
  if (pclose(pipe) != 0 || symbols.empty()) GTEST_SKIP() << "nm is not available";
  for (const std::string& s : symbols) {
    EXPECT_TRUE(s.rfind("cu", 0) == 0 || s.rfind("tvnsim_", 0) == 0) << "exported: " << s;
  }
#define EXPECT_EXPORTED(member, symbol, signature) EXPECT_EQ(symbols.count(symbol), 1u) << symbol;
  TESVAN_CUDA_SYMBOLS(EXPECT_EXPORTED)
#undef EXPECT_EXPORTED
}

}  // namespace
}  // namespace tvnsim_test
