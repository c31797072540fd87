// The kernel table: lookup order, raised shared-memory limits, the failure
// messages of each step, and the two once-only scratch slots.
#include "engine_fixture.h"
#include "kernel_build.h"

namespace tesvan::test {
namespace {

constexpr int kNotFound = 500;      // CUDA_ERROR_NOT_FOUND
constexpr int kOutOfMemory = 2;     // CUDA_ERROR_OUT_OF_MEMORY
constexpr int kInvalidValue = 1;    // CUDA_ERROR_INVALID_VALUE

class KernelTable : public SimTest {
 protected:
  // Lookup failures must reach a fresh compile: a warm cache would retry.
  ScopedEnv no_cache_{"TESVAN_KERNEL_CACHE", "off"};
};

// The table built from a separately loaded stub module, bypassing compile
// and cache so that each injected failure is seen exactly once.
std::string table_error(const EngineStream& es) {
  static const std::string ptx = compile_ptx(stub_kernel_source(), "sm_80").value();
  ModuleRef module;
  EXPECT_EQ(load_module(*es.api, ptx, &module), 0);
  auto r = Kernels::from_module(es, module);
  return r.ok() ? "built" : r.error().display();
}

int max_dynamic_shared(cu::CUfunction f) {
  int v = -1;
  EXPECT_EQ(cu::cuda().value()->cuFuncGetAttribute(
                &v, cu::CU_FUNC_ATTRIBUTE_MAX_DYNAMIC_SHARED_SIZE_BYTES, f),
            0);
  return v;
}

TEST_F(KernelTable, LooksUpEveryFunctionInOrder) {
  const std::vector<std::string>& names = engine_kernel_names();
  ASSERT_EQ(names.size(), 42u + 17u);
  auto inner = stub_engine();
  ASSERT_NE(inner, nullptr);
  const EngineStream& es = inner->engine().stream();
  // The nth lookup refused names the nth function of the load order.
  for (unsigned i = 0; i < names.size(); ++i) {
    sim().tvnsim_inject("cuModuleGetFunction", i + 1, kNotFound);
    EXPECT_EQ(table_error(es), "CUDA error: load_function(" + names[i] + "): " + rendered(kNotFound));
    sim().tvnsim_clear_injections();
  }
  EXPECT_EQ(table_error(es), "built");
  // A failed table releases its module.
  EXPECT_EQ(resources().modules, 1u);
}

TEST_F(KernelTable, MissingFunctionIsNamedWithItsSuffix) {
  for (const char* name : {"tesvan_nt_tc64_f16", "tesvan_nn_big_bf16", "tesvan_dx_col_gemv"}) {
    EXPECT_EQ(construction_error({name}),
              "CUDA error: load_function(" + std::string(name) + "): " + rendered(kNotFound));
  }
  expect_nothing_left();
}

TEST_F(KernelTable, RaisesSharedLimitsOfTheLargeTileKernels) {
  auto inner = stub_engine();
  ASSERT_NE(inner, nullptr);
  Kernels& k = inner->engine().kernels();
  for (cu::CUfunction f : {k.nn.fn, k.tn.fn, k.nt.fn, k.tn_splitm_partial.fn, k.nn_big.bf16,
                           k.nn_big.f16, k.tn_big.bf16, k.tn_big.f16, k.nt_big.bf16, k.nt_big.f16}) {
    EXPECT_EQ(max_dynamic_shared(f), 34816);
  }
  for (const HalfKernel* h : {&k.nn_tc, &k.tn_tc, &k.nt_tc}) {
    EXPECT_EQ(max_dynamic_shared(h->bf16), 75776);
    EXPECT_EQ(max_dynamic_shared(h->f16), 75776);
  }
  // Pairs hold distinct functions, bf16 first.
  EXPECT_NE(k.nn_gemv.fn, k.nn_gemv_t.bf16);
  EXPECT_NE(k.nn_gemv_t.bf16, k.nn_gemv_t.f16);
  EXPECT_EQ(k.nn_gemv_t.pick(DType::F16).fn, k.nn_gemv_t.f16);
  EXPECT_EQ(k.nn_gemv_t.pick(DType::BF16).fn, k.nn_gemv_t.bf16);
}

TEST_F(KernelTable, RefusedLimitNamesTheKernelOrItsBaseName) {
  // The 16 attribute settings in load order; pairs are named without suffix.
  const std::vector<std::string> order = {
      "tesvan_nn",    "tesvan_tn",    "tesvan_nt",    "tesvan_tn_splitm_partial",
      "tesvan_nn_big", "tesvan_nn_big", "tesvan_tn_big", "tesvan_tn_big",
      "tesvan_nt_big", "tesvan_nt_big", "tesvan_nn_tc",  "tesvan_nn_tc",
      "tesvan_tn_tc",  "tesvan_tn_tc",  "tesvan_nt_tc",  "tesvan_nt_tc"};
  auto inner = stub_engine();
  ASSERT_NE(inner, nullptr);
  const EngineStream& es = inner->engine().stream();
  for (unsigned i = 0; i < order.size(); ++i) {
    sim().tvnsim_inject("cuFuncSetAttribute", i + 1, kInvalidValue);
    EXPECT_EQ(table_error(es),
              "CUDA error: set MAX_DYNAMIC_SHARED for " + order[i] + ": " + rendered(kInvalidValue));
    sim().tvnsim_clear_injections();
  }
  sim().tvnsim_inject("cuFuncSetAttribute", 17, kInvalidValue);  // there is no 17th
  EXPECT_EQ(table_error(es), "built");
}

TEST_F(KernelTable, FailedConstructionLeavesNothingBehind) {
  sim().tvnsim_inject("cuModuleGetFunction", 30, kNotFound);
  EXPECT_NE(construction_error(), "constructed");
  sim().tvnsim_inject("cuFuncSetAttribute", 5, kInvalidValue);
  EXPECT_NE(construction_error(), "constructed");
  expect_nothing_left();
}

struct SlotCase {
  const char* name;
  Result<uint64_t> (Kernels::*get)(const EngineStream&);
  uint64_t bytes;
  const char* alloc_context;
};

class ScratchSlot : public SimTest, public ::testing::WithParamInterface<std::tuple<SlotCase, int>> {};

TEST_P(ScratchSlot, CreatedZeroedOnceAndRetriedAfterAFailure) {
  const auto& [slot, pools] = GetParam();
  set_config([pools = pools](TvnSimConfig& c) { c.memory_pools = pools; });
  auto inner = stub_engine();
  ASSERT_NE(inner, nullptr);
  Tesvan& e = inner->engine();
  EXPECT_EQ(resources().allocations, 0u);  // nothing before first use

  const char* alloc = pools ? "cuMemAllocAsync" : "cuMemAlloc_v2";
  sim().tvnsim_inject(alloc, 1, kOutOfMemory);
  auto failed = (e.kernels().*slot.get)(e.stream());
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().display(),
            std::string("CUDA error: ") + slot.alloc_context + rendered(kOutOfMemory));
  EXPECT_EQ(resources().allocations, 0u);

