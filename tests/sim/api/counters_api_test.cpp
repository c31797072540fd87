// The performance counters through the control API: per launch of the log,
// per instruction site at level 2, none at level 0, gone with the log, and
// the block limit that counts large launches by their first blocks.
#include <dlfcn.h>

#include <string>

#include "sim/api/driver_fixture.h"

namespace tvnsim_test {
namespace {

struct CounterApi {
#define TVN_FN(name) decltype(&::name) name = nullptr;
  TVN_FN(tvnsim_set_counters)
  TVN_FN(tvnsim_get_counters)
  TVN_FN(tvnsim_set_block_limit)
  TVN_FN(tvnsim_launch_counters)
  TVN_FN(tvnsim_launch_site_count)
  TVN_FN(tvnsim_launch_site)
#undef TVN_FN
};

const CounterApi& counters() {
  static const CounterApi api = [] {
    CounterApi a;
    if (void* h = dlopen("libcuda.so.1", RTLD_NOW | RTLD_NOLOAD)) {
#define TVN_FN(name) a.name = reinterpret_cast<decltype(a.name)>(dlsym(h, #name));
      TVN_FN(tvnsim_set_counters)
      TVN_FN(tvnsim_get_counters)
      TVN_FN(tvnsim_set_block_limit)
      TVN_FN(tvnsim_launch_counters)
      TVN_FN(tvnsim_launch_site_count)
      TVN_FN(tvnsim_launch_site)
#undef TVN_FN
    }
    return a;
  }();
  return api;
}

class CountersApiTest : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    if (HasFatalFailure()) return;
    REQUIRE_SIM();
    ASSERT_NE(counters().tvnsim_launch_counters, nullptr);
    ASSERT_LOADS(cu, module, test_kernels_ptx());
    ASSERT_EQ(cu->cuModuleGetFunction(&fill, module, "fill_u32"), rc::CUDA_SUCCESS);
    out = alloc(4 * kThreads);
  }

  // fill_u32 over every element: each warp stores 128 contiguous bytes.
  void fill_all(unsigned blocks) {
    unsigned value = 7;
    int n = static_cast<int>(kThreads);
    void* args[] = {&out, &value, &n};
    ASSERT_EQ(cu->cuLaunchKernel(fill, blocks, 1, 1, kThreads / blocks, 1, 1, 0, nullptr, args, nullptr),
              rc::CUDA_SUCCESS);
    ASSERT_EQ(cu->cuCtxSynchronize(), rc::CUDA_SUCCESS);
  }

  static constexpr unsigned kThreads = 256;
  CUmodule module = nullptr;
  CUfunction fill = nullptr;
  CUdeviceptr out = 0;
};

TEST_F(CountersApiTest, EachLoggedLaunchHasItsCounters) {
  const CounterApi& api = counters();
  EXPECT_EQ(api.tvnsim_get_counters(), 1);  // on by default
  sim().tvnsim_launch_clear();
  fill_all(4);
  TvnSimCounters c{};
  ASSERT_EQ(api.tvnsim_launch_counters(0, &c), 0);
  EXPECT_EQ(c.blocks, 4u);
  const TvnSimMemoryCounters& st = c.memory[TVNSIM_MEM_GLOBAL_STORE];
  EXPECT_EQ(st.requests, 8u);
  EXPECT_EQ(st.wavefronts, 32u);  // 1 KiB in 32-byte sectors
  EXPECT_EQ(st.ideal, 32u);
  EXPECT_EQ(api.tvnsim_launch_site_count(0), 0u);  // sites only at level 2
  EXPECT_NE(api.tvnsim_launch_counters(1, &c), 0);

  api.tvnsim_set_counters(2);
  fill_all(2);
  const size_t sites = api.tvnsim_launch_site_count(1);
  ASSERT_GT(sites, 0u);
  bool found = false;
  for (size_t i = 0; i < sites; ++i) {
    TvnSimSiteCounters s{};
    ASSERT_EQ(api.tvnsim_launch_site(1, i, &s), 0);
    if (std::string(s.instruction).find("st.global") == std::string::npos) continue;
    found = true;
    EXPECT_EQ(s.instruction_class, TVNSIM_CLASS_MEMORY);
    EXPECT_EQ(s.global.wavefronts, 32u);
    EXPECT_EQ(s.warp_instructions, 8u);
  }
  EXPECT_TRUE(found);
  TvnSimSiteCounters s{};
  EXPECT_NE(api.tvnsim_launch_site(1, sites, &s), 0);

  api.tvnsim_set_counters(0);
  fill_all(2);
  EXPECT_NE(api.tvnsim_launch_counters(2, &c), 0);

  sim().tvnsim_launch_clear();
  EXPECT_NE(api.tvnsim_launch_counters(0, &c), 0);
  sim().tvnsim_reset();  // the level comes back from the environment
  EXPECT_EQ(api.tvnsim_get_counters(), 1);
}

TEST_F(CountersApiTest, BlockLimitRunsOnlyTheFirstBlocks) {
  const CounterApi& api = counters();
  sim().tvnsim_launch_clear();
  api.tvnsim_set_block_limit(1);
  fill_all(4);
  api.tvnsim_set_block_limit(0);
  TvnSimCounters c{};
  ASSERT_EQ(api.tvnsim_launch_counters(0, &c), 0);
  EXPECT_EQ(c.blocks, 1u);
  EXPECT_EQ(c.memory[TVNSIM_MEM_GLOBAL_STORE].requests, 2u);
  const std::vector<uint32_t> v = read_u32(out, kThreads);
  EXPECT_EQ(v[0], 7u);
  EXPECT_EQ(v[kThreads / 4 - 1], 7u);
  EXPECT_EQ(v[kThreads / 4], 0u);  // the second block never ran
}

}  // namespace
}  // namespace tvnsim_test
