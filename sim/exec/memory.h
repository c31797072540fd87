// Address translation for every state space, with the checks a GPU makes
// (bounds, natural alignment) and the shared-memory race check.  Each
// function returns the host pointer for [addr, addr + size) or nullptr after
// raising the fault.
#pragma once

#include <cstdint>
#include <cstring>

#include "exec/context.h"
#include "exec/race_check.h"

namespace tvnsim::exec {

enum class Access : uint8_t { Read, Write };

uint8_t* global_slow(Ctx& c, const Instr& in, int lane, uint64_t addr, uint32_t size);
// Raise the fault and return nullptr.
uint8_t* misaligned(Ctx& c, const Instr& in, int lane, uint64_t addr, uint32_t size, const char* space);
// `limit` is the size of the space the access fell outside of.
uint8_t* out_of_bounds(Ctx& c, const Instr& in, int lane, uint64_t addr, uint32_t size, const char* space,
                       uint32_t limit);

// [addr, addr + size) inside one live allocation, alignment not checked.
inline uint8_t* global_range(Ctx& c, const Instr& in, int lane, uint64_t addr, uint32_t size) {
  const GlobalCache& g = c.b.global;
  const uint64_t off = addr - g.base;
  if (off < g.size && size <= g.size - off) return g.data + off;
  return global_slow(c, in, lane, addr, size);
}

inline uint8_t* global_ptr(Ctx& c, const Instr& in, int lane, uint64_t addr, uint32_t size) {
  if (addr & (size - 1)) return misaligned(c, in, lane, addr, size, "global");
  return global_range(c, in, lane, addr, size);
}

inline uint8_t* shared_ptr(Ctx& c, const Instr& in, int lane, uint64_t addr, uint32_t size,
                           Access access) {
  if (addr & (size - 1)) return misaligned(c, in, lane, addr, size, "shared");
  if (addr >= c.b.shared_size || size > c.b.shared_size - addr) {
    return out_of_bounds(c, in, lane, addr, size, "shared", c.b.shared_size);
  }
  if (c.b.race) {
    const uint32_t t = c.b.thread_of(c.w, lane);
    const bool ok = access == Access::Write
                        ? c.b.race->write(c, in, lane, t, static_cast<uint32_t>(addr), size)
                        : c.b.race->read(c, in, lane, t, static_cast<uint32_t>(addr), size);
    if (!ok) return nullptr;
  }
  return c.b.shared + addr;
}

inline uint8_t* local_ptr(Ctx& c, const Instr& in, int lane, uint64_t addr, uint32_t size) {
  if (addr & (size - 1)) return misaligned(c, in, lane, addr, size, "local");
  if (addr >= c.b.local_bytes || size > c.b.local_bytes - addr) {
    return out_of_bounds(c, in, lane, addr, size, "local", c.b.local_bytes);
  }
  return c.b.local + static_cast<size_t>(c.b.thread_of(c.w, lane)) * c.b.local_bytes + addr;
}

inline uint8_t* generic_ptr(Ctx& c, const Instr& in, int lane, uint64_t addr, uint32_t size,
                            Access access) {
  if (addr - ptx::kSharedWindow < ptx::kWindowSize) {
    return shared_ptr(c, in, lane, addr - ptx::kSharedWindow, size, access);
  }
  if (addr - ptx::kLocalWindow < ptx::kWindowSize) {
    return local_ptr(c, in, lane, addr - ptx::kLocalWindow, size);
  }
  return global_ptr(c, in, lane, addr, size);
}

inline uint64_t load_bits(const uint8_t* p, uint32_t size) {
  switch (size) {
    case 1: return *p;
    case 2: { uint16_t v; std::memcpy(&v, p, 2); return v; }
    case 4: { uint32_t v; std::memcpy(&v, p, 4); return v; }
    default: { uint64_t v; std::memcpy(&v, p, 8); return v; }
  }
}

inline void store_bits(uint8_t* p, uint64_t v, uint32_t size) {
  switch (size) {
    case 1: *p = static_cast<uint8_t>(v); break;
    case 2: { const uint16_t x = static_cast<uint16_t>(v); std::memcpy(p, &x, 2); break; }
    case 4: { const uint32_t x = static_cast<uint32_t>(v); std::memcpy(p, &x, 4); break; }
    default: std::memcpy(p, &v, 8); break;
  }
}

}  // namespace tvnsim::exec