  auto first = (e.kernels().*slot.get)(e.stream());
  ASSERT_TRUE(first.ok());
  EXPECT_EQ(resources().allocated_bytes, slot.bytes);
  auto second = (e.kernels().*slot.get)(e.stream());
  ASSERT_TRUE(second.ok());
  EXPECT_EQ(second.value(), first.value());
  EXPECT_EQ(resources().allocations, 1u);

  // Zero-filled (the device fills fresh memory with a non-zero pattern).
  std::vector<float> tail(1024, 1.0f);
  ASSERT_EQ(cu::cuda().value()->cuStreamSynchronize(e.stream().stream), 0);
  ASSERT_EQ(cu::cuda().value()->cuMemcpyDtoH(tail.data(), first.value() + slot.bytes - 4096, 4096), 0);
  for (float v : tail) ASSERT_EQ(v, 0.0f);

  inner.reset();
  expect_nothing_left();
}

INSTANTIATE_TEST_SUITE_P(
    Slots, ScratchSlot,
    ::testing::Combine(::testing::Values(SlotCase{"splitk", &Kernels::splitk_ptr, 33554432,
                                                  "splitk_scratch alloc: "},
                                         SlotCase{"transpose", &Kernels::transpose_ptr, 16777216,
                                                  "transpose_scratch alloc: "}),
                       ::testing::Values(0, 1)),
    [](const auto& info) {
      return std::string(std::get<0>(info.param).name) +
             (std::get<1>(info.param) ? "_pools" : "_no_pools");
    });

}  // namespace
}  // namespace tesvan::test
