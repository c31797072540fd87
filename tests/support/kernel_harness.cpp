#include "support/kernel_harness.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>

#include "driver.h"
#include "kernel_build.h"
#include "support/sim_control.h"

namespace tesvan::test {
namespace {

constexpr unsigned char kSentinel = 0xA5;

// Driver state shared by every model: one context and one stream.  A reset
// of the simulated device (after a fault) invalidates it and everything made
// in it; `generation` tells which incarnation an object belongs to.
struct Device {
  const cu::CudaApi* api = nullptr;
  cu::CUdevice dev = 0;
  cu::CUcontext ctx = nullptr;
  cu::CUstream stream = nullptr;
  int cc_major = 0, cc_minor = 0;  // of a real device
  uint64_t generation = 1;
  bool up = false;
};

Device& device() {
  static Device d;
  return d;
}

std::string driver_failure(const char* what, cu::CUresult r) {
  std::string msg = std::string(what) + ": " + cu::driver_error(r);
  if (sim().available()) {
    const char* detail = sim().tvnsim_last_error_message();
    if (detail != nullptr && *detail != '\0') msg += std::string(" [") + detail + "]";
  }
  return msg;
}

// Selects the simulated compute capability; later launches run under it.
void select_model(const DeviceModel& model) {
  if (!sim().available()) return;
  TvnSimConfig cfg;
  sim().tvnsim_get_config(&cfg);
  if (cfg.cc_major == model.cc_major && cfg.cc_minor == model.cc_minor) return;
  cfg.cc_major = model.cc_major;
  cfg.cc_minor = model.cc_minor;
  sim().tvnsim_set_config(&cfg);
}

std::string bring_up(const DeviceModel& model) {
  Device& d = device();
  if (d.up) return "";
  auto api = cu::cuda();
  if (!api.ok()) return api.error().display();
  d.api = api.value();
  cu::CUresult r = d.api->cuInit(0);
  if (r != cu::CUDA_SUCCESS) return driver_failure("cuInit", r);
  // The simulated capability must be chosen before the context exists.
  select_model(model);
  if ((r = d.api->cuDeviceGet(&d.dev, 0)) != cu::CUDA_SUCCESS) return driver_failure("cuDeviceGet", r);
  d.api->cuDeviceGetAttribute(&d.cc_major, cu::CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MAJOR, d.dev);
  d.api->cuDeviceGetAttribute(&d.cc_minor, cu::CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MINOR, d.dev);
  if ((r = d.api->cuDevicePrimaryCtxRetain(&d.ctx, d.dev)) != cu::CUDA_SUCCESS)
    return driver_failure("cuDevicePrimaryCtxRetain", r);
  if ((r = d.api->cuCtxSetCurrent(d.ctx)) != cu::CUDA_SUCCESS) return driver_failure("cuCtxSetCurrent", r);
  if ((r = d.api->cuStreamCreate(&d.stream, 0)) != cu::CUDA_SUCCESS) return driver_failure("cuStreamCreate", r);
  d.up = true;
  return "";
}

// After a device fault the simulated device is reset and every harness is
// rebuilt on next use; a real device stays faulted.
void reset_device() {
  if (!sim().available()) return;
  sim().tvnsim_reset();
  Device& d = device();
  d.up = false;
  d.ctx = nullptr;
  d.stream = nullptr;
  ++d.generation;
}

std::string hex_bits(uint32_t bits, int digits) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%0*" PRIX32, digits, bits);
  return buf;
}

}  // namespace

// --- Arg, DeviceArray -------------------------------------------------------

Arg::Arg(const DeviceArray& a) : value_(KernelArg::ptr(a.address())) {}

DeviceArray::DeviceArray(DeviceArray&& other) noexcept { *this = std::move(other); }

DeviceArray& DeviceArray::operator=(DeviceArray&& other) noexcept {
  if (this == &other) return *this;
  release();
  owner_ = other.owner_;
  base_ = other.base_;
  count_ = other.count_;
  elem_size_ = other.elem_size_;
  generation_ = other.generation_;
  if (owner_ != nullptr) {
    for (const DeviceArray*& p : owner_->live_)
      if (p == &other) p = this;
  }
  other.owner_ = nullptr;
  other.base_ = 0;
  return *this;
}

