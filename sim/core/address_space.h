// Device virtual memory of the simulated device.
//
// Device addresses live far above every user-space host address (bit 60 set),
// so a host pointer passed by mistake never resolves.  Addresses are handed
// out by a bump pointer and never reused, with a guard gap after every
// allocation: an access just past the end, or after a free, touches no live
// allocation and is reported instead of silently hitting a neighbour.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

namespace tvnsim {

struct Allocation {
  uint64_t base = 0;
  uint64_t size = 0;
  uint8_t* data = nullptr;  // host backing store, `size` bytes
  bool user = true;         // false for module globals (not in user accounting)
};

class AddressSpace {
 public:
  static constexpr uint64_t kBase = 0x1000000000000000ull;
  static constexpr uint64_t kAlign = 256;
  static constexpr uint64_t kGuard = 1ull << 20;
  // Fresh allocations hold this byte so reads of never-written memory show up
  // as NaN (0xFFFFFFFF) instead of a lucky zero.
  static constexpr uint8_t kFillByte = 0xFF;

  AddressSpace() = default;
  ~AddressSpace();
  AddressSpace(const AddressSpace&) = delete;
  AddressSpace& operator=(const AddressSpace&) = delete;

  // Capacity for user allocations; 0 means unlimited.
  void set_capacity(uint64_t bytes) { capacity_ = bytes; }
  uint64_t capacity() const { return capacity_; }

  // Returns the device address, or 0 when size is 0 or the capacity would be
  // exceeded (the caller maps that to CUDA_ERROR_OUT_OF_MEMORY).
  uint64_t allocate(uint64_t size, bool user = true);
  // False when `base` is not the start of a live allocation.
  bool release(uint64_t base);
  void release_all();

  // The live allocation containing `addr`, or nullptr.
  const Allocation* find(uint64_t addr) const;
  // Host pointer for [addr, addr + len) if it lies inside one live
  // allocation, else nullptr.  len 0 is treated as 1.
  uint8_t* resolve(uint64_t addr, uint64_t len) const;

  uint64_t user_allocations() const { return user_count_; }
  uint64_t user_bytes() const { return user_bytes_; }

 private:
  std::map<uint64_t, Allocation> live_;  // keyed by base
  uint64_t next_ = kBase;
  uint64_t capacity_ = 0;
  uint64_t user_count_ = 0;
  uint64_t user_bytes_ = 0;
};

}  // namespace tvnsim
