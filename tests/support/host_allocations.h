// Counting the host heap allocations of a piece of code: while a scope
// object lives, every heap allocation on its thread is counted, whichever
// route it takes (operator new, malloc and its relatives).  Once this file is
// linked in, the test binary's malloc family forwards to the C library's
// allocator and counts on the way.
#pragma once

#include <cstdint>

namespace tesvan::test {

class HostAllocationScope {
 public:
  HostAllocationScope();
  ~HostAllocationScope();
  HostAllocationScope(const HostAllocationScope&) = delete;
  HostAllocationScope& operator=(const HostAllocationScope&) = delete;

  // Allocations on this thread since the scope began.
  uint64_t count() const;
  // The largest single request (bytes) on this thread since the scope began.
  uint64_t largest() const;

 private:
  uint64_t start_;
  uint64_t outer_largest_;
  bool outer_active_;
};

}  // namespace tesvan::test
