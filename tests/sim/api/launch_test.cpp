// cuLaunchKernel: the driver's validation, the launch log, and the cost of a
// launch with execution switched off.
#include <chrono>
#include <cstring>

#include "sim/api/driver_fixture.h"

namespace tvnsim_test {
namespace {

constexpr int kFuncMaxDynamicShared = 8;

class LaunchTest : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_LOADS(cu, module, test_kernels_ptx());
    for (auto [f, name] : {std::pair{&fill, "fill_u32"},
                           {&typed, "typed_args"},
                           {&dynamic, "dynamic_shared"},
                           {&statik, "static_shared"},
                           {&none, "no_params"}}) {
      ASSERT_EQ(cu->cuModuleGetFunction(f, module, name), rc::CUDA_SUCCESS) << name;
    }
    out = alloc(4096);
  }

  CUresult launch(CUfunction f, unsigned gx, unsigned gy, unsigned gz, unsigned bx, unsigned by,
                  unsigned bz, unsigned shared = 0, CUstream s = nullptr) {
    unsigned value = 1;
    int n = 1;
    void* fill_args[] = {&out, &value, &n};
    void* out_arg[] = {&out};
    void** args = f == fill ? fill_args : f == none ? nullptr : out_arg;
    return cu->cuLaunchKernel(f, gx, gy, gz, bx, by, bz, shared, s, args, nullptr);
  }

  CUmodule module = nullptr;
  CUfunction fill = nullptr, typed = nullptr, dynamic = nullptr, statik = nullptr, none = nullptr;
  CUdeviceptr out = 0;
};

TEST_F(LaunchTest, GridAndBlockWithinTheDriversLimits) {
  EXPECT_EQ(launch(fill, 1, 1, 1, 1, 1, 1), rc::CUDA_SUCCESS);
  EXPECT_EQ(launch(fill, 2147483647u, 65535, 65535, 1, 1, 1), rc::CUDA_SUCCESS);
  EXPECT_EQ(launch(fill, 1, 1, 1, 1024, 1, 1), rc::CUDA_SUCCESS);
  EXPECT_EQ(launch(fill, 1, 1, 1, 16, 1, 64), rc::CUDA_SUCCESS);
  const struct {
    unsigned g[3], b[3];
  } refused[] = {
      {{0, 1, 1}, {1, 1, 1}},     {{1, 0, 1}, {1, 1, 1}},     {{1, 1, 0}, {1, 1, 1}},
      {{1, 1, 1}, {0, 1, 1}},     {{1, 1, 1}, {1, 1, 0}},     {{2147483648u, 1, 1}, {1, 1, 1}},
      {{1, 65536, 1}, {1, 1, 1}}, {{1, 1, 65536}, {1, 1, 1}}, {{1, 1, 1}, {1025, 1, 1}},
      {{1, 1, 1}, {1, 1025, 1}},  {{1, 1, 1}, {1, 1, 65}},    {{1, 1, 1}, {32, 32, 2}},
  };
  for (const auto& r : refused) {
    EXPECT_EQ(launch(fill, r.g[0], r.g[1], r.g[2], r.b[0], r.b[1], r.b[2]),
              rc::CUDA_ERROR_INVALID_VALUE)
        << "grid " << r.g[0] << "," << r.g[1] << "," << r.g[2] << " block " << r.b[0] << ","
        << r.b[1] << "," << r.b[2];
  }
  // __launch_bounds__(128): at most 128 threads, in any shape.
  float f = 0;
  double d = 0;
  long long ll = 0;
  int i = 0;
  unsigned u = 0;
  void* args[] = {&out, &f, &d, &ll, &i, &u};
  EXPECT_EQ(cu->cuLaunchKernel(typed, 1, 1, 1, 64, 2, 1, 0, nullptr, args, nullptr),
            rc::CUDA_SUCCESS);
  EXPECT_EQ(cu->cuLaunchKernel(typed, 1, 1, 1, 129, 1, 1, 0, nullptr, args, nullptr),
            rc::CUDA_ERROR_INVALID_VALUE);
  if (sim().available()) {
    EXPECT_EQ(sim().tvnsim_launch_count(), 5u);  // refusals are not logged
  }
}

TEST_F(LaunchTest, DynamicSharedMemoryWithinTheFunctionsLimit) {
  EXPECT_EQ(launch(dynamic, 1, 1, 1, 32, 1, 1, 49152), rc::CUDA_SUCCESS);
  EXPECT_EQ(launch(dynamic, 1, 1, 1, 32, 1, 1, 49153), rc::CUDA_ERROR_INVALID_VALUE);
  EXPECT_EQ(launch(statik, 1, 1, 1, 32, 1, 1, 49152 - 4096), rc::CUDA_SUCCESS);
  EXPECT_EQ(launch(statik, 1, 1, 1, 32, 1, 1, 49152 - 4095), rc::CUDA_ERROR_INVALID_VALUE);
  ASSERT_EQ(cu->cuFuncSetAttribute(dynamic, kFuncMaxDynamicShared, 75776), rc::CUDA_SUCCESS);
  EXPECT_EQ(launch(dynamic, 1, 1, 1, 32, 1, 1, 75776), rc::CUDA_SUCCESS);
  EXPECT_EQ(launch(dynamic, 1, 1, 1, 32, 1, 1, 75777), rc::CUDA_ERROR_INVALID_VALUE);
}

