// Shared setup of the simulated driver's tests.  Everything goes through the
// driver API as the engine loads it (tesvan::cu::cuda()); the simulator's
// control API is used only by tests that check simulator behaviour, and those
// skip themselves on a real driver.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver.h"
#include "support/sim_control.h"

namespace tvnsim_test {

using tesvan::cu::CUcontext;
using tesvan::cu::CUdeviceptr;
using tesvan::cu::CUevent;
using tesvan::cu::CUfunction;
using tesvan::cu::CUmodule;
using tesvan::cu::CUresult;
using tesvan::cu::CUstream;

// Every CUresult enumerator of cuda.h, by name.
namespace rc {
#define X(value, name) inline constexpr CUresult name = value;
#include "cu_result_names.inc"
#undef X
}  // namespace rc

inline const tesvan::test::SimControl& sim() { return tesvan::test::sim(); }

// Skips the current test unless the driver is the simulated device.
#define REQUIRE_SIM()                                                                    \
  do {                                                                                   \
    if (!::tvnsim_test::sim().available()) GTEST_SKIP() << "needs the simulated device"; \
  } while (0)

// The driver library with an initialised driver and the primary context of
// device 0 retained and current.  On the simulator everything starts from a
// reset device.
class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Allocates `bytes` and fills them with `fill` bytes through the driver;
  // the fill has run when it returns.
  CUdeviceptr alloc(size_t bytes, unsigned char fill = 0);
  std::vector<uint32_t> read_u32(CUdeviceptr p, size_t count);

  const tesvan::cu::CudaApi* cu = nullptr;
  CUcontext ctx = nullptr;
};

// PTX for `source` (CUDA C++), compiled by NVRTC with the engine's options.
// Fails the test when NVRTC is missing or the source does not compile.
std::string compile(const std::string& source, const std::string& target = "sm_80");

// CUDA C++ of the small kernels the module and launch tests load.
extern const char* const kTestKernels;
// kTestKernels compiled for sm_80, once per process.
const std::string& test_kernels_ptx();

// Loads `ptx` as a module; the test fails if the driver refuses it.
#define ASSERT_LOADS(cu, module, ptx) \
  ASSERT_EQ((cu)->cuModuleLoadData(&(module), (ptx).c_str()), ::tvnsim_test::rc::CUDA_SUCCESS)

}  // namespace tvnsim_test
