// Kernel-test harness: runs the engine's kernels by name on the device the
// driver layer loads (the simulated device under CTest, a real GPU
// otherwise) and compares their output bit for bit.
//
//   class MyKernels : public tesvan::test::KernelTest {};   // sm_80 model
//   TEST_F(MyKernels, Something) {
//     DeviceArray a = upload(host_a), c = filled(n, NAN);
//     ASSERT_TRUE(run("tesvan_nn", {blocks}, {256}, 34816, {c, a, b, nullptr, 1.0f, ...}));
//     EXPECT_TRUE(bits_equal(expected, c.download_f32()));
//   }
//
// - One module per device model and process, built from tesvan::kernel_ptx
//   (the engine's NVRTC options; cached under TESVAN_KERNEL_CACHE).
// - Every DeviceArray carries guard bands filled with a sentinel before and
//   after its elements; run() checks the guards of every live array after
//   the kernel, so a write outside any buffer fails the test that made it.
// - run() raises the kernel's dynamic shared-memory limit when the launch
//   asks for more than the default 48 KiB, as the engine does.
// - run() waits for the kernel; a refused launch or a device fault fails with
//   the simulated device's fault report.  After a fault the simulated device
//   is reset and the harness rebuilt on next use, so one faulty kernel does
//   not fail every later test.
// - Tests needing another compute capability override model(); on the
//   simulated device it is set before the context is created.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "launch.h"

namespace tesvan::test {

// A simulated compute capability and the compilation target that matches it.
struct DeviceModel {
  int cc_major = 8;
  int cc_minor = 0;
  const char* target = "sm_80";
};
inline constexpr DeviceModel kSm80{8, 0, "sm_80"};
inline constexpr DeviceModel kSm90{9, 0, "sm_90"};

class DeviceArray;
class KernelHarness;

// A device address given directly (for example an offset into an array).
struct DevPtr {
  uint64_t address = 0;
};

// One kernel argument; converts implicitly from an array (its address),
// DevPtr, nullptr, int and float, so argument lists read like the kernel's
// parameter list.  A double does not convert: write 1.0f.
class Arg {
 public:
  Arg(const DeviceArray& a);  // NOLINT(google-explicit-constructor)
  Arg(DevPtr p) : value_(KernelArg::ptr(p.address)) {}  // NOLINT
  Arg(std::nullptr_t) : value_(KernelArg::ptr(0)) {}   // NOLINT
  Arg(int v) : value_(KernelArg::i32(v)) {}            // NOLINT
  Arg(float v) : value_(KernelArg::f32(v)) {}          // NOLINT
  Arg(double) = delete;
  KernelArg value() const { return value_; }

 private:
  KernelArg value_;
};

// Device memory of `count` elements of `elem_size` bytes between two guard
// bands.  Move-only; freed on destruction.
class DeviceArray {
 public:
  static constexpr size_t kGuardBytes = 16384;

  DeviceArray() = default;
  DeviceArray(DeviceArray&& other) noexcept;
  DeviceArray& operator=(DeviceArray&& other) noexcept;
  DeviceArray(const DeviceArray&) = delete;
  DeviceArray& operator=(const DeviceArray&) = delete;
  ~DeviceArray();

  uint64_t address() const { return base_ + kGuardBytes; }
  size_t count() const { return count_; }
  size_t elem_size() const { return elem_size_; }
  // Address of element i (i may equal count()).
  DevPtr at(size_t i) const { return DevPtr{address() + i * elem_size_}; }

  // The elements read back; a wrong element size or a failed copy fails
  // the test and gives an empty vector.
  std::vector<float> download_f32() const;
  std::vector<uint16_t> download_u16() const;

  // Success, or the first guard byte that changed (which side, offset, value).
  testing::AssertionResult guards_intact() const;

 private:
  friend class KernelHarness;
  void release();

  KernelHarness* owner_ = nullptr;
  uint64_t base_ = 0;  // start of the leading guard band
  size_t count_ = 0;
  size_t elem_size_ = 0;
  uint64_t generation_ = 0;  // device incarnation that allocated it
};

// The process-wide state for one device model: context, stream and module.
class KernelHarness {
 public:
  // The harness of a model, initialised on first use (and again after a
  // reset).  Failure: nullptr and a message; *unsupported is set when a real
  // device is below the model's compute capability.
  static KernelHarness* get(const DeviceModel& model, std::string* error,
                            bool* unsupported = nullptr);

  DeviceArray upload(const void* host, size_t count, size_t elem_size);
  DeviceArray filled_f32(size_t count, float value);

  testing::AssertionResult run(const char* kernel, Grid grid, Grid block, unsigned dynamic_shared,
                               std::initializer_list<Arg> args);

  const DeviceModel& model() const { return model_; }

 private:
  friend class DeviceArray;
  explicit KernelHarness(const DeviceModel& model) : model_(model) {}
  // Brings the device up and loads the module unless done in the current
  // device incarnation.  Failure: the message.
  std::string ready(bool* unsupported);
  std::string init();
  cu::CUfunction function(const char* name, std::string* error);
  testing::AssertionResult check_all_guards() const;
  void forget(const DeviceArray* a);

  DeviceModel model_;
  uint64_t generation_ = 0;  // device incarnation the state below belongs to
  EngineStream es_;
  std::shared_ptr<cu::CUmod_st> module_;
  std::vector<std::pair<std::string, cu::CUfunction>> functions_;
  std::vector<const DeviceArray*> live_;
};

// GoogleTest fixture: SetUp acquires the harness for model() (failing the
// test when the device or the module cannot be set up) and the helpers below
// forward to it.
class KernelTest : public ::testing::Test {
 protected:
  virtual DeviceModel model() const { return kSm80; }
  void SetUp() override;

  DeviceArray upload(const std::vector<float>& host) {
    return h_->upload(host.data(), host.size(), sizeof(float));
  }
  DeviceArray upload_u16(const std::vector<uint16_t>& host) {
    return h_->upload(host.data(), host.size(), sizeof(uint16_t));
  }
  // count f32 elements, each set to value (use NaN for outputs whose old
  // contents must not be read).
  DeviceArray filled(size_t count, float value) { return h_->filled_f32(count, value); }

  testing::AssertionResult run(const char* kernel, Grid grid, Grid block, unsigned dynamic_shared,
                               std::initializer_list<Arg> args) {
    return h_->run(kernel, grid, block, dynamic_shared, args);
  }

  KernelHarness* h_ = nullptr;
};

// Bit-for-bit equality of two f32 vectors of the same length.  On mismatch:
// the number of differing elements and the first one, by index (and row and
// column when cols > 0), with both values in hex and decimal.
testing::AssertionResult bits_equal(const std::vector<float>& expected,
                                    const std::vector<float>& actual, size_t cols = 0);
// The same for raw 16-bit element patterns (bf16, f16).
testing::AssertionResult bits_equal_u16(const std::vector<uint16_t>& expected,
                                        const std::vector<uint16_t>& actual, size_t cols = 0);

// Reproducible test data: values in [-2, 2) with a spread of exponents and
// full mantissas, so that any change of rounding order shows in the bits.
std::vector<float> random_floats(size_t count, uint32_t seed);

}  // namespace tesvan::test
