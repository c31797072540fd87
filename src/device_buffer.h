// Zero-filled f32 device memory, created and released in order on the
// engine stream.
#pragma once

#include <cstdint>

#include "error.h"
#include "launch.h"

namespace tesvan {

class DeviceBuffer {
 public:
  // n >= 1 elements, zero-filled on the engine stream (stream-ordered
  // allocation where memory pools exist).  Failure: the failing driver
  // call's result.
  static cu::CUresult alloc_zeros(const EngineStream& es, uint64_t n, DeviceBuffer* out);

  DeviceBuffer() = default;
  DeviceBuffer(DeviceBuffer&& other) noexcept;
  DeviceBuffer& operator=(DeviceBuffer&& other) noexcept;
  DeviceBuffer(const DeviceBuffer&) = delete;
  DeviceBuffer& operator=(const DeviceBuffer&) = delete;
  ~DeviceBuffer();  // releases; a failure to release is not reported

  uint64_t address() const { return address_; }
  uint64_t elements() const { return elements_; }
  bool empty() const { return address_ == 0; }

 private:
  void release();

  EngineStream owner_;
  uint64_t address_ = 0;
  uint64_t elements_ = 0;
};

}  // namespace tesvan
