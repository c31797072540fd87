// Shared set-up of the dispatch tests: an engine stream and a kernel table
// built from the stub module (every kernel an empty body with its real
// parameter list), with execution switched off so that the simulated device
// only validates and logs launches.  Expected launches are written per test
// from the dispatch tables; the helpers here run a case and compare.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "error.h"
#include "kernels.h"
#include "launch.h"
#include "support/launch_log.h"
#include "types.h"

namespace tesvan::test {

// Operand addresses handed to the dispatch; nothing runs, so they only need
// to be recognisable in the log.
inline constexpr uint64_t kOut = 0x10000000, kA = 0x20000000, kB = 0x30000000,
                          kBias = 0x40000000;
inline constexpr uint64_t kDw = 0x50000000, kDx = 0x60000000, kDy = 0x70000000,
                          kX = 0x80000000, kW = 0x90000000;

// The text a refused launch appends to its context string.
inline constexpr const char* kInvalidValue =
    "DriverError(CUDA_ERROR_INVALID_VALUE, \"invalid argument\")";

inline LoggedArg P(uint64_t address) { return LoggedArg::ptr(address); }
inline LoggedArg I(int64_t v) { return LoggedArg::i32(static_cast<int32_t>(v)); }
inline LoggedArg F(float v) { return LoggedArg::f32(v); }

// A grid or block as a test writes it; a dimension not given is 1.  Kept
// apart from the engine's own launch type, whose defaults it checks.
struct Dim3 {
  unsigned x = 1, y = 1, z = 1;
};

// One expected launch and the context string of its launch site.
struct Step {
  LoggedLaunch launch;
  std::string context;
};

// A shape and what the dispatch must do with it: the launches in order; or
// none, for the no-bucket error; or, with `refused` set, the launches before
// a launch the driver itself refuses (an empty grid), whose context is
// `refused`.
struct Case {
  std::string name;
  Dims dims;
  std::vector<Step> steps;
  std::string refused = {};
};

// The two 16-bit element types of the typed and tensor-core tiers, with
// the suffix of their kernel names.
struct HalfType {
  DType type;
  const char* suffix;
};
inline auto half_types() {
  return testing::Values(HalfType{DType::BF16, "_bf16"}, HalfType{DType::F16, "_f16"});
}
inline std::string half_type_name(const testing::TestParamInfo<HalfType>& info) {
  return info.param.suffix + 1;
}

// A dispatch call bound to its operands.
using Call = std::function<Status(const EngineStream&, Kernels&, Dims)>;

class DispatchTest : public testing::Test {
 protected:
  static void SetUpTestSuite();
  static void TearDownTestSuite();
  void SetUp() override;
  void TearDown() override;

  static const EngineStream& es() { return *es_; }
  // The table shared by the suite; its scratch slots fill on first use.
  static Kernels& table() { return *table_; }
  // A new table over the same module, with empty scratch slots.
  static Kernels fresh_table();
  static uint64_t splitk_scratch();
  static uint64_t transpose_scratch();

  // An expected launch on the engine stream.
  static Step step(const char* kernel, Dim3 grid, Dim3 block, unsigned shared,
                   std::vector<LoggedArg> args, std::string context);

  // Runs every case on `k` and compares the log (launches, or the
  // no-bucket error with `no_bucket_label`, or the refused launch).
  void expect_cases(const std::vector<Case>& cases, const Call& call, const char* no_bucket_label,
                    Kernels* k = nullptr);
  // For every launch position of every case, a refused launch at that
  // position gives its context string and nothing after it is launched.
  void expect_refusals(const std::vector<Case>& cases, const Call& call);
  // A successful dispatch performs no host allocation (the scratch slots of
  // table() must be filled already).
  void expect_no_host_allocation(const std::vector<Case>& cases, const Call& call);

  // Injects `result` into the nth scratch allocation from now, whichever
  // allocation function the device buffers use.
  static void inject_alloc_failure(unsigned nth);

 private:
  static std::optional<EngineStream> es_;
  static std::optional<Kernels> table_;
  static ModuleRef module_;
  static int device_;
};

}  // namespace tesvan::test