DeviceArray::~DeviceArray() { release(); }

void DeviceArray::release() {
  if (owner_ == nullptr) return;
  owner_->forget(this);
  if (generation_ == device().generation) device().api->cuMemFree(base_);
  owner_ = nullptr;
  base_ = 0;
}

namespace {

// The elements of an array as T; empty (and a test failure) when the element
// size does not match or the copy fails.
template <class T>
std::vector<T> download(const DeviceArray& a, uint64_t generation) {
  if (a.elem_size() != sizeof(T) || generation != device().generation) {
    ADD_FAILURE() << "download of an array of " << a.elem_size() << "-byte elements as "
                  << sizeof(T) << "-byte elements, or after a device reset";
    return {};
  }
  std::vector<T> out(a.count());
  if (out.empty()) return out;
  const cu::CUresult r = device().api->cuMemcpyDtoH(out.data(), a.address(), out.size() * sizeof(T));
  if (r != cu::CUDA_SUCCESS) {
    ADD_FAILURE() << driver_failure("downloading an array", r);
    return {};
  }
  return out;
}

}  // namespace

std::vector<float> DeviceArray::download_f32() const { return download<float>(*this, generation_); }

std::vector<uint16_t> DeviceArray::download_u16() const {
  return download<uint16_t>(*this, generation_);
}

testing::AssertionResult DeviceArray::guards_intact() const {
  if (owner_ == nullptr || generation_ != device().generation) return testing::AssertionSuccess();
  std::vector<unsigned char> band(kGuardBytes);
  const struct {
    const char* side;
    uint64_t at;
  } sides[] = {{"before", base_}, {"after", address() + count_ * elem_size_}};
  for (const auto& s : sides) {
    cu::CUresult r = device().api->cuMemcpyDtoH(band.data(), s.at, band.size());
    if (r != cu::CUDA_SUCCESS)
      return testing::AssertionFailure() << driver_failure("reading a guard band", r);
    for (size_t i = 0; i < band.size(); ++i) {
      if (band[i] != kSentinel) {
        const size_t distance = s.side[0] == 'b' ? band.size() - i : i + 1;
        return testing::AssertionFailure()
               << "write outside an array of " << count_ << " elements: guard byte " << distance
               << " " << s.side << " it changed to " << hex_bits(band[i], 2);
      }
    }
  }
  return testing::AssertionSuccess();
}

// --- KernelHarness ------------------------------------------------------------

KernelHarness* KernelHarness::get(const DeviceModel& model, std::string* error,
                                  bool* unsupported) {
  static std::vector<std::unique_ptr<KernelHarness>> harnesses;
  KernelHarness* h = nullptr;
  for (auto& p : harnesses)
    if (std::strcmp(p->model_.target, model.target) == 0) h = p.get();
  if (h == nullptr) {
    harnesses.push_back(std::unique_ptr<KernelHarness>(new KernelHarness(model)));
    h = harnesses.back().get();
  }
  bool below = false;
  *error = h->ready(&below);
  if (unsupported != nullptr) *unsupported = below;
  return error->empty() ? h : nullptr;
}

std::string KernelHarness::ready(bool* unsupported) {
  *unsupported = false;
  if (generation_ == device().generation && device().up) return "";
  std::string err = bring_up(model_);
  if (!err.empty()) return err;
  if (!sim().available() &&
      device().cc_major * 10 + device().cc_minor < model_.cc_major * 10 + model_.cc_minor) {
    *unsupported = true;
    return "the device is below compute capability " + std::to_string(model_.cc_major) + "." +
           std::to_string(model_.cc_minor);
  }
  return init();
}

