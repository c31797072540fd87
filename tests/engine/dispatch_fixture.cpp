#include "dispatch_fixture.h"

#include "driver.h"
#include "kernel_build.h"
#include "support/host_allocations.h"
#include "support/sim_control.h"
#include "support/stub_kernels.h"

namespace tesvan::test {

std::optional<EngineStream> DispatchTest::es_;
std::optional<Kernels> DispatchTest::table_;
ModuleRef DispatchTest::module_;
int DispatchTest::device_ = 0;

namespace {

std::string setup_error;
TvnSimConfig saved_config{};

// Driver calls the no-allocation check routes to: they record nothing and
// allocate nothing, so that only the dispatch's own allocations count.
cu::CUcontext fake_current = nullptr;
uint64_t fake_launches = 0;
cu::CUresult fake_get_current(cu::CUcontext* c) {
  *c = fake_current;
  return cu::CUDA_SUCCESS;
}
cu::CUresult fake_set_current(cu::CUcontext c) {
  fake_current = c;
  return cu::CUDA_SUCCESS;
}
cu::CUresult fake_launch(cu::CUfunction, unsigned, unsigned, unsigned, unsigned, unsigned,
                         unsigned, unsigned, cu::CUstream, void**, void**) {
  ++fake_launches;
  return cu::CUDA_SUCCESS;
}

}  // namespace

void DispatchTest::SetUpTestSuite() {
  setup_error.clear();
  if (!sim().available()) return;
  auto api = cu::cuda();
  if (!api.ok()) {
    setup_error = api.error().display();
    return;
  }
  const cu::CudaApi& a = *api.value();
  cu::CUcontext ctx = nullptr;
  cu::CUstream stream = nullptr;
  int pools = 0;
  Status st = cu::check(a.cuInit(0), "cuInit: ");
  if (st.ok()) st = cu::check(a.cuDeviceGet(&device_, 0), "cuDeviceGet: ");
  if (st.ok()) st = cu::check(a.cuDevicePrimaryCtxRetain(&ctx, device_), "retain: ");
  if (st.ok()) st = cu::check(a.cuCtxSetCurrent(ctx), "set current: ");
  if (st.ok()) st = cu::check(a.cuStreamCreate(&stream, cu::CU_STREAM_NON_BLOCKING), "stream: ");
  if (st.ok()) {
    st = cu::check(
        a.cuDeviceGetAttribute(&pools, cu::CU_DEVICE_ATTRIBUTE_MEMORY_POOLS_SUPPORTED, device_),
        "pools: ");
  }
  if (!st.ok()) {
    setup_error = st.error().display();
    return;
  }
  EngineStream es;
  es.api = &a;
  es.ctx = ctx;
  es.stream = stream;
  es.memory_pools = pools > 0;
  es_ = es;

  sim().tvnsim_get_config(&saved_config);
  TvnSimConfig cfg = saved_config;
  cfg.execute = 0;
  sim().tvnsim_set_config(&cfg);

  Result<std::string> ptx = compile_ptx(stub_kernel_source(), "sm_80");
  if (!ptx.ok()) {
    setup_error = ptx.error().display();
    return;
  }
  st = cu::check(load_module(a, ptx.value(), &module_), "stub module load: ");
  if (!st.ok()) {
    setup_error = st.error().display();
    return;
  }
  Result<Kernels> table = Kernels::from_module(es, module_);
  if (!table.ok()) {
    setup_error = table.error().display();
    return;
  }
  table_.emplace(std::move(table).value());
}

void DispatchTest::TearDownTestSuite() {
  table_.reset();
  module_.reset();
  if (es_) {
    es_->api->cuStreamDestroy(es_->stream);
    es_->api->cuDevicePrimaryCtxRelease(device_);
    sim().tvnsim_set_config(&saved_config);
    es_.reset();
  }
}

void DispatchTest::SetUp() {
  if (!sim().available()) GTEST_SKIP() << "needs the simulated device";
  ASSERT_TRUE(setup_error.empty()) << setup_error;
  ASSERT_TRUE(table_.has_value());
  TvnSimConfig cfg;
  sim().tvnsim_get_config(&cfg);
  cfg.execute = 0;
  sim().tvnsim_set_config(&cfg);
  sim().tvnsim_clear_injections();
  sim().tvnsim_launch_clear();
}

void DispatchTest::TearDown() {
  if (sim().available()) sim().tvnsim_clear_injections();
}

Kernels DispatchTest::fresh_table() {
  Result<Kernels> t = Kernels::from_module(es(), module_);
  EXPECT_TRUE(t.ok()) << t.error().display();
  return std::move(t).value();
}

uint64_t DispatchTest::splitk_scratch() {
  Result<uint64_t> s = table().splitk_ptr(es());
  EXPECT_TRUE(s.ok()) << s.error().display();
  return s.ok() ? s.value() : 0;
}

uint64_t DispatchTest::transpose_scratch() {
  Result<uint64_t> p = table().transpose_ptr(es());
  EXPECT_TRUE(p.ok()) << p.error().display();
  return p.ok() ? p.value() : 0;
}

Step DispatchTest::step(const char* kernel, Dim3 grid, Dim3 block, unsigned shared,
                        std::vector<LoggedArg> args, std::string context) {
  LoggedLaunch l;
  l.kernel = kernel;
  l.grid = {grid.x, grid.y, grid.z};
  l.block = {block.x, block.y, block.z};
  l.shared = shared;
  l.stream = reinterpret_cast<uint64_t>(es().stream);
  l.args = std::move(args);
  return {std::move(l), std::move(context)};
}

namespace {

std::vector<LoggedLaunch> launches_of(const Case& c, size_t count) {
  std::vector<LoggedLaunch> out;
  for (size_t i = 0; i < count && i < c.steps.size(); ++i) out.push_back(c.steps[i].launch);
  return out;
}

std::string text_of(const Status& st) { return st.ok() ? "success" : st.error().display(); }

}  // namespace

void DispatchTest::expect_cases(const std::vector<Case>& cases, const Call& call,
                                const char* no_bucket_label, Kernels* k) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim().tvnsim_launch_clear();
    const Status st = call(es(), k ? *k : table(), c.dims);
    const std::vector<LoggedLaunch> log = read_launch_log();
    if (!c.refused.empty()) {
      EXPECT_FALSE(st.ok());
      if (!st.ok()) {
        EXPECT_EQ(st.error().kind(), Error::Kind::Cuda);
        EXPECT_EQ(st.error().message(), c.refused + kInvalidValue);
      }
    } else if (c.steps.empty()) {
      EXPECT_FALSE(st.ok());
      if (!st.ok()) {
        const Error& e = st.error();
        EXPECT_EQ(e.kind(), Error::Kind::NoBucket) << e.display();
        EXPECT_STREQ(e.op(), no_bucket_label);
        EXPECT_EQ(e.display(), std::string(no_bucket_label) +
                                   ": no deterministic bucket for shape M=" +
                                   std::to_string(c.dims.m) + " K=" + std::to_string(c.dims.k) +
                                   " N=" + std::to_string(c.dims.n) + " in this tier");
      }
    } else {
      EXPECT_TRUE(st.ok()) << text_of(st);
    }
    EXPECT_TRUE(same_launches(launches_of(c, c.steps.size()), log));
  }
}

