// ld and st in every state space, scalar and vector.
#include "exec/memory.h"
#include "exec/ops.h"
#include "exec/slot_bits.h"

namespace tvnsim::exec {
namespace {

using ptx::MemSpace;

template <MemSpace S>
inline uint8_t* resolve(Ctx& c, const Instr& in, int lane, uint64_t addr, uint32_t size,
                        Access access) {
  if constexpr (S == MemSpace::Global) {
    return global_ptr(c, in, lane, addr, size);
  } else if constexpr (S == MemSpace::Shared) {
    return shared_ptr(c, in, lane, addr & 0xFFFFFFFFull, size, access);
  } else if constexpr (S == MemSpace::Local) {
    return local_ptr(c, in, lane, addr & 0xFFFFFFFFull, size);
  } else if constexpr (S == MemSpace::Generic) {
    return generic_ptr(c, in, lane, addr, size, access);
  } else if constexpr (S == MemSpace::Param) {
    const uint32_t bytes = c.b.info->param_bytes;
    if (addr & (size - 1)) return misaligned(c, in, lane, addr, size, "param");
    if (addr >= bytes || size > bytes - addr) return out_of_bounds(c, in, lane, addr, size, "param", bytes);
    return const_cast<uint8_t*>(c.b.launch->params) + addr;
  } else {  // outgoing call arguments of this thread
    const uint32_t bytes = c.b.call_bytes;
    if (addr & (size - 1)) return misaligned(c, in, lane, addr, size, "param");
    if (addr >= bytes || size > bytes - addr) return out_of_bounds(c, in, lane, addr, size, "param", bytes);
    return c.b.call_params + static_cast<size_t>(c.b.thread_of(c.w, lane)) * bytes + addr;
  }
}

template <MemSpace S>
void load(Ctx& c, const Instr& in, uint32_t mask) {
  const uint32_t n = in.mod;
  const uint32_t es = ptx::type_size(in.type);
  const bool sx = ptx::type_signed(in.type) && es < 8;
  const uint64_t* base = c.w.reg(in.o[8]);
  if (n == 1) {
    uint64_t* d = c.w.reg(in.o[0]);
    for_lanes(mask, [&](int l) {
      const uint8_t* p = resolve<S>(c, in, l, base[l] + static_cast<uint64_t>(in.imm), es, Access::Read);
      if (!p) return false;
      const uint64_t v = load_bits(p, es);
      d[l] = sx ? static_cast<uint64_t>(sext(v, es)) : v;
      return true;
    });
    return;
  }
  // Vector loads read every lane's address before writing any destination,
  // so a destination that is also the address register is harmless.
  for_lanes(mask, [&](int l) {
    const uint8_t* p = resolve<S>(c, in, l, base[l] + static_cast<uint64_t>(in.imm), n * es, Access::Read);
    if (!p) return false;
    uint64_t v[8];
    for (uint32_t k = 0; k < n; ++k) {
      v[k] = load_bits(p + k * es, es);
      if (sx) v[k] = static_cast<uint64_t>(sext(v[k], es));
    }
    for (uint32_t k = 0; k < n; ++k) c.w.reg(in.o[k])[l] = v[k];
    return true;
  });
}

template <MemSpace S>
void store(Ctx& c, const Instr& in, uint32_t mask) {
  const uint32_t n = in.mod;
  const uint32_t es = ptx::type_size(in.type);
  const uint64_t* base = c.w.reg(in.o[8]);
  for_lanes(mask, [&](int l) {
    uint8_t* p = resolve<S>(c, in, l, base[l] + static_cast<uint64_t>(in.imm), n * es, Access::Write);
    if (!p) return false;
    for (uint32_t k = 0; k < n; ++k) store_bits(p + k * es, c.w.reg(in.o[k])[l], es);
    return true;
  });
}

}  // namespace

void ld(Ctx& c, const Instr& in, uint32_t mask) {
  switch (in.space) {
    case MemSpace::Global: return load<MemSpace::Global>(c, in, mask);
    case MemSpace::Shared: return load<MemSpace::Shared>(c, in, mask);
    case MemSpace::Local: return load<MemSpace::Local>(c, in, mask);
    case MemSpace::Param: return load<MemSpace::Param>(c, in, mask);
    case MemSpace::CallParam: return load<MemSpace::CallParam>(c, in, mask);
    case MemSpace::Generic: return load<MemSpace::Generic>(c, in, mask);
  }
}

void st(Ctx& c, const Instr& in, uint32_t mask) {
  switch (in.space) {
    case MemSpace::Global: return store<MemSpace::Global>(c, in, mask);
    case MemSpace::Shared: return store<MemSpace::Shared>(c, in, mask);
    case MemSpace::Local: return store<MemSpace::Local>(c, in, mask);
    case MemSpace::CallParam: return store<MemSpace::CallParam>(c, in, mask);
    case MemSpace::Generic: return store<MemSpace::Generic>(c, in, mask);
    case MemSpace::Param: break;  // the decoder refuses stores to kernel parameters
  }
}

}  // namespace tvnsim::exec
