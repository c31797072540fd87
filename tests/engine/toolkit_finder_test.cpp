// Finding NVRTC and headers, and choosing among several NVRTCs by the
// driver's version.  The loader itself runs once per process; its end-to-end
// cases (a newer driver, an NVRTC already loaded) are in the Python tests,
// each in a process of its own.
#include <dlfcn.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "engine_fixture.h"
#include "toolkit_finder.h"

namespace tesvan::test {
namespace {

namespace fs = std::filesystem;
using cu::CodeForm;
using cu::FoundNvrtc;

cu::NvrtcVerdict choose(std::vector<int> versions, int driver, bool real) {
  std::vector<FoundNvrtc> found;
  for (int v : versions) found.push_back({v});
  return cu::choose_nvrtc(found, driver, real);
}

TEST(ChooseNvrtc, NewestNotNewerThanTheDriverWins) {
  // torch's 13.2 loaded first, the toolkit's 13.0 and an old 12.4 later.
  cu::NvrtcVerdict v = choose({13020, 13000, 12040}, 13000, true);
  ASSERT_TRUE(v.chosen);
  EXPECT_EQ(*v.chosen, 1u);
  EXPECT_EQ(v.form, CodeForm::Ptx);
  // A newer driver takes the newest; equal versions keep candidate order.
  EXPECT_EQ(*choose({13000, 13020, 13020}, 13020, false).chosen, 1u);
  // No driver to compare with: the newest.
  EXPECT_EQ(*choose({12080, 13020}, 0, false).chosen, 1u);
}

TEST(ChooseNvrtc, OnlyNewerCompilersGiveCubinOnARealDriverAndAClearErrorOnTheSimulator) {
  cu::NvrtcVerdict real = choose({13000, 13020}, 12080, true);
  ASSERT_TRUE(real.chosen);
  EXPECT_EQ(*real.chosen, 1u);
  EXPECT_EQ(real.form, CodeForm::Cubin);
  EXPECT_TRUE(real.error.empty());

  cu::NvrtcVerdict sim = choose({13000}, 12080, false);
  EXPECT_FALSE(sim.chosen);
  EXPECT_EQ(sim.error,
            "the driver supports CUDA 12.8; the newest NVRTC found is 13.0: install a matching "
            "nvidia-cuda-nvrtc-cu12 (pip install \"nvidia-cuda-nvrtc-cu12==12.8.*\"), or update "
            "the driver");
  EXPECT_NE(choose({13020}, 13000, false).error.find("pip install \"nvidia-cuda-nvrtc==13.0.*\""),
            std::string::npos);
  EXPECT_FALSE(choose({}, 13000, true).chosen);
}

// A fake Python environment: the `nvidia` namespace package with empty
// stand-ins for the wheels' files.
class WheelRoots : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("tesvan-finder-" + std::to_string(getpid())) / "nvidia";
    fs::remove_all(root_.parent_path());
    cu::set_python_package_roots({root_.string()});
  }
  void TearDown() override {
    cu::set_python_package_roots({});
    std::error_code ec;
    fs::remove_all(root_.parent_path(), ec);
  }
  std::string touch(const std::string& relative) {
    const fs::path p = root_ / relative;
    fs::create_directories(p.parent_path());
    std::ofstream(p) << "";
    return p.string();
  }
  std::string dir(const std::string& relative) const { return (root_ / relative).string(); }
  fs::path root_;
};