TEST_F(LaunchTest, ArgumentsAndHandlesAreChecked) {
  REQUIRE_SIM();  // a real driver may crash on a missing argument pointer
  EXPECT_EQ(cu->cuLaunchKernel(fill, 1, 1, 1, 1, 1, 1, 0, nullptr, nullptr, nullptr),
            rc::CUDA_ERROR_INVALID_VALUE);
  EXPECT_EQ(launch(none, 1, 1, 1, 1, 1, 1), rc::CUDA_SUCCESS);
  unsigned value = 0;
  void* missing[] = {&out, &value, nullptr};
  EXPECT_EQ(cu->cuLaunchKernel(fill, 1, 1, 1, 1, 1, 1, 0, nullptr, missing, nullptr),
            rc::CUDA_ERROR_INVALID_VALUE);
  void* end[] = {nullptr};
  void* args[] = {&out};
  EXPECT_EQ(cu->cuLaunchKernel(statik, 1, 1, 1, 1, 1, 1, 0, nullptr, args, end),
            rc::CUDA_ERROR_INVALID_VALUE);  // both forms at once
  EXPECT_EQ(cu->cuLaunchKernel(nullptr, 1, 1, 1, 1, 1, 1, 0, nullptr, args, nullptr),
            rc::CUDA_ERROR_INVALID_HANDLE);
  EXPECT_EQ(launch(statik, 1, 1, 1, 1, 1, 1, 0, reinterpret_cast<CUstream>(0x1234)),
            rc::CUDA_ERROR_INVALID_HANDLE);
  EXPECT_EQ(sim().tvnsim_launch_count(), 1u);
}

TEST_F(LaunchTest, ExtraNeedsABufferPointerOnlyWithANonZeroSize) {
  // cuda.h: a buffer pointer without a size has no effect, and the pointer
  // is required only when the size is not zero.
  size_t zero = 0, eight = 8;
  alignas(8) uint8_t buffer[8] = {};
  std::memcpy(buffer, &out, 8);
  void* only_end[] = {nullptr};
  void* zero_size[] = {reinterpret_cast<void*>(2), &zero, nullptr};
  void* pointer_only[] = {reinterpret_cast<void*>(1), buffer, nullptr};
  void* size_only[] = {reinterpret_cast<void*>(2), &eight, nullptr};
  void* both[] = {reinterpret_cast<void*>(1), buffer, reinterpret_cast<void*>(2), &eight, nullptr};
  auto run = [&](CUfunction f, void** extra) {
    return cu->cuLaunchKernel(f, 1, 1, 1, 32, 1, 1, 0, nullptr, nullptr, extra);
  };
  EXPECT_EQ(run(none, only_end), rc::CUDA_SUCCESS);
  EXPECT_EQ(run(none, zero_size), rc::CUDA_SUCCESS);
  EXPECT_EQ(run(none, pointer_only), rc::CUDA_SUCCESS);
  EXPECT_EQ(run(statik, both), rc::CUDA_SUCCESS);
  if (sim().available()) {  // a real driver may read through the missing pointer
    EXPECT_EQ(run(statik, size_only), rc::CUDA_ERROR_INVALID_VALUE);
    EXPECT_EQ(run(statik, pointer_only), rc::CUDA_ERROR_INVALID_VALUE);  // no argument given
  }
  EXPECT_EQ(cu->cuCtxSynchronize(), rc::CUDA_SUCCESS);
}