std::string KernelHarness::init() {
  Device& d = device();
  functions_.clear();
  live_.clear();
  module_.reset();
  es_ = EngineStream{d.api, d.ctx, d.stream, false};
  Result<std::string> ptx = kernel_ptx(model_.target);
  if (!ptx.ok()) return ptx.error().display();
  select_model(model_);
  cu::CUresult r = cu::make_current(*d.api, d.ctx);
  if (r == cu::CUDA_SUCCESS) r = load_module(*d.api, ptx.value(), &module_);
  if (r != cu::CUDA_SUCCESS) return driver_failure("loading the kernel module", r);
  generation_ = d.generation;
  return "";
}

cu::CUfunction KernelHarness::function(const char* name, std::string* error) {
  for (const auto& [n, f] : functions_)
    if (n == name) return f;
  cu::CUfunction f = nullptr;
  cu::CUresult r = es_.api->cuModuleGetFunction(&f, module_.get(), name);
  if (r != cu::CUDA_SUCCESS) {
    *error = driver_failure((std::string("cuModuleGetFunction(") + name + ")").c_str(), r);
    return nullptr;
  }
  functions_.emplace_back(name, f);
  return f;
}

DeviceArray KernelHarness::upload(const void* host, size_t count, size_t elem_size) {
  DeviceArray a;
  bool unsupported = false;
  const std::string err = ready(&unsupported);  // rebuilt after a fault in this test
  if (!err.empty()) {
    ADD_FAILURE() << err;
    return a;
  }
  const size_t bytes = count * elem_size;
  const size_t total = bytes + 2 * DeviceArray::kGuardBytes;
  std::vector<unsigned char> image(total, kSentinel);
  if (bytes != 0) std::memcpy(image.data() + DeviceArray::kGuardBytes, host, bytes);
  cu::CUdeviceptr base = 0;
  cu::CUresult r = cu::make_current(*es_.api, es_.ctx);
  if (r == cu::CUDA_SUCCESS) r = es_.api->cuMemAlloc(&base, total);
  if (r == cu::CUDA_SUCCESS) r = es_.api->cuMemcpyHtoD(base, image.data(), total);
  if (r != cu::CUDA_SUCCESS) {
    ADD_FAILURE() << driver_failure("allocating a test array", r);
    if (base != 0) es_.api->cuMemFree(base);
    return a;
  }
  a.owner_ = this;
  a.base_ = base;
  a.count_ = count;
  a.elem_size_ = elem_size;
  a.generation_ = generation_;
  live_.push_back(&a);
  return a;  // the move constructor re-registers the returned object
}

DeviceArray KernelHarness::filled_f32(size_t count, float value) {
  const std::vector<float> host(count, value);
  return upload(host.data(), count, sizeof(float));
}

void KernelHarness::forget(const DeviceArray* a) {
  for (size_t i = 0; i < live_.size(); ++i) {
    if (live_[i] == a) {
      live_.erase(live_.begin() + static_cast<std::ptrdiff_t>(i));
      return;
    }
  }
}

testing::AssertionResult KernelHarness::check_all_guards() const {
  for (const DeviceArray* a : live_) {
    testing::AssertionResult ok = a->guards_intact();
    if (!ok) return ok;
  }
  return testing::AssertionSuccess();
}

