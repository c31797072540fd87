// The typed upcast fallback: when the typed tier has no bucket, the cells
// grow as needed, the operands are converted, the f32 tier runs and the
// result is converted back; every failure is reported with its step.
#include "engine_fixture.h"

namespace tesvan::test {
namespace {

constexpr int kOutOfMemory = 2;
// Far apart: no operand reaches the next (outputs must not overlap inputs).
constexpr uint64_t kA = 1ull << 36, kB = 2ull << 36, kOut = 3ull << 36, kBias = 4ull << 36;

class Upcast : public StubEngineTest {
 protected:
  std::vector<uint64_t> cells() {
    return {e().upcast_elements(0), e().upcast_elements(1), e().upcast_elements(2)};
  }
  static Operand bf16(uint64_t p) { return {p, DType::BF16}; }
  static Operand f16(uint64_t p) { return {p, DType::F16}; }
};

// Forward 512 x 256 x 1024 lies in the f32 split-K region, which the typed
// tier declines.
constexpr Dims kFallbackForward{512, 256, 1024};

TEST_F(Upcast, ForwardConvertsRunsF32AndConvertsBack) {
  ASSERT_TRUE(e().forward(bf16(kOut), bf16(kA), bf16(kB), kBias, kFallbackForward).ok());
  EXPECT_EQ(cells(), (std::vector<uint64_t>{512 * 256, 256 * 1024, 512 * 1024}));
  const std::vector<TvnSimLaunch> l = launches();
  ASSERT_GE(l.size(), 4u);
  // (kernel, source, destination, count, grid)
  const auto expect_cast = [](const TvnSimLaunch& c, const char* kernel, uint64_t src, uint64_t n,
                              uint64_t* dst) {
    EXPECT_STREQ(c.kernel, kernel);
    EXPECT_EQ(c.args[1].bits, src);
    EXPECT_EQ(c.args[2].bits, n);
    EXPECT_EQ(c.grid[0], (n + 255) / 256);
    EXPECT_EQ(c.block[0], 256u);
    EXPECT_EQ(c.dynamic_shared, 0u);
    *dst = c.args[0].bits;
  };
  uint64_t a32 = 0, b32 = 0;
  expect_cast(l[0], "tvn_cast_bf16_to_f32", kA, 512 * 256, &a32);
  expect_cast(l[1], "tvn_cast_bf16_to_f32", kB, 256 * 1024, &b32);
  // The f32 tier reads the converted operands and the caller's bias.
  bool saw_a = false, saw_bias = false;
  for (size_t i = 2; i + 1 < l.size(); ++i) {
    for (int j = 0; j < l[i].num_args; ++j) {
      saw_a |= l[i].args[j].bits == a32;
      saw_bias |= l[i].args[j].bits == kBias;
    }
  }
  EXPECT_TRUE(saw_a && saw_bias);
  const TvnSimLaunch& down = l.back();
  EXPECT_STREQ(down.kernel, "tvn_cast_f32_to_bf16");
  EXPECT_EQ(down.args[0].bits, kOut);
  EXPECT_EQ(down.args[2].bits, 512u * 1024);
}

TEST_F(Upcast, CellsGrowToExactNeedsAndAreReused) {
  ASSERT_TRUE(e().forward(f16(kOut), f16(kA), f16(kB), 0, kFallbackForward).ok());
  const uint64_t allocs = resources().allocations;
  // Larger: every cell grows to exactly the new need; old buffers go.
  const Dims larger{512, 512, 1024};
  ASSERT_TRUE(e().forward(f16(kOut), f16(kA), f16(kB), 0, larger).ok());
  EXPECT_EQ(cells(), (std::vector<uint64_t>{512 * 512, 512 * 1024, 512 * 1024}));
  EXPECT_EQ(resources().allocations, allocs);
  // Smaller, and repeated: nothing is allocated.
  const uint64_t alloc_calls = calls("cuMemAllocAsync");
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(e().forward(f16(kOut), f16(kA), f16(kB), 0, kFallbackForward).ok());
  }
  EXPECT_EQ(calls("cuMemAllocAsync"), alloc_calls);
  EXPECT_EQ(cells(), (std::vector<uint64_t>{512 * 512, 512 * 1024, 512 * 1024}));
}

TEST_F(Upcast, NativeTypedShapeNeverTouchesTheCells) {
  // M = 8, K = 512, N = 64: the typed ultra-thin kernel.
  ASSERT_TRUE(e().forward(bf16(kOut), bf16(kA), bf16(kB), 0, Dims{8, 512, 64}).ok());
  EXPECT_EQ(launched_kernels(), (std::vector<std::string>{"tesvan_nn_ultra_thin_bf16"}));
  EXPECT_EQ(cells(), (std::vector<uint64_t>{0, 0, 0}));
}

TEST_F(Upcast, BackwardFallbacksUseTheirCellRoles) {
  // dX 1536 x 640 x 512 is excluded from the typed big kernel (region A).
  ASSERT_TRUE(e().backward_dx(bf16(kOut), bf16(kA), bf16(kB), Dims{1536, 640, 512}).ok());
  EXPECT_EQ(cells(), (std::vector<uint64_t>{1536 * 512, 640 * 512, 1536 * 640}));
  EXPECT_STREQ(launches().back().kernel, "tvn_cast_f32_to_bf16");

  // dW 4096 x 1024 x 1024 takes the f32 split-M: no downcast, C is kept at
  // one element on a fresh engine.
  inner_.reset();
  inner_ = stub_engine();
  sim().tvnsim_launch_clear();
  ASSERT_TRUE(e().backward_dw(kOut, f16(kA), f16(kB), Dims{4096, 1024, 1024}).ok());
  EXPECT_EQ(cells(), (std::vector<uint64_t>{4096 * 1024, 4096 * 1024, 1}));
  const std::vector<std::string> k = launched_kernels();
  EXPECT_EQ(k.front(), "tvn_cast_f16_to_f32");
  EXPECT_NE(k.back().rfind("tesvan_", 0), std::string::npos);
  for (const std::string& name : k) EXPECT_NE(name, "tvn_cast_f32_to_f16");
}

TEST_F(Upcast, PresizeFollowsTheGrowthRule) {
  ASSERT_TRUE(e().presize_upcast_scratch(0, 0, 0).ok());
  EXPECT_EQ(cells(), (std::vector<uint64_t>{1, 1, 1}));
  ASSERT_TRUE(e().presize_upcast_scratch(100, 1, 50).ok());
  EXPECT_EQ(cells(), (std::vector<uint64_t>{100, 1, 50}));
  const uint64_t alloc_calls = calls("cuMemAllocAsync");
  ASSERT_TRUE(e().presize_upcast_scratch(10, 0, 50).ok());
  EXPECT_EQ(cells(), (std::vector<uint64_t>{100, 1, 50}));
  EXPECT_EQ(calls("cuMemAllocAsync"), alloc_calls);
}

TEST_F(Upcast, FailedGrowthKeepsEarlierCellsAndRetriesLater) {
  sim().tvnsim_inject("cuMemAllocAsync", 2, kOutOfMemory);  // cell B
  Status s = e().forward(bf16(kOut), bf16(kA), bf16(kB), 0, kFallbackForward);
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().display(), "CUDA error: upcast scratch alloc: " + rendered(kOutOfMemory));
  EXPECT_EQ(cells(), (std::vector<uint64_t>{512 * 256, 0, 0}));
  EXPECT_TRUE(launches().empty());
  ASSERT_TRUE(e().forward(bf16(kOut), bf16(kA), bf16(kB), 0, kFallbackForward).ok());
  EXPECT_EQ(cells(), (std::vector<uint64_t>{512 * 256, 256 * 1024, 512 * 1024}));
}

