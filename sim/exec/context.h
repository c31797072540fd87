// State of one block while it runs, and the per-warp state the instruction
// handlers work on.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/address_space.h"
#include "exec/executor.h"
#include "numeric/numeric.h"
#include "ptx/program.h"

namespace tvnsim::exec {

using ptx::DecodedEntry;
using ptx::Instr;

class RaceCheck;
class SiteCounters;

// One cp.async copy between issue and the wait that completes it.
struct PendingCopy {
  uint32_t lane = 0;
  uint32_t group = 0;   // the lane's commit count when it was issued
  uint32_t dst = 0;     // shared offset
  uint32_t size = 0;    // cp-size
  uint8_t data[16] = {};
};

struct Warp {
  uint64_t* regs = nullptr;   // num_slots rows of 32 lanes
  uint32_t* preds = nullptr;  // num_preds lane masks
  uint32_t index = 0;         // warp within the block
  uint32_t pc[32] = {};       // per-lane program counters (valid outside the running group)
  uint32_t cur_pc = 0;        // program counter of the running group
  uint32_t cur_mask = 0;      // lanes of the running group
  uint32_t live = 0;          // lanes that exist and have not exited
  uint32_t blocked = 0;       // lanes waiting at a block barrier
  uint32_t waiting[16] = {};  // lanes waiting, per barrier id
  uint32_t barrier_pc = 0;    // the barrier instruction blocked lanes wait at
  uint32_t sync_gen = 0;      // advances at every warp-synchronous point (race check order)
  uint32_t committed[32] = {};  // cp.async groups committed, per lane
  std::vector<PendingCopy>* pending = nullptr;

  uint64_t* reg(uint32_t slot) { return regs + static_cast<size_t>(slot) * 32; }
  uint32_t runnable() const { return live & ~blocked; }
};

// Last allocation used for a global access: most accesses hit it.
struct GlobalCache {
  uint64_t base = 0;
  uint64_t size = 0;
  uint8_t* data = nullptr;
};

struct Fault {
  int result = 0;
  uint32_t thread = 0;   // linear thread index in the block
  uint32_t pc = 0;
  uint64_t address = 0;
  std::string reason;
};

struct Block {
  const DecodedEntry* entry = nullptr;
  const EntryInfo* info = nullptr;
  const LaunchSpec* launch = nullptr;
  AddressSpace* memory = nullptr;
  num::MmaModel mma_model = num::MmaModel::Ampere;

  uint32_t ctaid[3] = {0, 0, 0};
  uint32_t num_threads = 0;
  uint32_t live_threads = 0;
  uint32_t num_warps = 0;
  Warp* warps = nullptr;

  uint8_t* shared = nullptr;
  uint32_t shared_size = 0;
  uint8_t* local = nullptr;       // thread t at local + t * local_bytes
  uint32_t local_bytes = 0;
  uint8_t* call_params = nullptr; // thread t at call_params + t * call_bytes
  uint32_t call_bytes = 0;
  RaceCheck* race = nullptr;      // null when the race check is off
  SiteCounters* counters = nullptr;  // null when counters are off
  GlobalCache global;

  uint32_t arrived[16] = {};      // threads waiting per barrier id
  uint32_t expected[16] = {};     // thread count of a counted barrier, 0 = every live thread

  bool faulted = false;
  Fault fault;
  uint64_t instructions = 0;

  uint32_t thread_of(const Warp& w, int lane) const { return w.index * 32 + static_cast<uint32_t>(lane); }
};

// What a handler is given: the block and the warp it runs.
struct Ctx {
  Block& b;
  Warp& w;
};

using Handler = void (*)(Ctx& c, const Instr& in, uint32_t mask);

// Calls f(lane) for every lane of mask, in ascending order; f returns false
// to stop (after a fault).
template <class F>
inline void for_lanes(uint32_t mask, F&& f) {
  if (mask == 0xFFFFFFFFu) {
    for (int l = 0; l < 32; ++l) {
      if (!f(l)) return;
    }
    return;
  }
  while (mask) {
    const int l = __builtin_ctz(mask);
    mask &= mask - 1;
    if (!f(l)) return;
  }
}

// Like for_lanes, for side-effect-free work that cannot stop.
template <class F>
inline void each_lane(uint32_t mask, F&& f) {
  if (mask == 0xFFFFFFFFu) {
    for (int l = 0; l < 32; ++l) f(l);
    return;
  }
  while (mask) {
    const int l = __builtin_ctz(mask);
    mask &= mask - 1;
    f(l);
  }
}

// Records the first fault of the block; the scheduler stops the block.
void raise(Ctx& c, const Instr& in, int lane, int result, uint64_t address, std::string reason);

// Thread coordinates of a linear thread index.
void thread_coords(const LaunchSpec& launch, uint32_t linear, uint32_t out[3]);

constexpr int kIllegalAddress = 700;
constexpr int kMisalignedAddress = 716;
constexpr int kAssert = 710;
constexpr int kLaunchFailed = 719;

}  // namespace tvnsim::exec