testing::AssertionResult KernelHarness::run(const char* kernel, Grid grid, Grid block,
                                            unsigned dynamic_shared,
                                            std::initializer_list<Arg> args) {
  bool unsupported = false;
  std::string error = ready(&unsupported);
  if (!error.empty()) return testing::AssertionFailure() << error;
  cu::CUfunction f = function(kernel, &error);
  if (f == nullptr) return testing::AssertionFailure() << error;
  if (args.size() > static_cast<size_t>(kMaxKernelArgs))
    return testing::AssertionFailure() << "too many arguments for " << kernel;
  uint64_t bits[kMaxKernelArgs];
  void* params[kMaxKernelArgs];
  size_t n = 0;
  for (const Arg& a : args) {
    bits[n] = a.value().bits();
    params[n] = &bits[n];
    ++n;
  }
  select_model(model_);
  cu::CUresult r = cu::make_current(*es_.api, es_.ctx);
  // Above the default 48 KiB a kernel needs a raised limit, as the engine
  // sets for its large-tile kernels.
  if (r == cu::CUDA_SUCCESS && dynamic_shared > 49152)
    r = es_.api->cuFuncSetAttribute(f, cu::CU_FUNC_ATTRIBUTE_MAX_DYNAMIC_SHARED_SIZE_BYTES,
                                    static_cast<int>(dynamic_shared));
  if (r == cu::CUDA_SUCCESS)
    r = es_.api->cuLaunchKernel(f, grid.x, grid.y, grid.z, block.x, block.y, block.z,
                                dynamic_shared, es_.stream, params, nullptr);
  if (r != cu::CUDA_SUCCESS)
    return testing::AssertionFailure()
           << driver_failure((std::string("launching ") + kernel).c_str(), r);

  r = es_.api->cuStreamSynchronize(es_.stream);
  if (r != cu::CUDA_SUCCESS) {
    testing::AssertionResult failure = testing::AssertionFailure();
    failure << kernel << " faulted: " << cu::driver_error(r);
    TvnSimFault fault;
    if (sim().available() && sim().tvnsim_last_fault(&fault) == 0) failure << "\n" << fault.message;
    reset_device();
    return failure;
  }
  return check_all_guards();
}

// --- fixture ------------------------------------------------------------------

void KernelTest::SetUp() {
  std::string error;
  bool unsupported = false;
  h_ = KernelHarness::get(model(), &error, &unsupported);
  if (h_ == nullptr && unsupported) GTEST_SKIP() << error;
  ASSERT_NE(h_, nullptr) << error;
}

// --- comparisons and data -------------------------------------------------------

namespace {

// value: how to show an element in decimal, or nullptr for raw patterns.
template <class T>
testing::AssertionResult compare_bits(const std::vector<T>& expected, const std::vector<T>& actual,
                                      size_t cols, int digits, double (*value)(T)) {
  if (expected.size() != actual.size())
    return testing::AssertionFailure() << "sizes differ: expected " << expected.size()
                                       << " elements, got " << actual.size();
  size_t first = expected.size(), count = 0;
  for (size_t i = 0; i < expected.size(); ++i) {
    if (std::memcmp(&expected[i], &actual[i], sizeof(T)) != 0 && count++ == 0) first = i;
  }
  if (count == 0) return testing::AssertionSuccess();
  uint32_t e = 0, a = 0;
  std::memcpy(&e, &expected[first], sizeof(T));
  std::memcpy(&a, &actual[first], sizeof(T));
  testing::AssertionResult r = testing::AssertionFailure();
  r << count << " of " << expected.size() << " elements differ; first at index " << first;
  if (cols > 0) r << " (row " << first / cols << ", column " << first % cols << ")";
  auto show = [&](uint32_t bits, T v) {
    std::string s = hex_bits(bits, digits);
    if (value != nullptr) {
      char buf[32];
      std::snprintf(buf, sizeof buf, " (%.9g)", value(v));
      s += buf;
    }
    return s;
  };
  r << ": expected " << show(e, expected[first]) << ", got " << show(a, actual[first]);
  return r;
}

}  // namespace

testing::AssertionResult bits_equal(const std::vector<float>& expected,
                                    const std::vector<float>& actual, size_t cols) {
  return compare_bits<float>(expected, actual, cols, 8, [](float v) { return double(v); });
}

testing::AssertionResult bits_equal_u16(const std::vector<uint16_t>& expected,
                                        const std::vector<uint16_t>& actual, size_t cols) {
  return compare_bits<uint16_t>(expected, actual, cols, 4, nullptr);
}

std::vector<float> random_floats(size_t count, uint32_t seed) {
  std::mt19937 gen(seed);
  std::vector<float> out(count);
  for (float& v : out) {
    const uint32_t r = gen();
    const uint32_t sign = r & 0x80000000u;
    const uint32_t exponent = 127 - (r >> 24) % 9;  // 2^-8 .. 2^0
    const uint32_t bits = sign | (exponent << 23) | (gen() & 0x7FFFFFu);
    std::memcpy(&v, &bits, sizeof v);
  }
  return out;
}

}  // namespace tesvan::test