void DispatchTest::expect_refusals(const std::vector<Case>& cases, const Call& call) {
  for (const Case& c : cases) {
    if (!c.refused.empty()) continue;
    for (size_t n = 1; n <= c.steps.size(); ++n) {
      SCOPED_TRACE(c.name + ", launch " + std::to_string(n) + " refused");
      sim().tvnsim_launch_clear();
      sim().tvnsim_clear_injections();
      sim().tvnsim_inject("cuLaunchKernel", static_cast<unsigned>(n), 1 /* INVALID_VALUE */);
      const Status st = call(es(), table(), c.dims);
      sim().tvnsim_clear_injections();
      EXPECT_FALSE(st.ok());
      if (!st.ok()) {
        EXPECT_EQ(st.error().kind(), Error::Kind::Cuda);
        EXPECT_EQ(st.error().message(), c.steps[n - 1].context + kInvalidValue);
      }
      EXPECT_TRUE(same_launches(launches_of(c, n - 1), read_launch_log()));
    }
  }
}

void DispatchTest::expect_no_host_allocation(const std::vector<Case>& cases, const Call& call) {
  cu::CudaApi fake = *es().api;
  fake.cuCtxGetCurrent = fake_get_current;
  fake.cuCtxSetCurrent = fake_set_current;
  fake.cuLaunchKernel = fake_launch;
  EngineStream fake_es = es();
  fake_es.api = &fake;
  for (const Case& c : cases) {
    if (c.steps.empty() || !c.refused.empty()) continue;
    SCOPED_TRACE(c.name);
    fake_launches = 0;
    uint64_t allocations = 0;
    bool ok = false;
    {
      HostAllocationScope scope;
      ok = call(fake_es, table(), c.dims).ok();
      allocations = scope.count();
    }
    EXPECT_TRUE(ok);
    EXPECT_EQ(allocations, 0u);
    EXPECT_EQ(fake_launches, c.steps.size());
  }
}

void DispatchTest::inject_alloc_failure(unsigned nth) {
  sim().tvnsim_inject(es().memory_pools ? "cuMemAllocAsync" : "cuMemAlloc_v2", nth,
                      2 /* CUDA_ERROR_OUT_OF_MEMORY */);
}

}  // namespace tesvan::test
