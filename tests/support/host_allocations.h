// Counting the host heap allocations of a piece of code: while a scope
// object lives, every operator new on its thread is counted.  The test
// binary's operator new is replaced for this, once this file is linked in.
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

 private:
  uint64_t start_;
  bool outer_active_;
};

}  // namespace tesvan::test
