// The modelled driver version: what cuDriverGetVersion reports, the newest
// PTX ISA the driver then accepts, and machine code it cannot run.
#include "sim/api/driver_fixture.h"

namespace tvnsim_test {
namespace {

class DriverVersionTest : public DriverTest {
 protected:
  void set_driver_version(int version) {
    TvnSimConfig c;
    sim().tvnsim_get_config(&c);
    c.driver_version = version;
    sim().tvnsim_set_config(&c);
  }
  // The test kernels' PTX with its .version replaced.
  CUresult load_with_ptx_version(const std::string& version) {
    std::string text = test_kernels_ptx();
    const size_t at = text.find(".version ");
    const size_t end = text.find('\n', at);
    text.replace(at, end - at, ".version " + version);
    CUmodule m = nullptr;
    const CUresult r = cu->cuModuleLoadData(&m, text.c_str());
    if (r == rc::CUDA_SUCCESS) cu->cuModuleUnload(m);
    return r;
  }
};

TEST_F(DriverVersionTest, ReportsTheConfiguredVersionAndAcceptsThatReleasesPtxIsa) {
  REQUIRE_SIM();
  ASSERT_FALSE(test_kernels_ptx().empty());
  int version = 0;
  ASSERT_EQ(cu->cuDriverGetVersion(&version), rc::CUDA_SUCCESS);
  EXPECT_EQ(version, 13000);  // the default: CUDA 13.0

  // (driver, newest PTX ISA it takes, the next one it refuses)
  struct Case {
    int driver;
    const char* newest;
    const char* too_new;
  };
  for (const Case& c : {Case{13000, "9.0", "9.1"}, Case{13020, "9.2", "9.3"},
                        Case{12080, "8.7", "8.8"}, Case{12060, "8.5", "8.6"},
                        Case{12040, "8.4", "8.5"}, Case{11080, "7.8", "8.0"}}) {
    set_driver_version(c.driver);
    ASSERT_EQ(cu->cuDriverGetVersion(&version), rc::CUDA_SUCCESS);
    EXPECT_EQ(version, c.driver);
    EXPECT_EQ(load_with_ptx_version(c.newest), rc::CUDA_SUCCESS) << c.driver << " " << c.newest;
    EXPECT_EQ(load_with_ptx_version(c.too_new), rc::CUDA_ERROR_UNSUPPORTED_PTX_VERSION)
        << c.driver << " " << c.too_new;
  }
}

TEST_F(DriverVersionTest, MachineCodeIsRefusedAsABinaryForAnotherGpu) {
  REQUIRE_SIM();
  const char elf[] = "\x7f" "ELF\x02\x01\x01";
  CUmodule m = nullptr;
  EXPECT_EQ(cu->cuModuleLoadData(&m, elf), rc::CUDA_ERROR_NO_BINARY_FOR_GPU);
  EXPECT_NE(std::string(sim().tvnsim_last_error_message()).find("cubin"), std::string::npos);
  // A text shorter than the ELF magic is still just not PTX.
  EXPECT_EQ(cu->cuModuleLoadData(&m, "\x7f"), rc::CUDA_ERROR_INVALID_PTX);
}

}  // namespace
}  // namespace tvnsim_test
