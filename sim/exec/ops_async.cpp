// cp.async: copies complete only at the wait that covers their group.  From
// issue until then the destination holds a poison pattern (a NaN as f32), so
// a kernel that reads too early, or without the barrier after the wait, sees
// it; for the race check the copy is a write by its thread at issue and again
// at completion.
#include <cstring>

#include "exec/memory.h"
#include "exec/ops.h"

namespace tvnsim::exec {
namespace {

constexpr uint32_t kPoison = 0xFFC0DEADu;

}  // namespace

void cp_async(Ctx& c, const Instr& in, uint32_t mask) {
  const uint32_t size = in.mod;
  const uint64_t *dst = c.w.reg(in.o[0]), *src = c.w.reg(in.o[1]);
  const uint64_t* src_size = c.w.reg(in.o[2]);
  const bool has_size = in.flags & ptx::kCpSrcSize;
  const bool ignore_src = in.flags & ptx::kCpIgnoreSrc;
  uint32_t ignore = 0;
  if (ignore_src) {
    ignore = c.w.preds[in.o[2]];
    if (in.flags & ptx::kCpIgnoreNot) ignore = ~ignore;
  }
  for_lanes(mask, [&](int l) {
    uint32_t n = size;
    if (has_size) n = static_cast<uint32_t>(src_size[l]);
    if (ignore_src && ((ignore >> l) & 1)) n = 0;
    if (n > size) {
      raise(c, in, l, kLaunchFailed, src[l] + static_cast<uint64_t>(in.imm2),
            "cp.async source size " + std::to_string(n) + " exceeds the copy size " + std::to_string(size));
      return false;
    }
    const uint64_t d = (dst[l] + static_cast<uint64_t>(in.imm)) & 0xFFFFFFFFull;
    uint8_t* to = shared_ptr(c, in, l, d, size, Access::Write);
    if (!to) return false;
    PendingCopy p;
    p.lane = static_cast<uint32_t>(l);
    p.group = c.w.committed[l];
    p.dst = static_cast<uint32_t>(d);
    p.size = size;
    if (n > 0) {
      const uint64_t s = src[l] + static_cast<uint64_t>(in.imm2);
      if (s & (size - 1)) {
        misaligned(c, in, l, s, size, "global");
        return false;
      }
      const uint8_t* from = global_range(c, in, l, s, n);
      if (!from) return false;
      std::memcpy(p.data, from, n);
    }
    for (uint32_t i = 0; i < size; i += 4) std::memcpy(to + i, &kPoison, 4);
    c.w.pending->push_back(p);
    return true;
  });
}

void cp_async_commit(Ctx& c, const Instr&, uint32_t mask) {
  each_lane(mask, [&](int l) { ++c.w.committed[l]; });
}

// wait_group N: complete every copy of the lanes in mask whose group is older
// than the N most recent committed groups.  wait_all commits first.
void cp_async_wait(Ctx& c, const Instr& in, uint32_t mask) {
  const bool all = in.flags & ptx::kCpWaitAll;
  if (all) cp_async_commit(c, in, mask);
  const uint32_t keep = all ? 0 : in.target;
  std::vector<PendingCopy>& pending = *c.w.pending;
  size_t kept = 0;
  for (size_t i = 0; i < pending.size(); ++i) {
    PendingCopy& p = pending[i];
    const bool due = ((mask >> p.lane) & 1) && p.group + keep < c.w.committed[p.lane];
    if (!due) {
      pending[kept++] = p;
      continue;
    }
    uint8_t* to = shared_ptr(c, in, static_cast<int>(p.lane), p.dst, p.size, Access::Write);
    if (!to) return;
    std::memcpy(to, p.data, p.size);
  }
  pending.resize(kept);
}

}  // namespace tvnsim::exec
