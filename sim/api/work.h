// The units of work a stream queues: what each driver call enqueues and what
// runs when the stream reaches it.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <variant>
#include <vector>

#include "exec/executor.h"
#include "ptx/module.h"

namespace tvnsim::api {

// A launch's packed parameter buffer, held inline for the usual small
// parameter lists so that queueing a launch does not touch the heap.
class ParamBytes {
 public:
  void assign_zero(size_t n) {
    size_ = n;
    if (n > sizeof(inline_)) {
      heap_.assign(n, 0);
    } else {
      std::memset(inline_, 0, n);
    }
  }
  uint8_t* data() { return size_ > sizeof(inline_) ? heap_.data() : inline_; }
  const uint8_t* data() const { return size_ > sizeof(inline_) ? heap_.data() : inline_; }
  size_t size() const { return size_; }

 private:
  alignas(16) uint8_t inline_[256];
  std::vector<uint8_t> heap_;
  size_t size_ = 0;
};

struct LaunchWork {
  std::shared_ptr<const Program> program;  // keeps the code alive past cuModuleUnload
  uint32_t entry = 0;
  Dim3 grid, block;
  uint32_t dynamic_shared = 0;
  uint64_t sequence = 0;  // launch-log sequence
  ParamBytes params;
};

struct MemsetWork {
  uint64_t dst = 0;
  uint32_t value = 0;
  uint32_t width = 1;  // bytes per element: 1 or 4
  uint64_t count = 0;  // elements
};

// Device-to-device, host-to-device (from `snapshot`, the host bytes taken at
// the call) or device-to-host (into `host_dst`, run before the call returns).
struct CopyWork {
  uint64_t dst = 0;
  uint64_t src = 0;
  void* host_dst = nullptr;
  std::vector<uint8_t> snapshot;
  uint64_t bytes = 0;
};

struct FreeWork {
  uint64_t base = 0;
};

// Recorded by cuEventRecord: the event completes when its stream passes it.
struct MarkerWork {};

// Queued by cuStreamWaitEvent: the stream waits until `stream` has run every
// op up to and including the marker `seq`.
struct WaitWork {
  uint64_t stream = 0;
  uint64_t seq = 0;
};

using Work = std::variant<LaunchWork, MemsetWork, CopyWork, FreeWork, MarkerWork, WaitWork>;

struct Op {
  uint64_t seq = 0;  // global enqueue order
  Work work;
};

}  // namespace tvnsim::api