TEST_F(WheelRoots, CudaThirteenAndTwelveLayoutsAreCandidatesWithTheirHeaders) {
  ScopedEnv off("TESVAN_NVRTC", nullptr);
  const std::string cu13 = touch("cu13/lib/libnvrtc.so.13");
  touch("cu13/include/cuda_fp16.h");
  const std::string cu12 = touch("cuda_nvrtc/lib/libnvrtc.so.12");
  touch("cuda_runtime/include/cuda_fp16.h");
  const fs::path home = root_.parent_path() / "toolkit";
  fs::create_directories(home / "lib64");
  std::ofstream(home / "lib64/libnvrtc.so.13") << "";
  ScopedEnv cuda_home("CUDA_HOME", home.c_str());

  const std::vector<cu::NvrtcCandidate> c = cu::nvrtc_candidates();
  auto at = [&c](const std::string& path) {
    for (size_t i = 0; i < c.size(); ++i) {
      if (c[i].path == path) return i;
    }
    return c.size();
  };
  const size_t i13 = at(cu13), i12 = at(cu12), ihome = at((home / "lib64/libnvrtc.so.13").string());
  ASSERT_LT(i13, c.size());
  ASSERT_LT(i12, c.size());
  ASSERT_LT(ihome, c.size());
  EXPECT_EQ(c[i13].include_dir, dir("cu13/include"));
  EXPECT_EQ(c[i12].include_dir, dir("cuda_runtime/include"));
  EXPECT_EQ(c[ihome].why, "CUDA_HOME");
  // Wheels before CUDA_HOME, CUDA_HOME before the system search.
  EXPECT_LT(i13, ihome);
  EXPECT_LT(i12, ihome);
  EXPECT_LT(ihome, at("libnvrtc.so.13"));

  // The wheels' headers follow the override and the chosen NVRTC's own.
  const std::string own = (root_.parent_path() / "own").string();
  fs::create_directories(own);
  std::ofstream(own + "/cuda_fp16.h") << "";
  ScopedEnv include("TESVAN_CUDA_INCLUDE", own.c_str());
  EXPECT_EQ(cu::extra_include_candidates(dir("cuda_runtime/include")),
            (std::vector<std::string>{own, dir("cuda_runtime/include"), dir("cu13/include")}));
}

TEST_F(WheelRoots, TesvanNvrtcStandsAlone) {
  touch("cu13/lib/libnvrtc.so.13");
  ScopedEnv pick("TESVAN_NVRTC", "/opt/mine/libnvrtc.so.13");
  const std::vector<cu::NvrtcCandidate> c = cu::nvrtc_candidates();
  ASSERT_EQ(c.size(), 1u);
  EXPECT_EQ(c[0].path, "/opt/mine/libnvrtc.so.13");
  EXPECT_EQ(c[0].why, "TESVAN_NVRTC");
}

TEST(NvrtcCandidates, AnNvrtcAlreadyInTheProcessComesFirst) {
  ScopedEnv off("TESVAN_NVRTC", nullptr);
  void* handle = dlopen("libnvrtc.so.13", RTLD_NOW | RTLD_LOCAL);
  if (!handle) handle = dlopen("libnvrtc.so.12", RTLD_NOW | RTLD_LOCAL);
  if (!handle) GTEST_SKIP() << "no NVRTC on the library search path";
  const std::vector<cu::NvrtcCandidate> c = cu::nvrtc_candidates();
  ASSERT_FALSE(c.empty());
  EXPECT_EQ(c[0].why, "already loaded in the process");
  EXPECT_EQ(c[0].path.front(), '/');
  dlclose(handle);
}

TEST(LoaderReport, TheChosenNvrtcAnswersItsVersionAndFailuresPointAtInfo) {
  const cu::NvrtcReport& r = cu::nvrtc_report();
  if (!r.chosen) {
    EXPECT_NE(r.error.find("python -m tesvan info"), std::string::npos) << r.error;
    return;
  }
  auto nv = cu::nvrtc();
  ASSERT_TRUE(nv.ok());
  int major = 0, minor = 0;
  ASSERT_EQ(nv.value()->nvrtcVersion(&major, &minor), 0);
  EXPECT_EQ(r.found[*r.chosen].version, cu::cuda_version_number(major, minor));
  if (r.driver_version && r.form == CodeForm::Ptx) {
    EXPECT_LE(r.found[*r.chosen].version, r.driver_version);
  }
}

}  // namespace
}  // namespace tesvan::test
