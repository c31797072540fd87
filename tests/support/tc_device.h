// A device session for the tensor-core kernel tests: the driver, a context,
// a stream and the engine's kernel module compiled for one target, plus
// guarded device buffers.
//
// On the simulated device the session selects the compute capability, and
// with it the tensor-core arithmetic model (8.0: Ampere, 9.0: Hopper); on a
// real driver only the device's own capability can be tested.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "driver.h"
#include "kernel_build.h"
#include "launch.h"

namespace tesvan::test {

// Device memory holding `payload` bytes between two guard bands of kGuard
// bytes; the whole allocation starts filled with one byte pattern, and the
// bands must still hold it afterwards, so stray writes show.
class GuardedBuffer {
 public:
  static constexpr size_t kGuard = 256;

  GuardedBuffer(const cu::CudaApi* api, cu::CUdeviceptr base, size_t payload, size_t shift,
                unsigned char pattern);
  GuardedBuffer(GuardedBuffer&& o) noexcept;
  GuardedBuffer& operator=(GuardedBuffer&&) = delete;
  GuardedBuffer(const GuardedBuffer&) = delete;
  ~GuardedBuffer();

  bool ok() const { return base_ != 0; }
  // Address of the payload: 16-byte aligned plus `shift` bytes.
  uint64_t address() const { return base_ + kGuard + shift_; }
  size_t payload() const { return payload_; }

  // Copies into or out of the payload; false when the copy fails.
  bool upload(const void* data, size_t bytes) const;
  bool download(void* data, size_t bytes) const;
  // Empty when both bands still hold the pattern, else the first bad offset.
  std::string check_guards() const;

 private:
  const cu::CudaApi* api_;
  cu::CUdeviceptr base_;
  size_t payload_, shift_;
  unsigned char pattern_;
};

class TcDevice {
 public:
  ~TcDevice();
  TcDevice(const TcDevice&) = delete;
  TcDevice& operator=(const TcDevice&) = delete;

  // The session for compute capability `cc` (80 or 90), reused while the
  // same capability is asked for.  Null with `why` set when it cannot run
  // (a real device of another capability, or a failure to start).
  static TcDevice* get(int cc, std::string* why);

  const std::string& target() const { return target_; }

  // A kernel of the module; the 128-tile kernels get the raised
  // dynamic-shared-memory limit.  Null when absent.
  cu::CUfunction function(const std::string& name);

  // Payload bytes (at least 1) with guard bands, all filled with `pattern`,
  // the payload shifted `shift` bytes past a 16-byte boundary.  Not ok()
  // when the allocation fails.
  GuardedBuffer alloc(size_t bytes, unsigned char pattern, size_t shift = 0);

  // Launches and waits.  Empty on success, else the driver result with the
  // simulated device's fault report when there is one.
  std::string run(cu::CUfunction f, unsigned grid, unsigned block, unsigned dynamic_shared,
                  std::initializer_list<KernelArg> args);

  // cuFuncGetAttribute, or -1 on failure.
  int attribute(cu::CUfunction f, int attribute);

 private:
  TcDevice() = default;
  std::string open(int cc);

  const cu::CudaApi* api_ = nullptr;
  cu::CUdevice device_ = 0;
  bool retained_ = false;
  EngineStream es_;
  ModuleRef module_;
  std::string target_;
  bool broken_ = false;  // a fault leaves a sticky error: the next get() reopens
};

}  // namespace tesvan::test
