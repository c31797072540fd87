#include "support/tc_device.h"

#include <cstring>

#include "support/sim_control.h"

namespace tesvan::test {
namespace {

constexpr int kTcDynamicSharedLimit = 75776;

std::string failed(const char* step, cu::CUresult r) {
  return std::string(step) + ": " + cu::driver_error(r);
}

}  // namespace

GuardedBuffer::GuardedBuffer(const cu::CudaApi* api, cu::CUdeviceptr base, size_t payload,
                             size_t shift, unsigned char pattern)
    : api_(api), base_(base), payload_(payload), shift_(shift), pattern_(pattern) {}

GuardedBuffer::GuardedBuffer(GuardedBuffer&& o) noexcept
    : api_(o.api_), base_(o.base_), payload_(o.payload_), shift_(o.shift_), pattern_(o.pattern_) {
  o.base_ = 0;
}

GuardedBuffer::~GuardedBuffer() {
  if (base_ != 0) api_->cuMemFree(base_);
}

bool GuardedBuffer::upload(const void* data, size_t bytes) const {
  return bytes == 0 || api_->cuMemcpyHtoD(address(), data, bytes) == cu::CUDA_SUCCESS;
}

bool GuardedBuffer::download(void* data, size_t bytes) const {
  return bytes == 0 || api_->cuMemcpyDtoH(data, address(), bytes) == cu::CUDA_SUCCESS;
}

std::string GuardedBuffer::check_guards() const {
  const size_t total = 2 * kGuard + payload_ + shift_;
  std::vector<unsigned char> all(total);
  if (api_->cuMemcpyDtoH(all.data(), base_, total) != cu::CUDA_SUCCESS) return "guard read failed";
  const size_t end = kGuard + shift_ + payload_;
  for (size_t i = 0; i < total; ++i) {
    const bool in_payload = i >= kGuard + shift_ && i < end;
    if (!in_payload && all[i] != pattern_) {
      return "guard byte " + std::to_string(i) + " (payload is [" + std::to_string(kGuard + shift_) +
             ", " + std::to_string(end) + ")) was overwritten";
    }
  }
  return {};
}

TcDevice* TcDevice::get(int cc, std::string* why) {
  static std::unique_ptr<TcDevice> current;
  static int current_cc = 0;
  if (current && current_cc == cc && !current->broken_) return current.get();
  current.reset();
  auto fresh = std::unique_ptr<TcDevice>(new TcDevice());
  *why = fresh->open(cc);
  if (!why->empty()) return nullptr;
  current = std::move(fresh);
  current_cc = cc;
  return current.get();
}

std::string TcDevice::open(int cc) {
  auto api = cu::cuda();
  if (!api.ok()) return std::string(api.error().display());
  api_ = api.value();
  const SimControl& s = sim();
  if (s.available()) {
    // A clean device with the requested capability; this also clears any
    // sticky error a faulting kernel left behind.
    s.tvnsim_reset();
    TvnSimConfig cfg;
    s.tvnsim_get_config(&cfg);
    cfg.cc_major = cc / 10;
    cfg.cc_minor = cc % 10;
    s.tvnsim_set_config(&cfg);
  }
  cu::CUresult r = api_->cuInit(0);
  if (r != cu::CUDA_SUCCESS) return failed("cuInit", r);
  if ((r = api_->cuDeviceGet(&device_, 0)) != cu::CUDA_SUCCESS) return failed("cuDeviceGet", r);
  int major = 0, minor = 0;
  api_->cuDeviceGetAttribute(&major, cu::CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MAJOR, device_);
  api_->cuDeviceGetAttribute(&minor, cu::CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MINOR, device_);
  if (major * 10 + minor != cc) {
    return "the device has compute capability " + std::to_string(major) + "." +
           std::to_string(minor) + ", this model needs " + std::to_string(cc / 10) + "." +
           std::to_string(cc % 10);
  }
  if ((r = api_->cuDevicePrimaryCtxRetain(&es_.ctx, device_)) != cu::CUDA_SUCCESS) {
    return failed("cuDevicePrimaryCtxRetain", r);
  }
  retained_ = true;
  es_.api = api_;
  if ((r = api_->cuCtxSetCurrent(es_.ctx)) != cu::CUDA_SUCCESS) return failed("cuCtxSetCurrent", r);
  if ((r = api_->cuStreamCreate(&es_.stream, cu::CU_STREAM_NON_BLOCKING)) != cu::CUDA_SUCCESS) {
    return failed("cuStreamCreate", r);
  }
  target_ = "sm_" + std::to_string(cc);
  Result<std::string> ptx = kernel_ptx(target_);
  if (!ptx.ok()) return std::string(ptx.error().display());
  if ((r = load_module(*api_, ptx.value(), &module_)) != cu::CUDA_SUCCESS) {
    std::string msg = failed("cuModuleLoadData", r);
    if (s.available()) msg += std::string(" ") + s.tvnsim_last_error_message();
    return msg;
  }
  return {};
}

TcDevice::~TcDevice() {
  module_.reset();
  if (es_.stream != nullptr) api_->cuStreamDestroy(es_.stream);
  if (retained_) api_->cuDevicePrimaryCtxRelease(device_);
}

cu::CUfunction TcDevice::function(const std::string& name) {
  cu::CUfunction f = nullptr;
  if (api_->cuModuleGetFunction(&f, module_.get(), name.c_str()) != cu::CUDA_SUCCESS) {
    return nullptr;
  }
  if (name.find("_tc_") != std::string::npos &&
      api_->cuFuncSetAttribute(f, cu::CU_FUNC_ATTRIBUTE_MAX_DYNAMIC_SHARED_SIZE_BYTES,
                               kTcDynamicSharedLimit) != cu::CUDA_SUCCESS) {
    return nullptr;
  }
  return f;
}

GuardedBuffer TcDevice::alloc(size_t bytes, unsigned char pattern, size_t shift) {
  bytes = bytes == 0 ? 1 : bytes;
  const size_t total = 2 * GuardedBuffer::kGuard + bytes + shift;
  cu::CUdeviceptr base = 0;
  api_->cuCtxSetCurrent(es_.ctx);
  if (api_->cuMemAlloc(&base, total) != cu::CUDA_SUCCESS) base = 0;
  if (base != 0 && api_->cuMemsetD8(base, pattern, total) != cu::CUDA_SUCCESS) {
    api_->cuMemFree(base);
    base = 0;
  }
  return GuardedBuffer(api_, base, bytes, shift, pattern);
}

std::string TcDevice::run(cu::CUfunction f, unsigned grid, unsigned block, unsigned dynamic_shared,
                          std::initializer_list<KernelArg> args) {
  cu::CUresult r = launch_raw(es_, f, Grid{grid, 1, 1}, Grid{block, 1, 1}, dynamic_shared, args);
  if (r == cu::CUDA_SUCCESS) r = api_->cuStreamSynchronize(es_.stream);
  if (r == cu::CUDA_SUCCESS) return {};
  broken_ = true;
  std::string msg = failed("launch", r);
  const SimControl& s = sim();
  TvnSimFault fault;
  if (s.available() && s.tvnsim_last_fault(&fault) == 0) msg += std::string("\n") + fault.message;
  return msg;
}

int TcDevice::attribute(cu::CUfunction f, int attribute) {
  int v = -1;
  return api_->cuFuncGetAttribute(&v, attribute, f) == cu::CUDA_SUCCESS ? v : -1;
}

}  // namespace tesvan::test
