// Loading NVRTC-made PTX: what the driver checks before the JIT, the entries
// and their attributes, and unloading.
#include "sim/api/driver_fixture.h"

namespace tvnsim_test {
namespace {

constexpr int kFuncMaxThreads = 0;
constexpr int kFuncStaticShared = 1;
constexpr int kFuncLocalBytes = 3;
constexpr int kFuncNumRegs = 4;
constexpr int kFuncPtxVersion = 5;
constexpr int kFuncBinaryVersion = 6;
constexpr int kFuncMaxDynamicShared = 8;

std::string replace(std::string text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

void set_cc(int major, int minor) {
  TvnSimConfig c;
  sim().tvnsim_get_config(&c);
  c.cc_major = major;
  c.cc_minor = minor;
  sim().tvnsim_set_config(&c);
}

class ModuleTest : public DriverTest {
 protected:
  int attribute(CUfunction f, int attr) {
    int v = -1;
    EXPECT_EQ(cu->cuFuncGetAttribute(&v, attr, f), rc::CUDA_SUCCESS) << "attribute " << attr;
    return v;
  }
  CUfunction function(CUmodule m, const char* name) {
    CUfunction f = nullptr;
    EXPECT_EQ(cu->cuModuleGetFunction(&f, m, name), rc::CUDA_SUCCESS) << name;
    return f;
  }
};

TEST_F(ModuleTest, TextThatIsNotPtxIsRefused) {
  CUmodule m = nullptr;
  for (const char* text : {"", "hello", "// only a comment\n", ".target sm_80\n.version 9.0\n",
                           ".version nine\n.target sm_80\n"}) {
    EXPECT_EQ(cu->cuModuleLoadData(&m, text), rc::CUDA_ERROR_INVALID_PTX) << text;
  }
  EXPECT_EQ(cu->cuModuleLoadData(&m, nullptr), rc::CUDA_ERROR_INVALID_VALUE);
}

TEST_F(ModuleTest, NewerPtxVersionIsAnUnsupportedToolchain) {
  ASSERT_FALSE(test_kernels_ptx().empty());
  CUmodule m = nullptr;
  EXPECT_EQ(
      cu->cuModuleLoadData(&m, replace(test_kernels_ptx(), ".version 9.0", ".version 9.9").c_str()),
      rc::CUDA_ERROR_UNSUPPORTED_PTX_VERSION);
  EXPECT_EQ(cu->cuModuleLoadData(
                &m, replace(test_kernels_ptx(), ".version 9.0", ".version 12.0").c_str()),
            rc::CUDA_ERROR_UNSUPPORTED_PTX_VERSION);
}

TEST_F(ModuleTest, TargetNewerThanTheDeviceCannotBeCompiled) {
  REQUIRE_SIM();
  const std::string sm90 = compile(kTestKernels, "sm_90");
  ASSERT_FALSE(sm90.empty());
  CUmodule m = nullptr;
  EXPECT_EQ(cu->cuModuleLoadData(&m, sm90.c_str()), rc::CUDA_ERROR_INVALID_PTX);
  EXPECT_NE(std::string(sim().tvnsim_last_error_message()).find("JIT"), std::string::npos);

  // Architecture-specific code runs only on its own architecture.
  const std::string sm90a = replace(sm90, ".target sm_90", ".target sm_90a");
  set_cc(10, 0);
  EXPECT_EQ(cu->cuModuleLoadData(&m, sm90a.c_str()), rc::CUDA_ERROR_INVALID_PTX);
  set_cc(8, 6);
  EXPECT_EQ(cu->cuModuleLoadData(
                &m, replace(test_kernels_ptx(), ".target sm_80", ".target sm_89").c_str()),
            rc::CUDA_ERROR_INVALID_PTX);
}

TEST_F(ModuleTest, OlderTargetsLoadOnNewerDevices) {
  REQUIRE_SIM();
  set_cc(12, 0);
  CUmodule m = nullptr;
  ASSERT_LOADS(cu, m, test_kernels_ptx());
  EXPECT_EQ(cu->cuModuleUnload(m), rc::CUDA_SUCCESS);
  set_cc(9, 0);
  ASSERT_LOADS(cu, m,
                      replace(compile(kTestKernels, "sm_90"), ".target sm_90", ".target sm_90a"));
  EXPECT_EQ(cu->cuModuleUnload(m), rc::CUDA_SUCCESS);
}

TEST_F(ModuleTest, EntriesAreFoundByTheirPlainNames) {
  CUmodule m = nullptr;
  ASSERT_LOADS(cu, m, test_kernels_ptx());
  const CUfunction fill = function(m, "fill_u32");
  EXPECT_NE(fill, nullptr);
  EXPECT_EQ(function(m, "fill_u32"), fill);  // one handle per entry
  EXPECT_NE(function(m, "add_u32"), fill);
  CUfunction f = nullptr;
  EXPECT_EQ(cu->cuModuleGetFunction(&f, m, "fill"), rc::CUDA_ERROR_NOT_FOUND);
  EXPECT_EQ(cu->cuModuleGetFunction(&f, m, "_Z8fill_u32Pjji"), rc::CUDA_ERROR_NOT_FOUND);
  EXPECT_EQ(cu->cuModuleUnload(m), rc::CUDA_SUCCESS);
}

TEST_F(ModuleTest, FunctionAttributesDescribeTheEntry) {
  CUmodule m = nullptr;
  ASSERT_LOADS(cu, m, test_kernels_ptx());
  const CUfunction bounded = function(m, "typed_args");
  const CUfunction shared = function(m, "static_shared");
  EXPECT_EQ(attribute(bounded, kFuncMaxThreads), 128);  // __launch_bounds__(128)
  EXPECT_EQ(attribute(shared, kFuncMaxThreads), 1024);
  EXPECT_EQ(attribute(shared, kFuncStaticShared), 4096);
  EXPECT_EQ(attribute(bounded, kFuncStaticShared), 0);
  EXPECT_EQ(attribute(bounded, kFuncLocalBytes), 0);
  EXPECT_GT(attribute(bounded, kFuncNumRegs), 0);
  EXPECT_EQ(attribute(bounded, kFuncPtxVersion), 90);
  if (sim().available()) {
    EXPECT_EQ(attribute(bounded, kFuncBinaryVersion), 80);
  }
  EXPECT_EQ(attribute(bounded, kFuncMaxDynamicShared), 49152);
  EXPECT_EQ(attribute(shared, kFuncMaxDynamicShared), 49152 - 4096);
  EXPECT_EQ(cu->cuModuleUnload(m), rc::CUDA_SUCCESS);
}

TEST_F(ModuleTest, DynamicSharedLimitRisesUpToTheOptInMaximum) {
  CUmodule m = nullptr;
  ASSERT_LOADS(cu, m, test_kernels_ptx());
  int optin = 0;
  ASSERT_EQ(cu->cuDeviceGetAttribute(&optin, 97, 0), rc::CUDA_SUCCESS);
  const CUfunction dynamic = function(m, "dynamic_shared");
  const CUfunction shared = function(m, "static_shared");
  EXPECT_EQ(cu->cuFuncSetAttribute(dynamic, kFuncMaxDynamicShared, 75776), rc::CUDA_SUCCESS);
  EXPECT_EQ(attribute(dynamic, kFuncMaxDynamicShared), 75776);
  EXPECT_EQ(cu->cuFuncSetAttribute(dynamic, kFuncMaxDynamicShared, optin), rc::CUDA_SUCCESS);
  EXPECT_EQ(cu->cuFuncSetAttribute(dynamic, kFuncMaxDynamicShared, optin + 1),
            rc::CUDA_ERROR_INVALID_VALUE);
  EXPECT_EQ(cu->cuFuncSetAttribute(shared, kFuncMaxDynamicShared, optin - 4096), rc::CUDA_SUCCESS);
  EXPECT_EQ(cu->cuFuncSetAttribute(shared, kFuncMaxDynamicShared, optin - 4095),
            rc::CUDA_ERROR_INVALID_VALUE);
  EXPECT_EQ(cu->cuFuncSetAttribute(dynamic, kFuncMaxDynamicShared, -1),
            rc::CUDA_ERROR_INVALID_VALUE);
  EXPECT_EQ(cu->cuFuncSetAttribute(dynamic, kFuncStaticShared, 0), rc::CUDA_ERROR_INVALID_VALUE);
  EXPECT_EQ(attribute(dynamic, kFuncMaxDynamicShared), optin);  // refusals changed nothing
  EXPECT_EQ(cu->cuModuleUnload(m), rc::CUDA_SUCCESS);
}

// Hand-written PTX: ptxas accepts thread bounds with fewer than three values.
constexpr const char* kBoundsPtx = R"(.version 9.0
.target sm_80
.address_size 64

.visible .entry max_one_dim()
.maxntid 128
{
  ret;
}

.visible .entry req_one_dim()
.reqntid 64
{
  ret;
}

.visible .entry max_two_dims()
.maxntid 16, 8
{
  ret;
}
)";

TEST_F(ModuleTest, ThreadBoundsWithMissingDimensionsCountThemAsOne) {
  CUmodule m = nullptr;
  ASSERT_LOADS(cu, m, std::string(kBoundsPtx));
  const CUfunction max1 = function(m, "max_one_dim");
  const CUfunction req1 = function(m, "req_one_dim");
  const CUfunction max2 = function(m, "max_two_dims");
  EXPECT_EQ(attribute(max1, kFuncMaxThreads), 128);
  EXPECT_EQ(attribute(req1, kFuncMaxThreads), 64);
  EXPECT_EQ(attribute(max2, kFuncMaxThreads), 128);
  auto launch = [&](CUfunction f, unsigned x, unsigned y) {
    return cu->cuLaunchKernel(f, 1, 1, 1, x, y, 1, 0, nullptr, nullptr, nullptr);
  };
  EXPECT_EQ(launch(max1, 128, 1), rc::CUDA_SUCCESS);
  EXPECT_EQ(launch(max1, 32, 4), rc::CUDA_SUCCESS);
  EXPECT_EQ(launch(max1, 129, 1), rc::CUDA_ERROR_INVALID_VALUE);
  EXPECT_EQ(launch(req1, 64, 1), rc::CUDA_SUCCESS);
  EXPECT_EQ(launch(req1, 32, 2), rc::CUDA_ERROR_INVALID_VALUE);  // same count, other shape
  EXPECT_EQ(launch(max2, 64, 2), rc::CUDA_SUCCESS);
  EXPECT_EQ(launch(max2, 64, 3), rc::CUDA_ERROR_INVALID_VALUE);
  EXPECT_EQ(cu->cuCtxSynchronize(), rc::CUDA_SUCCESS);
  EXPECT_EQ(cu->cuModuleUnload(m), rc::CUDA_SUCCESS);
}

// An entry that stores to every word of a static shared array of `bytes`.
std::string static_shared_ptx(unsigned bytes) {
  return R"(.version 9.0
.target sm_80
.address_size 64

.visible .entry tile_user()
{
  .shared .align 4 .b8 tile[)" +
         std::to_string(bytes) + R"(];
  .reg .b32 %r<3>;
  mov.u32 %r1, %tid.x;
  shl.b32 %r1, %r1, 2;
  mov.u32 %r2, tile;
  add.u32 %r2, %r2, %r1;
  st.shared.u32 [%r2], %r1;
  ret;
}
)";
}

TEST_F(ModuleTest, StaticSharedMemoryIsLimitedTo48KiB) {
  // ptxas: "uses too much shared data (0xc004 bytes, 0xc000 max)" on every
  // architecture; the opt-in limit applies to dynamic shared memory only.
  CUmodule m = nullptr;
  ASSERT_LOADS(cu, m, static_shared_ptx(49152));
  EXPECT_EQ(attribute(function(m, "tile_user"), kFuncStaticShared), 49152);
  EXPECT_EQ(attribute(function(m, "tile_user"), kFuncMaxDynamicShared), 0);
  EXPECT_EQ(cu->cuModuleUnload(m), rc::CUDA_SUCCESS);
  EXPECT_EQ(cu->cuModuleLoadData(&m, static_shared_ptx(49156).c_str()), rc::CUDA_ERROR_INVALID_PTX);
}

TEST_F(ModuleTest, UnloadInvalidatesTheModuleAndItsFunctions) {
  REQUIRE_SIM();
  CUmodule m = nullptr;
  ASSERT_LOADS(cu, m, test_kernels_ptx());
  const CUfunction f = function(m, "fill_u32");
  TvnSimResources r;
  sim().tvnsim_resources(&r);
  EXPECT_EQ(r.modules, 1u);
  ASSERT_EQ(cu->cuModuleUnload(m), rc::CUDA_SUCCESS);
  sim().tvnsim_resources(&r);
  EXPECT_EQ(r.modules, 0u);
  int v = 0;
  EXPECT_EQ(cu->cuFuncGetAttribute(&v, kFuncMaxThreads, f), rc::CUDA_ERROR_INVALID_HANDLE);
  CUfunction g = nullptr;
  EXPECT_EQ(cu->cuModuleGetFunction(&g, m, "fill_u32"), rc::CUDA_ERROR_INVALID_HANDLE);
  EXPECT_EQ(cu->cuModuleUnload(m), rc::CUDA_ERROR_INVALID_HANDLE);
}

}  // namespace
}  // namespace tvnsim_test
