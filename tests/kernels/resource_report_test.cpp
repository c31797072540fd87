// Register allocation of every kernel as ptxas places it: no spills on the
// targets the large tiles are tuned for.  Needs NVRTC and ptxas, no device.
#include <gtest/gtest.h>

#include <string>

#include "kernel_build.h"
#include "support/engine_resources.h"
#include "support/ptxas_report.h"

namespace tesvan::test {
namespace {

// The report must see spills, stack and static shared memory where ptxas
// produces them, or the check below could never fail.  A 64-value live
// set under a 32-register launch bound spills; a shared tile shows as smem.
TEST(PtxasReport, SeesForcedSpillsAndStaticSharedMemory) {
  const std::string tool = ptxas::find_ptxas();
  if (tool.empty()) GTEST_SKIP() << "ptxas not found";
  const char* source = R"(
extern "C" __global__ void __launch_bounds__(1024, 2) pressure(float* out, const float* in, int n) {
  float acc[64];
#pragma unroll
  for (int i = 0; i < 64; ++i) acc[i] = in[i * n + threadIdx.x];
  for (int k = 0; k < n; ++k) {
#pragma unroll
    for (int i = 0; i < 64; ++i) acc[i] = fmaf(acc[i], acc[63 - i], in[k]);
  }
  float s = 0.0f;
#pragma unroll
  for (int i = 0; i < 64; ++i) s += acc[i] * (float)i;
  out[threadIdx.x] = s;
}
extern "C" __global__ void staged(float* out, const float* in) {
  __shared__ float tile[256];
  tile[threadIdx.x] = in[threadIdx.x];
  __syncthreads();
  out[threadIdx.x] = tile[255 - threadIdx.x];
}
)";
  Result<std::string> ptx = compile_ptx(source, "sm_80");
  ASSERT_TRUE(ptx.ok()) << ptx.error().display();
  EXPECT_EQ(ptxas::ptx_entries(ptx.value()), (std::vector<std::string>{"pressure", "staged"}));

  const ptxas::Report report = ptxas::assemble(tool, ptx.value(), "sm_80");
  ASSERT_EQ(report.error, "");
  const ptxas::FunctionResources* pressure = report.find("pressure");
  const ptxas::FunctionResources* staged = report.find("staged");
  ASSERT_TRUE(pressure && staged);
  EXPECT_TRUE(pressure->entry);
  EXPECT_TRUE(pressure->spills());
  EXPECT_GT(pressure->spill_stores, 0);
  EXPECT_GT(pressure->spill_loads, 0);
  EXPECT_GT(pressure->stack, 0);
  EXPECT_LE(pressure->registers, 32);
  EXPECT_EQ(pressure->shared, 0);
  EXPECT_EQ(pressure->barriers, 0);

  EXPECT_TRUE(staged->entry);
  EXPECT_FALSE(staged->spills());
  EXPECT_EQ(staged->stack, 0);
  EXPECT_EQ(staged->shared, 1024);
  EXPECT_EQ(staged->barriers, 1);
  EXPECT_GT(staged->registers, 0);
  EXPECT_GT(staged->constant, 0);

  // A failing assembly is an error, not an empty report.
  const ptxas::Report broken = ptxas::assemble(tool, ".version 1.0\nnot ptx\n", "sm_80");
  EXPECT_NE(broken.error, "");
}

// Every entry of the engine's PTX is reported, and neither it nor any
// device function it calls spills.
TEST(ResourceReport, NoKernelSpillsAtSm80OrSm90) {
  for (const char* target : {"sm_80", "sm_90"}) {
    SCOPED_TRACE(target);
    const ptxas::EngineReport* built = engine_resources(target);
    if (built == nullptr) GTEST_SKIP() << "ptxas not found";
    const ptxas::Report& report = built->ptxas;
    ASSERT_EQ(report.error, "");
    ASSERT_FALSE(built->entries.empty());
    for (const std::string& name : built->entries) {
      const ptxas::FunctionResources* f = report.find(name);
      ASSERT_NE(f, nullptr) << name << " missing from the ptxas report";
      EXPECT_TRUE(f->entry) << name;
      EXPECT_GT(f->registers, 0) << name;
    }
    for (const ptxas::FunctionResources& f : report.functions) {
      EXPECT_EQ(f.spill_stores, 0) << f.name;
      EXPECT_EQ(f.spill_loads, 0) << f.name;
    }
  }
}

}  // namespace
}  // namespace tesvan::test
