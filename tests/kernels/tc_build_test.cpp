// The tensor-core kernels as built: present for every target the engine
// compiles for, and placed by ptxas without spills, with the shared memory
// their launches assume.  Needs NVRTC (and ptxas for the second test), no
// device.
#include <gtest/gtest.h>

#include <string>

#include "kernel_build.h"
#include "support/engine_resources.h"

namespace tesvan::test {
namespace {

const char* const kTargets[] = {"sm_80", "sm_86", "sm_89", "sm_90", "sm_100", "sm_120"};

std::vector<std::string> tc_kernel_names() {
  std::vector<std::string> names;
  for (const char* op : {"nn", "tn", "nt"}) {
    for (const char* tile : {"_tc_", "_tc64_"}) {
      for (const char* elem : {"bf16", "f16"})
        names.push_back(std::string("tesvan_") + op + tile + elem);
    }
  }
  return names;
}

TEST(TcBuild, EveryTargetHasAllTwelveKernels) {
  for (const char* target : kTargets) {
    Result<std::string> ptx = kernel_ptx(target);
    ASSERT_TRUE(ptx.ok()) << target << ": " << ptx.error().display();
    for (const std::string& name : tc_kernel_names()) {
      EXPECT_NE(ptx.value().find(".entry " + name + "("), std::string::npos)
          << target << " " << name;
    }
  }
}

// No local memory at all (the accumulators must stay in registers; spills
// of every kernel are checked in resource_report_test.cpp), and static
// shared memory only in the 64-tile kernels, 36864 bytes each.
TEST(TcBuild, NoSpillsAndSharedMemoryAsLaunched) {
  for (const char* target : {"sm_80", "sm_90"}) {
    const ptxas::EngineReport* built = engine_resources(target);
    if (built == nullptr) GTEST_SKIP() << "ptxas not found";
    const ptxas::Report& report = built->ptxas;
    ASSERT_EQ(report.error, "");
    for (const std::string& name : tc_kernel_names()) {
      SCOPED_TRACE(std::string(target) + " " + name);
      const ptxas::FunctionResources* e = report.find(name);
      ASSERT_NE(e, nullptr);
      EXPECT_EQ(e->stack, 0);
      EXPECT_EQ(e->shared, name.find("_tc64_") != std::string::npos ? 36864 : 0);
      EXPECT_GT(e->registers, 0);
      RecordProperty(std::string(target) + "_" + name + "_registers", e->registers);
    }
  }
}

}  // namespace
}  // namespace tesvan::test
