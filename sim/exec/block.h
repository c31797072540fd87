// Running one block: warps, divergence and reconvergence, block barriers.
#pragma once

#include <cstdint>
#include <vector>

#include "exec/context.h"
#include "exec/counters.h"
#include "exec/race_check.h"

namespace tvnsim::exec {

// What every block of one launch shares.
struct LaunchPlan {
  const DecodedEntry* entry = nullptr;
  const ptx::Constants* constants = nullptr;  // the entry's, in the launched program
  const EntryInfo* info = nullptr;
  const LaunchSpec* launch = nullptr;
  AddressSpace* memory = nullptr;
  num::MmaModel mma_model = num::MmaModel::Ampere;
  bool racecheck = false;
  bool counters = false;
  uint32_t shared_size = 0;
};

// Memory a worker reuses from block to block, so that running a block
// allocates nothing once it has grown to the launch's needs.
struct BlockScratch {
  std::vector<uint64_t> regs;
  std::vector<uint32_t> preds;
  std::vector<Warp> warps;
  std::vector<std::vector<PendingCopy>> pending;
  std::vector<uint8_t> shared, local, call;
  RaceCheck race;
  SiteCounters counters;
};

struct BlockOutcome {
  bool faulted = false;
  Fault fault;
  uint64_t instructions = 0;
};

void run_block(const LaunchPlan& plan, uint64_t linear_block, BlockScratch& scratch,
               BlockOutcome* out);

}  // namespace tvnsim::exec
