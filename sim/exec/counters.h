// Performance counters: what the hardware's profiling counters would report
// for a launch, computed exactly from the lanes' addresses and the issued
// instructions (the model is described in include/tvnsim.h).
//
// Each worker counts per instruction site while it runs blocks; the launch
// adds the workers' sites up and summarises them by instruction class and
// memory kind, which the site's opcode alone decides.
#pragma once

#include <cstdint>
#include <vector>

#include "exec/context.h"
#include "tvnsim.h"

namespace tvnsim::exec {

struct SiteCount {
  uint64_t issued = 0;
  TvnSimMemoryCounters shared{};
  TvnSimMemoryCounters global{};
};

class SiteCounters {
 public:
  // Zeroes the counts for a launch of `sites` instructions.
  void begin(size_t sites) { sites_.assign(sites, SiteCount{}); }

  // One issue of instruction `pc` by a warp's running group; `mask` holds the
  // lanes its guard lets execute.  Reads the address operands, so it runs
  // before the instruction does.
  void record(Ctx& c, const Instr& in, uint32_t pc, uint32_t mask) {
    SiteCount& s = sites_[pc];
    ++s.issued;
    if (mask && touches_memory(in.op)) count_memory(c, in, s, mask);
  }

  void add_to(std::vector<SiteCount>& total) const;

 private:
  static bool touches_memory(ptx::Op op) {
    return op == ptx::Op::Ld || op == ptx::Op::St || op == ptx::Op::CpAsync || op == ptx::Op::Ldmatrix;
  }
  static void count_memory(Ctx& c, const Instr& in, SiteCount& s, uint32_t mask);

  std::vector<SiteCount> sites_;
};

// TVNSIM_CLASS_* of an instruction.
int instruction_class(const Instr& in);

// The launch's totals from its sites.
TvnSimCounters summarize(const DecodedEntry& entry, const std::vector<SiteCount>& sites, uint64_t blocks);

// Fills the result's counters; at level 2 also its executed sites.
void report_counters(const DecodedEntry& entry, const std::vector<SiteCount>& sites, uint64_t blocks,
                     int level, ExecResult* r);

// Wavefronts of one shared-memory request of `size` bytes per lane at the
// byte offsets addr[lane] of the lanes in mask; *ideal gets the wavefronts of
// a conflict-free request (one per phase with lanes in it).
uint32_t shared_wavefronts(const uint32_t* addr, uint32_t mask, uint32_t size, uint32_t* ideal);

// 32-byte sectors of one global request; *ideal gets ceil(distinct bytes / 32).
uint32_t global_sectors(const uint64_t* addr, uint32_t mask, uint32_t size, uint32_t* ideal);

}  // namespace tvnsim::exec