TEST_F(Upcast, ConversionFailuresNameTheirStep) {
  // The first launch of the fallback is the upcast of a, the last the downcast.
  sim().tvnsim_inject("cuLaunchKernel", 1, 999);
  Status up = e().forward(bf16(kOut), bf16(kA), bf16(kB), 0, kFallbackForward);
  ASSERT_FALSE(up.ok());
  EXPECT_EQ(up.error().display(), "CUDA error: upcast launch: " + rendered(999));
  EXPECT_TRUE(launches().empty());
  sim().tvnsim_clear_injections();

  ASSERT_TRUE(e().forward(bf16(kOut), bf16(kA), bf16(kB), 0, kFallbackForward).ok());
  const unsigned per_call = static_cast<unsigned>(launches().size());
  sim().tvnsim_inject("cuLaunchKernel", per_call, 999);
  Status down = e().forward(bf16(kOut), bf16(kA), bf16(kB), 0, kFallbackForward);
  ASSERT_FALSE(down.ok());
  EXPECT_EQ(down.error().display(), "CUDA error: downcast launch: " + rendered(999));

  EXPECT_EQ(e().upcast_to_f32(kA, DType::F32, kB, 4).error().display(),
            "dtype mismatch: upcast source is already f32");
  EXPECT_EQ(e().downcast_from_f32(kA, DType::F32, kB, 4).error().display(),
            "dtype mismatch: downcast target is already f32");
}

