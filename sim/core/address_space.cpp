#include "core/address_space.h"

#include <sys/mman.h>

#include <cstring>

namespace tvnsim {

AddressSpace::~AddressSpace() { release_all(); }

uint64_t AddressSpace::allocate(uint64_t size, bool user) {
  if (size == 0) return 0;
  if (user && capacity_ != 0 && (size > capacity_ || user_bytes_ > capacity_ - size)) return 0;
  void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return 0;
  std::memset(p, kFillByte, size);
  Allocation a;
  a.base = next_;
  a.size = size;
  a.data = static_cast<uint8_t*>(p);
  a.user = user;
  const uint64_t span = (size + kAlign - 1) / kAlign * kAlign;
  next_ += span + kGuard;
  live_.emplace(a.base, a);
  if (user) {
    ++user_count_;
    user_bytes_ += size;
  }
  return a.base;
}

bool AddressSpace::release(uint64_t base) {
  auto it = live_.find(base);
  if (it == live_.end()) return false;
  munmap(it->second.data, it->second.size);
  if (it->second.user) {
    --user_count_;
    user_bytes_ -= it->second.size;
  }
  live_.erase(it);
  return true;
}

void AddressSpace::release_all() {
  for (auto& [base, a] : live_) munmap(a.data, a.size);
  live_.clear();
  user_count_ = 0;
  user_bytes_ = 0;
}

const Allocation* AddressSpace::find(uint64_t addr) const {
  auto it = live_.upper_bound(addr);
  if (it == live_.begin()) return nullptr;
  --it;
  const Allocation& a = it->second;
  if (addr - a.base < a.size) return &a;
  return nullptr;
}

uint8_t* AddressSpace::resolve(uint64_t addr, uint64_t len) const {
  const Allocation* a = find(addr);
  if (!a) return nullptr;
  if (len == 0) len = 1;
  const uint64_t off = addr - a->base;
  if (len > a->size - off) return nullptr;
  return a->data + off;
}

}  // namespace tvnsim
