// The engine object: architecture table, construction and its failures,
// release of everything it made, the shape limit, the stream bridge and the
// poisoning mutex.
#include <unistd.h>

#include <filesystem>
#include <stdexcept>

#include "engine_fixture.h"
#include "poison_mutex.h"

namespace tesvan::test {
namespace {

TEST(CompileTarget, ArchitectureTable) {
  const struct {
    uint32_t major, minor;
    const char* target;
  } rows[] = {{8, 0, "sm_80"},  {8, 6, "sm_86"},  {8, 7, "sm_80"},  {8, 9, "sm_89"},
              {8, 5, "sm_80"},  {9, 0, "sm_90"},  {9, 4, "sm_90"},  {10, 0, "sm_100"},
              {10, 3, "sm_100"}, {11, 0, "sm_80"}, {12, 1, "sm_120"}, {13, 0, "sm_120"},
              {42, 7, "sm_120"}};
  for (const auto& r : rows) {
    auto t = compile_target(r.major, r.minor);
    ASSERT_TRUE(t.ok()) << r.major << "." << r.minor;
    EXPECT_STREQ(t.value(), r.target) << r.major << "." << r.minor;
  }
  for (uint32_t major : {0u, 5u, 7u}) {
    auto t = compile_target(major, 5);
    ASSERT_FALSE(t.ok());
    EXPECT_EQ(t.error().kind(), Error::Kind::UnsupportedArch);
  }
  EXPECT_EQ(compile_target(7, 0).error().display(),
            "unsupported GPU architecture sm_70: tesvan requires Ampere or newer (sm_80+)");
}

TEST(ErrorDisplay, EveryVariant) {
  EXPECT_EQ(Error::cuda("x: y").display(), "CUDA error: x: y");
  EXPECT_EQ(Error::no_bucket(5, 7, 3, "<op>").display(),
            "<op>: no deterministic bucket for shape M=5 K=7 N=3 in this tier");
  EXPECT_EQ(Error::dtype_mismatch("upcast source is already f32").display(),
            "dtype mismatch: upcast source is already f32");
  EXPECT_EQ(Error::unsupported_arch(7, 5).display(),
            "unsupported GPU architecture sm_75: tesvan requires Ampere or newer (sm_80+)");
  EXPECT_EQ(Error::shape_limit(1, 2147483648ull, 3, "forward").display(),
            "forward: shape M=1 K=2147483648 N=3 exceeds the kernels' 32-bit limit (every "
            "dimension and every operand's element count must be at most 2147483647)");
  EXPECT_EQ(escape_quoted("a\"b\\c\nd\te\x01\x7f\xc3\xa9"), "a\\\"b\\\\c\\nd\\te\\u{1}\\u{7f}\xc3\xa9");
}

TEST(ShapeLimit, BoundsOfValuesAndElementCounts) {
  const uint64_t max = 2147483647;
  const Dims accepted[] = {{0, 0, 0},          {max, 1, 1},     {1, max, 1}, {1, 1, max},
                           {max, 0, 0},        {65535, 1, 32768}, {46340, 46340, 1}};
  for (const Dims& d : accepted) EXPECT_TRUE(check_shape(d, "op").ok()) << d.m << " " << d.k << " " << d.n;
  const Dims rejected[] = {{max + 1, 0, 0},     {0, max + 1, 1},       {1, 1, 1ull << 40},
                           {65536, 32768, 1},   {1, 65536, 32768},     {65536, 1, 32768},
                           {~0ull, ~0ull, ~0ull}, {1ull << 32, 1, 1}};
  for (const Dims& d : rejected) {
    Status s = check_shape(d, "op");
    ASSERT_FALSE(s.ok()) << d.m << " " << d.k << " " << d.n;
    EXPECT_EQ(s.error().kind(), Error::Kind::ShapeLimit);
  }
}

TEST(PoisonMutexTest, AThrowingCallPoisonsEveryLaterCall) {
  PoisonMutex m;
  std::string fault;
  int runs = 0;
  EXPECT_EQ(m.run([&] { ++runs; }, &fault), PoisonMutex::Outcome::Ran);
  EXPECT_EQ(m.run([&]() { throw std::runtime_error("broken invariant"); }, &fault),
            PoisonMutex::Outcome::Faulted);
  EXPECT_EQ(fault, "broken invariant");
  EXPECT_EQ(m.run([&] { ++runs; }, &fault), PoisonMutex::Outcome::Poisoned);
  EXPECT_EQ(runs, 1);
}

TEST(ParseDtype, AcceptsExactlyTheSevenNames) {
  EXPECT_EQ(parse_dtype("float32"), DType::F32);
  EXPECT_EQ(parse_dtype("f32"), DType::F32);
  EXPECT_EQ(parse_dtype("bfloat16"), DType::BF16);
  EXPECT_EQ(parse_dtype("bf16"), DType::BF16);
  EXPECT_EQ(parse_dtype("float16"), DType::F16);
  EXPECT_EQ(parse_dtype("f16"), DType::F16);
  EXPECT_EQ(parse_dtype("half"), DType::F16);
  for (std::string_view bad : {std::string_view("Float32"), std::string_view(" f32"),
                               std::string_view("fp16"), std::string_view("f32 "),
                               std::string_view(""), std::string_view("bf16\0", 5)}) {
    EXPECT_EQ(parse_dtype(bad), std::nullopt) << bad;
  }
}

using Construction = SimTest;

TEST_F(Construction, UnsupportedArchitectureFailsBeforeAnyCompilation) {
  set_config([](TvnSimConfig& c) {
    c.cc_major = 7;
    c.cc_minor = 0;
  });
  // A cache folder that any cache access would create.
  const std::filesystem::path cache =
      std::filesystem::temp_directory_path() /
      ("tesvan-engine-test-" + std::to_string(getpid()) + "-arch");
  ScopedEnv env("TESVAN_KERNEL_CACHE", cache.c_str());
  EXPECT_EQ(construction_error(),
            "unsupported GPU architecture sm_70: tesvan requires Ampere or newer (sm_80+)");
  EXPECT_EQ(calls("cuModuleLoadData"), 0u);
  EXPECT_FALSE(std::filesystem::exists(cache));
  expect_nothing_left();
}

TEST_F(Construction, EveryDriverStepFailureIsReportedAndReleased) {
  // (function, nth call during construction, expected message prefix)
  const struct {
    const char* fn;
    unsigned nth;
    const char* context;
  } steps[] = {
      {"cuInit", 1, ""},
      {"cuDeviceGet", 1, ""},
      {"cuDevicePrimaryCtxRetain", 1, ""},
      {"cuDeviceGetAttribute", 1, ""},  // memory pools
      {"cuCtxGetCurrent", 1, ""},
      {"cuCtxSynchronize", 1, ""},
      {"cuStreamCreate", 1, ""},
      {"cuDeviceGetAttribute", 2, "query CC major: "},
      {"cuDeviceGetAttribute", 3, "query CC minor: "},
      {"cuModuleLoadData", 1, "module load failed: "},
      {"cuEventCreate", 1, ""},
      {"cuEventCreate", 2, ""},
  };
  ScopedEnv no_cache("TESVAN_KERNEL_CACHE", "off");
  for (const auto& s : steps) {
    sim().tvnsim_inject(s.fn, s.nth, 999);
    EXPECT_EQ(construction_error(), std::string("CUDA error: ") + s.context + rendered(999))
        << s.fn << " #" << s.nth;
    sim().tvnsim_clear_injections();
    expect_nothing_left();
  }
}

TEST_F(Construction, DriverErrorRendering) {
  EXPECT_EQ(cu::driver_error(1), "DriverError(CUDA_ERROR_INVALID_VALUE, \"invalid argument\")");
  EXPECT_EQ(cu::driver_error(2), "DriverError(CUDA_ERROR_OUT_OF_MEMORY, \"out of memory\")");
  // No name and no description: the number, and the lookup's own failure.
  EXPECT_EQ(cu::driver_error(12345),
            "DriverError(12345, \"<Failure when calling cuGetErrorString()>\")");
}

TEST_F(Construction, OrdinalOutsideIntRangeNamesNoDevice) {
  auto r = EngineInner::create_from_source(1ull << 32, stub_kernel_source());
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().display(), "CUDA error: " + rendered(101));  // CUDA_ERROR_INVALID_DEVICE
  expect_nothing_left();
}

TEST_F(Construction, DestructionReleasesEverythingWithAndWithoutPools) {
  for (int pools : {0, 1}) {
    set_config([pools](TvnSimConfig& c) { c.memory_pools = pools; });
    auto inner = stub_engine();
    ASSERT_NE(inner, nullptr);
    const TvnSimResources live = resources();
    EXPECT_EQ(live.streams, 1u);
    EXPECT_EQ(live.events, 2u);
    EXPECT_EQ(live.modules, 1u);
    EXPECT_EQ(live.primary_ctx_refs, 1u);
    EXPECT_EQ(live.allocations, 0u);  // no scratch until needed
    ASSERT_TRUE(inner->engine().kernels().splitk_ptr(inner->engine().stream()).ok());
    ASSERT_TRUE(inner->presize_upcast_scratch(10, 20, 30).ok());
    EXPECT_EQ(resources().allocations, 4u);
    inner.reset();
    expect_nothing_left();
  }
}

class Bridge : public StubEngineTest {
 protected:
  void SetUp() override {
    StubEngineTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    ASSERT_EQ(cu::cuda().value()->cuStreamCreate(&caller_, 0), 0);
  }
  void TearDown() override {
    if (caller_) cu::cuda().value()->cuStreamDestroy(caller_);
    StubEngineTest::TearDown();
  }
  uint64_t caller() const { return reinterpret_cast<uint64_t>(caller_); }
  // A call that fails inside the engine without launching anything.
  Status failing_call(uint64_t stream) {
    return inner_->forward(stream, 1, 2, 3, 0, Dims{1ull << 31, 1, 1}, DType::F32, false);
  }