TEST_F(Upcast, ConversionGridHasAtLeastOneBlock) {
  for (const auto& [n, blocks] : {std::pair<uint64_t, unsigned>{0, 1}, {1, 1}, {256, 1},
                                  {257, 2}, {2147483647, 8388608}}) {
    sim().tvnsim_launch_clear();
    ASSERT_TRUE(e().upcast_to_f32(kA, DType::F16, kB, n).ok());
    ASSERT_EQ(launches().size(), 1u);
    EXPECT_STREQ(launches()[0].kernel, "tvn_cast_f16_to_f32");
    EXPECT_EQ(launches()[0].grid[0], blocks) << n;
    EXPECT_EQ(launches()[0].args[2].bits, n) << n;
  }
}

TEST_F(Upcast, ConversionsBeyondTheKernelsCountAreRefusedBeforeLaunching) {
  // The cast kernels take a 32-bit signed count: a larger one would convert
  // some other, smaller number of elements and report success.
  for (uint64_t n : {2147483648ull, (1ull << 32) + 300}) {
    Status up = e().upcast_to_f32(kA, DType::BF16, kB, n);
    ASSERT_FALSE(up.ok());
    EXPECT_EQ(up.error().display(), "upcast: element count " + std::to_string(n) +
                                        " exceeds the kernels' 32-bit limit (at most 2147483647)");
    Status down = e().downcast_from_f32(kA, DType::F16, kB, n);
    ASSERT_FALSE(down.ok());
    EXPECT_EQ(down.error().display(), "downcast: element count " + std::to_string(n) +
                                          " exceeds the kernels' 32-bit limit (at most 2147483647)");
  }
  EXPECT_TRUE(launches().empty());
}

TEST_F(Upcast, EveryEntryPointRefusesOversizedShapesBeforeWork) {
  const Dims too_big{1ull << 31, 2, 2};
  Tesvan& t = e();
  const Status results[] = {
      t.forward_f32(kOut, kA, kB, 0, too_big),
      t.backward_dx_f32(kOut, kA, kB, too_big),
      t.backward_dw_f32(kOut, kA, kB, too_big),
      t.forward_tc(bf16(kOut), bf16(kA), bf16(kB), 0, too_big),
      t.backward_dx_tc(bf16(kOut), bf16(kA), bf16(kB), too_big),
      t.backward_dw_tc(kOut, bf16(kA), bf16(kB), too_big),
      t.forward(bf16(kOut), bf16(kA), bf16(kB), 0, too_big),
      t.backward_dx(bf16(kOut), bf16(kA), bf16(kB), too_big),
      t.backward_dw(kOut, bf16(kA), bf16(kB), too_big),
  };
  for (const Status& s : results) {
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().kind(), Error::Kind::ShapeLimit);
  }
  EXPECT_TRUE(launches().empty());
  EXPECT_EQ(cells(), (std::vector<uint64_t>{0, 0, 0}));
  // In range, the specified no-bucket answer is unchanged.
  Status nb = t.forward_f32(kOut, kA, kB, 0, Dims{64, 16, 1});
  ASSERT_FALSE(nb.ok());
  EXPECT_TRUE(nb.error().is_no_bucket());
}

}  // namespace
}  // namespace tesvan::test
