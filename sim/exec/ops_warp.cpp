// Warp collectives: shfl.sync, vote.sync, bar.warp.sync, activemask and
// ldmatrix.  A collective reads every source lane before writing any
// destination, and each one is a warp-synchronous point for the race check.
#include <cstdio>
#include <cstring>

#include "exec/memory.h"
#include "exec/ops.h"

namespace tvnsim::exec {
namespace {

std::string hex(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08x", v);
  return buf;
}

// The member mask every executing lane names; all must name the same one and
// every lane it names must be executing this instruction.
bool member_mask(Ctx& c, const Instr& in, uint32_t mask, uint32_t slot, const char* what,
                 uint32_t* out) {
  const uint64_t* m = c.w.reg(slot);
  const int first = __builtin_ctz(mask);
  const uint32_t member = static_cast<uint32_t>(m[first]);
  bool agree = true;
  each_lane(mask, [&](int l) { agree &= static_cast<uint32_t>(m[l]) == member; });
  if (!agree) {
    raise(c, in, first, kLaunchFailed, 0, std::string(what) + ": lanes name different member masks");
    return false;
  }
  if (member & ~mask) {
    raise(c, in, first, kLaunchFailed, 0,
          std::string(what) + ": member mask " + hex(member) + " names lanes " + hex(member & ~mask) +
              " that are not executing it (diverged or exited warp)");
    return false;
  }
  *out = member;
  return true;
}

// .aligned collectives need the whole warp, converged.
bool whole_warp(Ctx& c, const Instr& in, uint32_t mask, const char* what) {
  if (mask == 0xFFFFFFFFu) return true;
  raise(c, in, __builtin_ctz(mask), kLaunchFailed, 0,
        std::string(what) + " executed by a diverged or partial warp (executing lanes " + hex(mask) + ")");
  return false;
}

}  // namespace

void shfl(Ctx& c, const Instr& in, uint32_t mask) {
  uint32_t member = 0;
  if (!member_mask(c, in, mask, in.o[4], "shfl.sync", &member)) return;
  const uint64_t *a = c.w.reg(in.o[1]), *b = c.w.reg(in.o[2]), *cc = c.w.reg(in.o[3]);
  uint32_t source[32];
  for (int l = 0; l < 32; ++l) source[l] = static_cast<uint32_t>(a[l]);
  uint32_t value[32];
  uint32_t valid = 0;
  bool ok = true;
  for_lanes(mask, [&](int l) {
    const uint32_t lane = static_cast<uint32_t>(l);
    const uint32_t bval = static_cast<uint32_t>(b[l]) & 31;
    const uint32_t cval = static_cast<uint32_t>(cc[l]) & 31;
    const uint32_t seg = (static_cast<uint32_t>(cc[l]) >> 8) & 31;
    const uint32_t max_lane = (lane & seg) | (cval & ~seg);
    const uint32_t min_lane = lane & seg;
    int32_t j;
    bool p;
    switch (in.mod) {
      case 0: j = static_cast<int32_t>(lane) - static_cast<int32_t>(bval); p = j >= static_cast<int32_t>(max_lane); break;
      case 1: j = static_cast<int32_t>(lane + bval); p = j <= static_cast<int32_t>(max_lane); break;
      case 2: j = static_cast<int32_t>(lane ^ bval); p = j <= static_cast<int32_t>(max_lane); break;
      default: j = static_cast<int32_t>(min_lane | (bval & ~seg)); p = j <= static_cast<int32_t>(max_lane); break;
    }
    if (!p) j = l;
    if (!((member >> j) & 1)) {
      raise(c, in, l, kLaunchFailed, 0,
            "shfl.sync reads lane " + std::to_string(j) + ", which is outside the member mask " + hex(member));
      ok = false;
      return false;
    }
    value[l] = source[j];
    valid |= static_cast<uint32_t>(p) << l;
    return true;
  });
  if (!ok) return;
  uint64_t* d = c.w.reg(in.o[0]);
  each_lane(mask, [&](int l) { d[l] = value[l]; });
  if (in.flags & ptx::kShflQ) {
    uint32_t& q = c.w.preds[in.o[5]];
    q = (q & ~mask) | (valid & mask);
  }
  ++c.w.sync_gen;
}

void vote(Ctx& c, const Instr& in, uint32_t mask) {
  uint32_t member = 0;
  if (!member_mask(c, in, mask, in.o[2], "vote.sync", &member)) return;
  uint32_t p = c.w.preds[in.o[1]];
  if (in.flags & ptx::kVoteNotSource) p = ~p;
  p &= mask;
  if (in.mod == 3) {  // ballot
    uint64_t* d = c.w.reg(in.o[0]);
    each_lane(mask, [&](int l) { d[l] = p; });
  } else {
    bool r;
    switch (in.mod) {
      case 0: r = p == mask; break;               // all
      case 1: r = p != 0; break;                  // any
      default: r = p == 0 || p == mask; break;    // uni
    }
    uint32_t& d = c.w.preds[in.o[0]];
    d = (d & ~mask) | (r ? mask : 0);
  }
  ++c.w.sync_gen;
}

void warp_sync(Ctx& c, const Instr& in, uint32_t mask) {
  uint32_t member = 0;
  if (!member_mask(c, in, mask, in.o[0], "bar.warp.sync", &member)) return;
  ++c.w.sync_gen;
}

void activemask(Ctx& c, const Instr& in, uint32_t mask) {
  uint64_t* d = c.w.reg(in.o[0]);
  each_lane(mask, [&](int l) { d[l] = mask; });
}

// ldmatrix .m8n8 .x1/.x2/.x4: lanes 8i..8i+7 give the row addresses of matrix
// i; destination register i of lane t holds matrix i at row t/4, columns
// 2(t%4) and 2(t%4)+1 (.trans: rows 2(t%4) and 2(t%4)+1 of column t/4).
void ldmatrix(Ctx& c, const Instr& in, uint32_t mask) {
  if (!whole_warp(c, in, mask, "ldmatrix")) return;
  const uint32_t n = in.mod2;
  const uint64_t* base = c.w.reg(in.o[8]);
  uint16_t rows[4][8][8];
  for (uint32_t m = 0; m < n; ++m) {
    for (uint32_t r = 0; r < 8; ++r) {
      const int lane = static_cast<int>(8 * m + r);
      const uint64_t addr = (base[lane] + static_cast<uint64_t>(in.imm)) & 0xFFFFFFFFull;
      const uint8_t* p = shared_ptr(c, in, lane, addr, 16, Access::Read);
      if (!p) return;
      std::memcpy(rows[m][r], p, 16);
    }
  }
  const bool trans = in.flags & ptx::kLdmatrixTrans;
  for (uint32_t m = 0; m < n; ++m) {
    uint64_t* d = c.w.reg(in.o[m]);
    for (int t = 0; t < 32; ++t) {
      const int q = t % 4, g = t / 4;
      const uint32_t lo = trans ? rows[m][2 * q][g] : rows[m][g][2 * q];
      const uint32_t hi = trans ? rows[m][2 * q + 1][g] : rows[m][g][2 * q + 1];
      d[t] = lo | (hi << 16);
    }
  }
  ++c.w.sync_gen;
}

bool aligned_collective(Ctx& c, const Instr& in, uint32_t mask, const char* what) {
  return whole_warp(c, in, mask, what);
}

}  // namespace tvnsim::exec
