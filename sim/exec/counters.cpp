#include "exec/counters.h"

#include <algorithm>
#include <string>

namespace tvnsim::exec {
namespace {

using ptx::MemSpace;
using ptx::Op;

void add(TvnSimMemoryCounters& to, const TvnSimMemoryCounters& from) {
  to.requests += from.requests;
  to.wavefronts += from.wavefronts;
  to.ideal += from.ideal;
}

// One request's wavefronts (or sectors) and ideal into a site's counts.
void tally(TvnSimMemoryCounters& m, uint32_t count, uint32_t ideal) {
  ++m.requests;
  m.wavefronts += count;
  m.ideal += ideal;
}

void count_shared(TvnSimMemoryCounters& m, const uint32_t* addr, uint32_t mask, uint32_t size) {
  if (!mask) return;
  uint32_t ideal = 0;
  const uint32_t w = shared_wavefronts(addr, mask, size, &ideal);
  tally(m, w, ideal);
}

void count_global(TvnSimMemoryCounters& m, const uint64_t* addr, uint32_t mask, uint32_t size) {
  if (!mask) return;
  uint32_t ideal = 0;
  const uint32_t s = global_sectors(addr, mask, size, &ideal);
  tally(m, s, ideal);
}

// Lanes' addresses of an ld or st, split by the space they land in (a
// generic address may name shared, local or global memory per lane).
void count_ld_st(const Instr& in, const uint64_t* base, uint32_t mask, SiteCount& s) {
  const uint32_t size = in.mod * ptx::type_size(in.type);
  uint32_t shared[32] = {};
  uint64_t global[32] = {};
  uint32_t shared_mask = 0, global_mask = 0;
  each_lane(mask, [&](int l) {
    const uint64_t a = base[l] + static_cast<uint64_t>(in.imm);
    switch (in.space) {
      case MemSpace::Shared:
        shared[l] = static_cast<uint32_t>(a);
        shared_mask |= 1u << l;
        break;
      case MemSpace::Global:
        global[l] = a;
        global_mask |= 1u << l;
        break;
      case MemSpace::Generic:
        if (a - ptx::kSharedWindow < ptx::kWindowSize) {
          shared[l] = static_cast<uint32_t>(a - ptx::kSharedWindow);
          shared_mask |= 1u << l;
        } else if (a - ptx::kLocalWindow >= ptx::kWindowSize) {
          global[l] = a;
          global_mask |= 1u << l;
        }
        break;
      default:  // local and parameter spaces are not counted
        break;
    }
  });
  count_shared(s.shared, shared, shared_mask, size);
  count_global(s.global, global, global_mask, size);
}

}  // namespace

void SiteCounters::count_memory(Ctx& c, const Instr& in, SiteCount& s, uint32_t mask) {
  switch (in.op) {
    case Op::Ld:
    case Op::St:
      count_ld_st(in, c.w.reg(in.o[8]), mask, s);
      break;
    case Op::Ldmatrix: {
      // Lanes 8i..8i+7 address the rows of matrix i, whatever the mask.
      const uint32_t rows = in.mod2 >= 4 ? 0xFFFFFFFFu : (1u << (8 * in.mod2)) - 1;
      const uint64_t* base = c.w.reg(in.o[8]);
      uint32_t addr[32] = {};
      each_lane(rows, [&](int l) { addr[l] = static_cast<uint32_t>(base[l] + static_cast<uint64_t>(in.imm)); });
      count_shared(s.shared, addr, rows, 16);
      break;
    }
    case Op::CpAsync: {
      // The shared side writes the whole copy size; the global side reads
      // only lanes with a source size above zero.
      const uint32_t size = in.mod;
      const uint64_t *dst = c.w.reg(in.o[0]), *src = c.w.reg(in.o[1]), *src_size = c.w.reg(in.o[2]);
      uint32_t ignore = 0;
      if (in.flags & ptx::kCpIgnoreSrc) {
        ignore = c.w.preds[in.o[2]];
        if (in.flags & ptx::kCpIgnoreNot) ignore = ~ignore;
      }
      uint32_t shared[32] = {};
      uint64_t global[32] = {};
      uint32_t reads = 0;
      each_lane(mask, [&](int l) {
        shared[l] = static_cast<uint32_t>(dst[l] + static_cast<uint64_t>(in.imm));
        global[l] = src[l] + static_cast<uint64_t>(in.imm2);
        const bool empty = ((ignore >> l) & 1) || ((in.flags & ptx::kCpSrcSize) && src_size[l] == 0);
        if (!empty) reads |= 1u << l;
      });
      count_shared(s.shared, shared, mask, size);
      count_global(s.global, global, reads, size);
      break;
    }
    default:
      break;
  }
}

void SiteCounters::add_to(std::vector<SiteCount>& total) const {
  if (total.size() < sites_.size()) total.resize(sites_.size());
  for (size_t i = 0; i < sites_.size(); ++i) {
    total[i].issued += sites_[i].issued;
    add(total[i].shared, sites_[i].shared);
    add(total[i].global, sites_[i].global);
  }
}

uint32_t shared_wavefronts(const uint32_t* addr, uint32_t mask, uint32_t size, uint32_t* ideal) {
  // Lanes served together: the warp up to 32 bits, half-warps for 64,
  // quarter-warps for 128 (each phase moves at most 128 bytes).
  const int per_phase = size <= 4 ? 32 : size == 8 ? 16 : 8;
  uint32_t total = 0, phases = 0;
  for (int first = 0; first < 32; first += per_phase) {
    uint32_t words[64];
    int n = 0;
    for (int l = first; l < first + per_phase; ++l) {
      if (!((mask >> l) & 1)) continue;
      for (uint32_t w = addr[l] / 4; w <= (addr[l] + size - 1) / 4 && n < 64; ++w) words[n++] = w;
    }
    if (n == 0) continue;
    std::sort(words, words + n);
    n = static_cast<int>(std::unique(words, words + n) - words);
    uint32_t per_bank[32] = {};
    uint32_t most = 0;
    for (int i = 0; i < n; ++i) most = std::max(most, ++per_bank[words[i] % 32]);
    total += most;
    ++phases;
  }
  *ideal = phases;
  return total;
}

uint32_t global_sectors(const uint64_t* addr, uint32_t mask, uint32_t size, uint32_t* ideal) {
  uint64_t starts[32], sectors[64];
  int n = 0, k = 0;
  each_lane(mask, [&](int l) {
    starts[n++] = addr[l];
    for (uint64_t s = addr[l] / 32; s <= (addr[l] + size - 1) / 32 && k < 64; ++s) sectors[k++] = s;
  });
  std::sort(starts, starts + n);
  std::sort(sectors, sectors + k);
  // Accesses of one size at natural alignment either coincide or are disjoint.
  const uint64_t distinct = static_cast<uint64_t>(std::unique(starts, starts + n) - starts);
  *ideal = static_cast<uint32_t>((distinct * size + 31) / 32);
  return static_cast<uint32_t>(std::unique(sectors, sectors + k) - sectors);
}

int instruction_class(const Instr& in) {
  switch (in.op) {
    case Op::FFma:
      return in.type == ptx::Type::F32 ? TVNSIM_CLASS_FMA_F32 : TVNSIM_CLASS_FLOAT;
    case Op::FAdd: case Op::FSub: case Op::FMul: case Op::FDiv: case Op::FAbs: case Op::FNeg:
    case Op::FMin: case Op::FMax: case Op::FRcp: case Op::FSqrt:
      return TVNSIM_CLASS_FLOAT;
    case Op::Mma:
      return TVNSIM_CLASS_MMA;
    case Op::Ld: case Op::St: case Op::CpAsync: case Op::Ldmatrix:
      return TVNSIM_CLASS_MEMORY;
    case Op::Mov: case Op::Pack: case Op::Unpack: case Op::Cvt: case Op::CvtPack:
    case Op::CvtaToGeneric: case Op::CvtaFromGeneric:
      return TVNSIM_CLASS_CONVERT;
    case Op::Bar: case Op::WarpSync: case Op::CpAsyncCommit: case Op::CpAsyncWait:
      return TVNSIM_CLASS_BARRIER;
    case Op::Shfl: case Op::Vote: case Op::ActiveMask:
      return TVNSIM_CLASS_WARP;
    case Op::Nop: case Op::Bra: case Op::Exit: case Op::Trap: case Op::AssertFail:
      return TVNSIM_CLASS_CONTROL;
    default:
      return TVNSIM_CLASS_INTEGER;
  }
}

TvnSimCounters summarize(const DecodedEntry& entry, const std::vector<SiteCount>& sites, uint64_t blocks) {
  TvnSimCounters t{};
  t.blocks = blocks;
  for (size_t i = 0; i < sites.size() && i < entry.code.size(); ++i) {
    const SiteCount& s = sites[i];
    const Instr& in = entry.code[i];
    t.warp_instructions += s.issued;
    t.by_class[instruction_class(in)] += s.issued;
    int shared = TVNSIM_MEM_SHARED_LOAD, global = TVNSIM_MEM_GLOBAL_LOAD;
    if (in.op == Op::St) {
      shared = TVNSIM_MEM_SHARED_STORE;
      global = TVNSIM_MEM_GLOBAL_STORE;
    } else if (in.op == Op::Ldmatrix) {
      shared = TVNSIM_MEM_LDMATRIX;
    } else if (in.op == Op::CpAsync) {
      shared = TVNSIM_MEM_CP_ASYNC_SHARED;
      global = TVNSIM_MEM_CP_ASYNC_GLOBAL;
    }
    add(t.memory[shared], s.shared);
    add(t.memory[global], s.global);
  }
  return t;
}

void report_counters(const DecodedEntry& entry, const std::vector<SiteCount>& sites, uint64_t blocks,
                     int level, ExecResult* r) {
  r->counted = true;
  r->counters = summarize(entry, sites, blocks);
  if (level < 2) return;
  for (size_t i = 0; i < sites.size() && i < entry.code.size(); ++i) {
    if (sites[i].issued == 0) continue;
    TvnSimSiteCounters& out = r->sites.emplace_back();
    out.index = static_cast<uint32_t>(i);
    out.instruction_class = instruction_class(entry.code[i]);
    const std::string text = entry.text(entry.code[i].text);
    const size_t n = std::min(text.size(), sizeof out.instruction - 1);
    std::copy_n(text.data(), n, out.instruction);
    out.instruction[n] = '\0';
    out.warp_instructions = sites[i].issued;
    out.shared = sites[i].shared;
    out.global = sites[i].global;
  }
}

}  // namespace tvnsim::exec