TEST_F(LaunchTest, LogRecordsEachAcceptedLaunchWithDecodedArguments) {
  REQUIRE_SIM();
  CUstream s = nullptr;
  ASSERT_EQ(cu->cuStreamCreate(&s, 1), rc::CUDA_SUCCESS);
  float f = 1.5f;
  double d = -2.25;
  long long ll = -3;
  int i = -4;
  unsigned u = 5;
  void* args[] = {&out, &f, &d, &ll, &i, &u};
  ASSERT_EQ(cu->cuLaunchKernel(typed, 3, 2, 1, 32, 4, 1, 0, s, args, nullptr), rc::CUDA_SUCCESS);
  // The packed-buffer form: parameters at their .param offsets.
  alignas(8) uint8_t buffer[8] = {};
  std::memcpy(buffer, &out, 8);
  size_t size = sizeof buffer;
  void* extra[] = {reinterpret_cast<void*>(1), buffer, reinterpret_cast<void*>(2), &size, nullptr};
  ASSERT_EQ(cu->cuLaunchKernel(dynamic, 1, 1, 1, 64, 1, 1, 128, nullptr, nullptr, extra),
            rc::CUDA_SUCCESS);

  ASSERT_EQ(sim().tvnsim_launch_count(), 2u);
  TvnSimLaunch l;
  ASSERT_EQ(sim().tvnsim_launch_get(0, &l), 0);
  EXPECT_STREQ(l.kernel, "typed_args");
  EXPECT_EQ(l.grid[0], 3u);
  EXPECT_EQ(l.grid[1], 2u);
  EXPECT_EQ(l.block[1], 4u);
  EXPECT_EQ(l.dynamic_shared, 0u);
  EXPECT_EQ(l.stream, reinterpret_cast<uint64_t>(s));
  ASSERT_EQ(l.num_args, 6);
  const int kinds[] = {TVNSIM_ARG_U64, TVNSIM_ARG_F32, TVNSIM_ARG_F64,
                       TVNSIM_ARG_U64, TVNSIM_ARG_U32, TVNSIM_ARG_U32};  // NVRTC: int is .u32
  const int sizes[] = {8, 4, 8, 8, 4, 4};
  for (int k = 0; k < 6; ++k) {
    EXPECT_EQ(l.args[k].kind, kinds[k]) << "argument " << k;
    EXPECT_EQ(l.args[k].size, sizes[k]) << "argument " << k;
  }
  EXPECT_EQ(l.args[0].bits, out);
  float f_back;
  std::memcpy(&f_back, &l.args[1].bits, 4);
  EXPECT_EQ(f_back, 1.5f);
  double d_back;
  std::memcpy(&d_back, &l.args[2].bits, 8);
  EXPECT_EQ(d_back, -2.25);
  EXPECT_EQ(l.args[3].bits, static_cast<uint64_t>(-3ll));
  EXPECT_EQ(l.args[4].bits, 0xFFFFFFFCu);  // 32 bits, zero-extended
  EXPECT_EQ(l.args[5].bits, 5u);
  EXPECT_EQ(l.executed, 0);

  TvnSimLaunch second;
  ASSERT_EQ(sim().tvnsim_launch_get(1, &second), 0);
  EXPECT_STREQ(second.kernel, "dynamic_shared");
  EXPECT_EQ(second.dynamic_shared, 128u);
  EXPECT_EQ(second.stream, 0u);
  EXPECT_EQ(second.args[0].bits, out);
  EXPECT_EQ(second.sequence, l.sequence + 1);
  EXPECT_NE(sim().tvnsim_launch_get(2, &second), 0);

  sim().tvnsim_launch_clear();
  EXPECT_EQ(sim().tvnsim_launch_count(), 0u);
  EXPECT_EQ(cu->cuStreamDestroy(s), rc::CUDA_SUCCESS);
}

TEST_F(LaunchTest, LaunchWithExecutionOffIsCheap) {
  REQUIRE_SIM();
  TvnSimConfig c;
  sim().tvnsim_get_config(&c);
  c.execute = 0;
  sim().tvnsim_set_config(&c);
  CUstream s = nullptr;
  ASSERT_EQ(cu->cuStreamCreate(&s, 1), rc::CUDA_SUCCESS);
  unsigned value = 7;
  int n = 1024;
  void* args[] = {&out, &value, &n};
  constexpr int kBatch = 2000;
  double best = 1e9;
  for (int round = 0; round < 5; ++round) {
    sim().tvnsim_launch_clear();
    const auto t0 = std::chrono::steady_clock::now();
    for (int k = 0; k < kBatch; ++k) {
      cu->cuLaunchKernel(fill, 4, 1, 1, 256, 1, 1, 0, s, args, nullptr);
    }
    const std::chrono::duration<double, std::micro> dt = std::chrono::steady_clock::now() - t0;
    best = std::min(best, dt.count() / kBatch);
  }
  RecordProperty("launch_us", std::to_string(best));
  EXPECT_LT(best, 2.0) << "microseconds per launch";
  ASSERT_EQ(sim().tvnsim_launch_count(), static_cast<size_t>(kBatch));
  ASSERT_EQ(cu->cuStreamSynchronize(s), rc::CUDA_SUCCESS);
  TvnSimLaunch l;
  ASSERT_EQ(sim().tvnsim_launch_get(0, &l), 0);
  EXPECT_EQ(l.executed, 0);
  EXPECT_EQ(read_u32(out, 1)[0], 0u);  // never ran
  EXPECT_EQ(cu->cuStreamDestroy(s), rc::CUDA_SUCCESS);
}

}  // namespace
}  // namespace tvnsim_test
