// The cubin entry beside the PTX: offered to the driver first when the
// policy says so, written and replaced by the PTX entry's rules, with the PTX
// as the fallback.  The simulated device refuses every cubin (as a real
// driver refuses machine code for another GPU), so these tests walk the
// fallback path; the accepted path needs a GPU (scripts/gpu-check).
#include <filesystem>
#include <fstream>
#include <sstream>

#include "engine_fixture.h"
#include "kernel_build.h"

namespace tesvan::test {
namespace {

namespace fs = std::filesystem;

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void put(const fs::path& p, const std::string& bytes) {
  std::ofstream(p, std::ios::binary | std::ios::trunc) << bytes;
}

size_t entries(const fs::path& dir) {
  return static_cast<size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}

class CubinCacheTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    if (IsSkipped()) return;
    api_ = cu::cuda().value();
    ASSERT_EQ(api_->cuInit(0), 0);
    ASSERT_EQ(api_->cuDevicePrimaryCtxRetain(&ctx_, 0), 0);
    ASSERT_EQ(api_->cuCtxSetCurrent(ctx_), 0);
    dir_ = fs::temp_directory_path() / ("tesvan-cubin-test-" + std::to_string(getpid()));
    fs::remove_all(dir_);
  }
  void TearDown() override {
    if (ctx_) api_->cuDevicePrimaryCtxRelease(0);
    std::error_code ec;
    fs::remove_all(dir_, ec);
    SimTest::TearDown();
  }

  // Builds the stub kernels' module; the table step looks one kernel up.
  Status build(CodePolicy policy) {
    return build_kernel_module(*api_, stub_kernel_source(), "sm_80",
                               [this](const ModuleRef& m, bool* module_at_fault) {
                                 cu::CUfunction f = nullptr;
                                 const cu::CUresult r =
                                     api_->cuModuleGetFunction(&f, m.get(), "tesvan_nn");
                                 *module_at_fault = r != 0;
                                 return cu::check(r, "lookup: ");
                               },
                               policy);
  }
  KernelBuild plan() {
    ScopedEnv env("TESVAN_KERNEL_CACHE", dir_.c_str());
    return plan_kernel_build(stub_kernel_source(), "sm_80");
  }

  static constexpr CodePolicy kCubinFirst{true, true};
  const cu::CudaApi* api_ = nullptr;
  cu::CUcontext ctx_ = nullptr;
  fs::path dir_;
};

TEST_F(CubinCacheTest, EntryIsNamedByKeyAndTargetBesideThePtx) {
  const KernelBuild b = plan();
  ASSERT_TRUE(b.cache_path && b.cubin_path);
  fs::path expected = *b.cache_path;
  expected.replace_extension(".sm_80.cubin");
  EXPECT_EQ(*b.cubin_path, expected);
  EXPECT_EQ(b.cubin_path->parent_path(), dir_);
  ScopedEnv off("TESVAN_KERNEL_CACHE", "off");
  EXPECT_FALSE(plan_kernel_build("x", "sm_80").cubin_path);
}

TEST_F(CubinCacheTest, RefusedCubinFallsBackToThePtxColdAndWarm) {
  ScopedEnv env("TESVAN_KERNEL_CACHE", dir_.c_str());
  const KernelBuild b = plan();

  // Cold: compiled once, both entries written, the cubin offered first.
  uint64_t loads = calls("cuModuleLoadData");
  ASSERT_TRUE(build(kCubinFirst).ok());
  EXPECT_EQ(calls("cuModuleLoadData"), loads + 2);
  const std::string cubin = slurp(*b.cubin_path);
  EXPECT_EQ(cubin.substr(0, 4), "\x7f" "ELF");
  // The PTX entry is exactly what a PTX-only build writes.
  EXPECT_EQ(slurp(*b.cache_path), compile_ptx(stub_kernel_source(), "sm_80").value());
  EXPECT_EQ(entries(dir_), 2u);  // no temporary file left

  // Warm: the cached cubin is refused and deleted, the cached PTX loads.
  loads = calls("cuModuleLoadData");
  ASSERT_TRUE(build(kCubinFirst).ok());
  EXPECT_EQ(calls("cuModuleLoadData"), loads + 2);
  EXPECT_FALSE(fs::exists(*b.cubin_path));
  loads = calls("cuModuleLoadData");
  ASSERT_TRUE(build(kCubinFirst).ok());
  EXPECT_EQ(calls("cuModuleLoadData"), loads + 1);
  EXPECT_EQ(resources().modules, 0u);  // every module unloaded again
}

TEST_F(CubinCacheTest, UnusableEntriesAreReplacedByAFreshCompile) {
  ScopedEnv env("TESVAN_KERNEL_CACHE", dir_.c_str());
  const KernelBuild b = plan();
  ASSERT_TRUE(build(kCubinFirst).ok());
  const std::string good_cubin = slurp(*b.cubin_path), good_ptx = slurp(*b.cache_path);
  for (const std::string& bad : {std::string(), std::string("garbage"),
                                 std::string("\x7f" "ELF\0\0 cut short", 16)}) {
    put(*b.cubin_path, bad);
    put(*b.cache_path, bad);
    ASSERT_TRUE(build(kCubinFirst).ok()) << bad.size();
    EXPECT_EQ(slurp(*b.cubin_path), good_cubin) << bad.size();
    EXPECT_EQ(slurp(*b.cache_path), good_ptx) << bad.size();
  }
  EXPECT_EQ(resources().modules, 0u);  // every module unloaded again
}

TEST_F(CubinCacheTest, DisabledOrUnwritableCacheStillBuilds) {
  {
    ScopedEnv env("TESVAN_KERNEL_CACHE", "off");
    EXPECT_TRUE(build(kCubinFirst).ok());
  }
  fs::create_directories(dir_);
  put(dir_ / "file", "x");
  ScopedEnv env("TESVAN_KERNEL_CACHE", (dir_ / "file" / "cache").c_str());
  for (int i = 0; i < 2; ++i) EXPECT_TRUE(build(kCubinFirst).ok());
  EXPECT_EQ(resources().modules, 0u);  // every module unloaded again
}

TEST_F(CubinCacheTest, WithoutUsablePtxARefusedCubinIsTheError) {
  ScopedEnv env("TESVAN_KERNEL_CACHE", dir_.c_str());
  const uint64_t loads = calls("cuModuleLoadData");
  Status s = build(CodePolicy{true, false});
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().display().rfind(
                "CUDA error: module load failed: DriverError(CUDA_ERROR_NO_BINARY_FOR_GPU, ", 0),
            0u)
      << s.error().display();
  EXPECT_EQ(calls("cuModuleLoadData"), loads + 1);  // the PTX is never offered
  EXPECT_EQ(resources().modules, 0u);  // every module unloaded again
}

TEST_F(CubinCacheTest, TheSimulatedDeviceGetsPtxOnly) {
  const CodePolicy p = code_policy(*api_);
  EXPECT_FALSE(p.cubin_first);
  EXPECT_TRUE(p.ptx);
}

}  // namespace
}  // namespace tesvan::test
