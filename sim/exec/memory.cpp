#include "exec/memory.h"

#include <cstdio>

namespace tvnsim::exec {

uint8_t* misaligned(Ctx& c, const Instr& in, int lane, uint64_t addr, uint32_t size,
                    const char* space) {
  char buf[128];
  std::snprintf(buf, sizeof buf, "misaligned %s address 0x%llx for a %u-byte access", space,
                static_cast<unsigned long long>(addr), size);
  raise(c, in, lane, kMisalignedAddress, addr, buf);
  return nullptr;
}

uint8_t* out_of_bounds(Ctx& c, const Instr& in, int lane, uint64_t addr, uint32_t size,
                       const char* space, uint32_t limit) {
  char buf[160];
  std::snprintf(buf, sizeof buf, "%u-byte %s access at 0x%llx outside the %u bytes of %s memory",
                size, space, static_cast<unsigned long long>(addr), limit, space);
  raise(c, in, lane, kIllegalAddress, addr, buf);
  return nullptr;
}

uint8_t* global_slow(Ctx& c, const Instr& in, int lane, uint64_t addr, uint32_t size) {
  const Allocation* a = c.b.memory->find(addr);
  if (a == nullptr || size > a->size - (addr - a->base)) {
    char buf[128];
    std::snprintf(buf, sizeof buf, "%u-byte global access at 0x%llx outside every live allocation",
                  size, static_cast<unsigned long long>(addr));
    raise(c, in, lane, kIllegalAddress, addr, buf);
    return nullptr;
  }
  c.b.global.base = a->base;
  c.b.global.size = a->size;
  c.b.global.data = a->data;
  return a->data + (addr - a->base);
}

}  // namespace tvnsim::exec
