// Device buffers: zero-filled creation and stream-ordered release, with and
// without memory pools, and no leak on any failure.
#include "device_buffer.h"
#include "engine_fixture.h"

namespace tesvan::test {
namespace {

class DeviceBufferTest : public StubEngineTest, public ::testing::WithParamInterface<int> {
 protected:
  void configure() override {
    set_config([](TvnSimConfig& c) { c.memory_pools = GetParam(); });
  }
  const EngineStream& es() { return e().stream(); }
  bool pools() const { return GetParam() != 0; }
  const char* alloc_fn() const { return pools() ? "cuMemAllocAsync" : "cuMemAlloc_v2"; }
};

TEST_P(DeviceBufferTest, CreatesZeroFilledAndReleasesInStreamOrder) {
  const uint64_t allocs = calls(alloc_fn());
  {
    DeviceBuffer b;
    ASSERT_EQ(DeviceBuffer::alloc_zeros(es(), 1000, &b), 0);
    EXPECT_EQ(calls(alloc_fn()), allocs + 1);
    EXPECT_EQ(b.elements(), 1000u);
    EXPECT_EQ(resources().allocated_bytes, 4000u);
    std::vector<float> host(1000, 1.0f);
    ASSERT_EQ(es().api->cuStreamSynchronize(es().stream), 0);
    ASSERT_EQ(es().api->cuMemcpyDtoH(host.data(), b.address(), 4000), 0);
    for (float v : host) ASSERT_EQ(v, 0.0f);

    // Moving hands the allocation over; only one release happens.
    DeviceBuffer moved(std::move(b));
    EXPECT_TRUE(b.empty());
    DeviceBuffer assigned;
    assigned = std::move(moved);
    EXPECT_EQ(resources().allocations, 1u);
  }
  EXPECT_EQ(resources().allocations, 0u);
  if (pools()) {
    EXPECT_EQ(calls("cuMemFreeAsync"), 1u);
  } else {
    EXPECT_EQ(calls("cuMemFree_v2"), 1u);
    EXPECT_GE(calls("cuStreamSynchronize"), 1u);  // queued kernels finish first
  }
}

TEST_P(DeviceBufferTest, FailuresReturnTheDriverResultAndLeakNothing) {
  DeviceBuffer b;
  sim().tvnsim_inject(alloc_fn(), 1, 2);
  EXPECT_EQ(DeviceBuffer::alloc_zeros(es(), 16, &b), 2);
  sim().tvnsim_inject("cuMemsetD8Async", 1, 700);
  EXPECT_EQ(DeviceBuffer::alloc_zeros(es(), 16, &b), 700);
  EXPECT_TRUE(b.empty());
  EXPECT_EQ(resources().allocations, 0u);

  // Zero elements, and counts whose byte size would wrap, are refused
  // before the driver is asked.
  const uint64_t before = calls(alloc_fn());
  EXPECT_NE(DeviceBuffer::alloc_zeros(es(), 0, &b), 0);
  EXPECT_NE(DeviceBuffer::alloc_zeros(es(), (1ull << 62) + 1, &b), 0);
  EXPECT_EQ(calls(alloc_fn()), before);
  EXPECT_TRUE(b.empty());
}

TEST_P(DeviceBufferTest, BufferOutlivingItsEngineStillReleases) {
  DeviceBuffer b;
  ASSERT_EQ(DeviceBuffer::alloc_zeros(es(), 8, &b), 0);
  inner_.reset();
  EXPECT_EQ(resources().streams, 1u);  // kept for the buffer's release
  b = DeviceBuffer();
  expect_nothing_left();
}

INSTANTIATE_TEST_SUITE_P(Pools, DeviceBufferTest, ::testing::Values(0, 1),
                         [](const auto& info) { return info.param ? "pools" : "no_pools"; });

}  // namespace
}  // namespace tesvan::test
