#include "device_buffer.h"

#include <cstddef>
#include <limits>
#include <utility>

namespace tesvan {
namespace {

constexpr cu::CUresult kInvalidValue = 1;  // CUDA_ERROR_INVALID_VALUE
constexpr cu::CUresult kOutOfMemory = 2;   // CUDA_ERROR_OUT_OF_MEMORY

}  // namespace

cu::CUresult DeviceBuffer::alloc_zeros(const EngineStream& es, uint64_t n, DeviceBuffer* out) {
  if (n == 0) return kInvalidValue;
  // 4·n must not wrap: a wrapped size would give a buffer far smaller than
  // the element count it claims.
  if (n > std::numeric_limits<size_t>::max() / sizeof(float)) return kOutOfMemory;
  const size_t bytes = static_cast<size_t>(n) * sizeof(float);
  const cu::CudaApi& api = *es.api;

  cu::CUresult r = cu::make_current(api, es.ctx);
  if (r != cu::CUDA_SUCCESS) return r;
  cu::CUdeviceptr address = 0;
  r = es.memory_pools ? api.cuMemAllocAsync(&address, bytes, es.stream)
                      : api.cuMemAlloc(&address, bytes);
  if (r != cu::CUDA_SUCCESS) return r;

  DeviceBuffer buffer;
  buffer.owner_ = es;
  buffer.owner_.plan = nullptr;  // a buffer outlives the dry run that made it
  buffer.address_ = address;
  buffer.elements_ = n;
  r = api.cuMemsetD8Async(address, 0, bytes, es.stream);
  if (r != cu::CUDA_SUCCESS) return r;  // `buffer` releases the allocation
  *out = std::move(buffer);
  return cu::CUDA_SUCCESS;
}

DeviceBuffer::DeviceBuffer(DeviceBuffer&& other) noexcept
    : owner_(std::move(other.owner_)),
      address_(std::exchange(other.address_, 0)),
      elements_(std::exchange(other.elements_, 0)) {}

DeviceBuffer& DeviceBuffer::operator=(DeviceBuffer&& other) noexcept {
  if (this != &other) {
    release();
    owner_ = std::move(other.owner_);
    address_ = std::exchange(other.address_, 0);
    elements_ = std::exchange(other.elements_, 0);
  }
  return *this;
}

DeviceBuffer::~DeviceBuffer() { release(); }

void DeviceBuffer::release() {
  if (address_ == 0) return;
  const cu::CudaApi& api = *owner_.api;
  // Failures here have no one to report to; the release is best effort.
  (void)cu::make_current(api, owner_.ctx);
  if (owner_.memory_pools) {
    (void)api.cuMemFreeAsync(address_, owner_.stream);
  } else {
    // Kernels queued on the stream may still use the memory.
    (void)api.cuStreamSynchronize(owner_.stream);
    (void)api.cuMemFree(address_);
  }
  address_ = 0;
  elements_ = 0;
  owner_ = EngineStream{};
}

}  // namespace tesvan