  cu::CUstream caller_ = nullptr;
};

TEST_F(Bridge, EventsOrderBothWaysEvenAfterAFailure) {
  Status s = failing_call(caller());
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().kind(), Error::Kind::ShapeLimit);
  EXPECT_EQ(calls("cuEventRecord"), 2u);
  EXPECT_EQ(calls("cuStreamWaitEvent"), 2u);
  // The NULL stream is a stream like any other.
  ASSERT_FALSE(failing_call(0).ok());
  EXPECT_EQ(calls("cuEventRecord"), 4u);
  // The engine's own stream needs no events.
  ASSERT_FALSE(failing_call(reinterpret_cast<uint64_t>(inner_->stream())).ok());
  EXPECT_EQ(calls("cuEventRecord"), 4u);
  EXPECT_EQ(calls("cuStreamWaitEvent"), 4u);
}

TEST_F(Bridge, DriverFailuresOfTheBridgeWinOverTheOperation) {
  // An f32 forward that launches one kernel when it runs.
  const auto forward = [&](uint64_t stream) {
    return inner_->forward(stream, 1ull << 36, 2ull << 36, 3ull << 36, 0, Dims{64, 64, 64},
                           DType::F32, false);
  };
  ASSERT_TRUE(forward(caller()).ok());
  const size_t one_call = launches().size();
  ASSERT_GE(one_call, 1u);
  sim().tvnsim_launch_clear();

  // Before the operation: it does not run.
  for (const char* fn : {"cuCtxGetCurrent", "cuEventRecord", "cuStreamWaitEvent"}) {
    sim().tvnsim_inject(fn, 1, 400);
    Status s = forward(caller());
    ASSERT_FALSE(s.ok()) << fn;
    EXPECT_EQ(s.error().display(), "CUDA error: " + rendered(400)) << fn;
    EXPECT_EQ(launches().size(), 0u) << fn;
    sim().tvnsim_clear_injections();
  }
  // A caller stream the driver rejects fails at the first record.
  ASSERT_FALSE(forward(0xdead0).ok());
  EXPECT_EQ(launches().size(), 0u);

  // After the operation: its result is dropped for the event's error.
  for (const auto& [fn, nth] : {std::pair{"cuEventRecord", 2u}, std::pair{"cuStreamWaitEvent", 2u}}) {
    sim().tvnsim_inject(fn, nth, 700);
    Status s = forward(caller());
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().display(), "CUDA error: " + rendered(700));
    sim().tvnsim_clear_injections();
  }
  EXPECT_EQ(launches().size(), 2 * one_call);
}

TEST_F(Bridge, SynchronizeAndPresizeBindTheContext) {
  EXPECT_TRUE(inner_->synchronize().ok());
  sim().tvnsim_inject("cuStreamSynchronize", 1, 700);
  Status s = inner_->synchronize();
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().display(), "CUDA error: " + rendered(700));
  sim().tvnsim_inject("cuCtxGetCurrent", 1, 201);
  Status p = inner_->presize_upcast_scratch(1, 1, 1);
  ASSERT_FALSE(p.ok());
  EXPECT_EQ(p.error().display(), "CUDA error: " + rendered(201));
  EXPECT_EQ(resources().allocations, 0u);
}

}  // namespace
}  // namespace tesvan::test
