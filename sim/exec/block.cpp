// The SIMT scheduler.  Every lane has its own program counter; a warp always
// runs the group of its runnable lanes with the lowest one.  Structured code
// (NVRTC's block order) reconverges that way at the first common
// instruction, loops included.  A warp runs until all its lanes have exited
// or wait at a block barrier, or for a long quantum; race-free kernels cannot
// tell this order from the hardware's, and the race check reports the ones
// that could.
#include "exec/block.h"

#include <algorithm>
#include <cstring>

#include "exec/ops.h"

namespace tvnsim::exec {
namespace {

using ptx::Op;
using ptx::Special;

const Handler* handler_table() {
  // Never destroyed: blocks may still run on other threads during exit.
  static const auto* table = [] {
    auto* t = new std::vector<Handler>(static_cast<size_t>(Op::Bra), nullptr);
    for (size_t i = 0; i < t->size(); ++i) (*t)[i] = handler_for(static_cast<Op>(i));
    return t;
  }();
  return table->data();
}

uint32_t lowest_pc(const Warp& w, uint32_t lanes) {
  uint32_t best = UINT32_MAX;
  while (lanes) {
    const int l = __builtin_ctz(lanes);
    lanes &= lanes - 1;
    best = std::min(best, w.pc[l]);
  }
  return best;
}

// The running group: the runnable lanes at the lowest program counter.
void select_group(Warp& w) {
  const uint32_t r = w.runnable();
  w.cur_pc = lowest_pc(w, r);
  uint32_t m = 0;
  for (uint32_t lanes = r; lanes;) {
    const int l = __builtin_ctz(lanes);
    lanes &= lanes - 1;
    if (w.pc[l] == w.cur_pc) m |= 1u << l;
  }
  w.cur_mask = m;
}

void store_group(Warp& w, uint32_t pc, uint32_t group) {
  for (uint32_t lanes = group; lanes;) {
    const int l = __builtin_ctz(lanes);
    lanes &= lanes - 1;
    w.pc[l] = pc;
  }
}

// Completes barrier `id` once every thread it waits for has arrived.
void try_release(Block& b, uint32_t id) {
  const uint32_t need = b.expected[id] ? b.expected[id] : b.live_threads;
  if (b.arrived[id] == 0 || b.arrived[id] < need) return;
  for (uint32_t i = 0; i < b.num_warps; ++i) {
    Warp& w = b.warps[i];
    w.blocked &= ~w.waiting[id];
    w.waiting[id] = 0;
  }
  b.arrived[id] = 0;
  b.expected[id] = 0;
  if (b.race) b.race->barrier();
}

std::string read_device_string(const Block& b, uint64_t addr) {
  std::string s;
  for (size_t i = 0; i < 512; ++i) {
    const uint8_t* p = b.memory->resolve(addr + i, 1);
    if (!p || *p == 0) break;
    s.push_back(static_cast<char>(*p));
  }
  return s;
}

// call __assertfail(message, file, line, function, char size).
void assertion(Ctx& c, const Instr& in, int lane) {
  const Block& b = c.b;
  const uint8_t* args = b.call_params + static_cast<size_t>(b.thread_of(c.w, lane)) * b.call_bytes;
  auto arg = [&](int i, uint32_t size) -> uint64_t {
    uint64_t v = 0;
    if (in.o[i] + size <= b.call_bytes) std::memcpy(&v, args + in.o[i], size);
    return v;
  };
  const std::string message = read_device_string(b, arg(0, 8));
  const std::string file = read_device_string(b, arg(1, 8));
  const uint32_t line = static_cast<uint32_t>(arg(2, 4));
  const std::string function = read_device_string(b, arg(3, 8));
  raise(c, in, lane, kAssert, 0,
        "device assertion failed: " + file + ":" + std::to_string(line) + ": " + function +
            ": Assertion `" + message + "` failed.");
}

constexpr uint32_t kQuantum = 1u << 20;  // warp-instructions

void run_warp(Block& b, Warp& w, const Handler* handlers) {
  Ctx c{b, w};
  const Instr* code = b.entry->code.data();
  select_group(w);
  uint32_t pc = w.cur_pc, group = w.cur_mask;
  uint32_t others = w.runnable() & ~group;
  uint32_t min_other = others ? lowest_pc(w, others) : UINT32_MAX;
  uint64_t count = 0;
  // Parks the running group and picks the next one.
  auto regroup = [&] {
    store_group(w, pc, group);
    select_group(w);
    pc = w.cur_pc;
    group = w.cur_mask;
    others = w.runnable() & ~group;
    min_other = others ? lowest_pc(w, others) : UINT32_MAX;
  };
  // A warp that spins waiting for another warp must let it run: after a
  // quantum the block scheduler moves on to the next warp.
  for (uint32_t steps = 0; group && steps < kQuantum; ++steps) {
    const Instr& in = code[pc];
    uint32_t mask = group;
    if (in.guard != ptx::kNoGuard) {
      const uint32_t p = w.preds[in.guard & ~ptx::kGuardNegated];
      mask &= (in.guard & ptx::kGuardNegated) ? ~p : p;
    }
    count += static_cast<uint64_t>(__builtin_popcount(group));
    if (!ptx::op_is_control(in.op)) {
      if (mask) handlers[static_cast<size_t>(in.op)](c, in, mask);
      if (b.faulted) break;
      ++pc;
    } else {
      switch (in.op) {
        case Op::Bra: {
          const uint32_t stay = group & ~mask;
          if (stay == 0) {
            pc = in.target;
          } else if (mask == 0) {
            ++pc;
          } else {
            // Divergence: each side keeps its own program counter.
            store_group(w, in.target, mask);
            store_group(w, pc + 1, stay);
            group = 0;
            regroup();
            continue;
          }
          break;
        }
        case Op::Exit: {
          if (mask) {
            w.live &= ~mask;
            b.live_threads -= static_cast<uint32_t>(__builtin_popcount(mask));
            group &= ~mask;
            // Fewer live threads may complete a barrier the others wait at.
            for (uint32_t id = 0; id < 16; ++id) try_release(b, id);
          }
          if (group) {
            ++pc;
          } else {
            regroup();
            continue;
          }
          break;
        }
        case Op::Trap:
          if (mask) {
            raise(c, in, __builtin_ctz(mask), kLaunchFailed, 0, "trap instruction executed");
          }
          ++pc;
          break;
        case Op::AssertFail:
          if (mask) assertion(c, in, __builtin_ctz(mask));
          ++pc;
          break;
        case Op::Bar: {
          if (mask == 0) {
            ++pc;
            break;
          }
          // An aligned barrier must be reached by the warp's lanes together:
          // lanes predicated off at it, or waiting at another barrier
          // instruction, mean a diverged warp.  Lanes that exit instead of
          // arriving are fine (they no longer count).
          if (in.mod && (mask != group || (w.blocked && w.barrier_pc != pc))) {
            raise(c, in, __builtin_ctz(mask), kLaunchFailed, 0,
                  "aligned barrier reached by a diverged warp (other lanes predicated off or "
                  "waiting at another barrier)");
            break;
          }
          const int first = __builtin_ctz(mask);
          const uint32_t id = static_cast<uint32_t>(w.reg(in.o[0])[first]);
          if (id >= 16) {
            raise(c, in, first, kLaunchFailed, 0, "barrier id " + std::to_string(id) + " out of range");
            break;
          }
          const uint32_t n = (in.flags & ptx::kOptional) ? static_cast<uint32_t>(w.reg(in.o[1])[first]) : 0;
          if (b.arrived[id] != 0 && b.expected[id] != n) {
            raise(c, in, first, kLaunchFailed, 0, "threads wait at one barrier with different thread counts");
            break;
          }
          b.expected[id] = n;
          b.arrived[id] += static_cast<uint32_t>(__builtin_popcount(mask));
          w.blocked |= mask;
          w.waiting[id] |= mask;
          w.barrier_pc = pc;
          store_group(w, pc + 1, mask);
          group &= ~mask;
          store_group(w, pc + 1, group);  // lanes predicated off go on past it
          try_release(b, id);
          group = 0;
          regroup();
          continue;
        }
        default:
          raise(c, in, __builtin_ctz(group), kLaunchFailed, 0, "internal: unhandled control instruction");
          break;
      }
      if (b.faulted) break;
    }
    if (others && pc >= min_other) regroup();
  }
  if (group) store_group(w, pc, group);
  b.instructions += count;
}

void init_warp(const LaunchPlan& plan, Block& b, Warp& w, uint32_t index, BlockScratch& s) {
  const DecodedEntry& e = *plan.entry;
  const LaunchSpec& L = *plan.launch;
  const uint32_t slots = e.num_slots;
  const uint32_t preds = std::max<uint32_t>(e.num_preds, 1);
  w = Warp{};
  w.regs = s.regs.data() + static_cast<size_t>(index) * slots * 32;
  w.preds = s.preds.data() + static_cast<size_t>(index) * preds;
  w.index = index;
  const uint32_t lanes = std::min<uint32_t>(32, b.num_threads - 32 * index);
  w.live = lanes == 32 ? 0xFFFFFFFFu : (1u << lanes) - 1;
  w.pending = &s.pending[index];
  w.pending->clear();
  for (const auto& [slot, value] : *plan.constants) {
    uint64_t* r = w.reg(slot);
    for (int l = 0; l < 32; ++l) r[l] = value;
  }
  for (const auto& [slot, which] : e.specials) {
    uint64_t* r = w.reg(slot);
    for (uint32_t l = 0; l < 32; ++l) {
      uint32_t t[3];
      thread_coords(L, 32 * index + l, t);
      uint64_t v = 0;
      switch (which) {
        case Special::TidX: v = t[0]; break;
        case Special::TidY: v = t[1]; break;
        case Special::TidZ: v = t[2]; break;
        case Special::NtidX: v = L.block.x; break;
        case Special::NtidY: v = L.block.y; break;
        case Special::NtidZ: v = L.block.z; break;
        case Special::CtaidX: v = b.ctaid[0]; break;
        case Special::CtaidY: v = b.ctaid[1]; break;
        case Special::CtaidZ: v = b.ctaid[2]; break;
        case Special::NctaidX: v = L.grid.x; break;
        case Special::NctaidY: v = L.grid.y; break;
        case Special::NctaidZ: v = L.grid.z; break;
        case Special::LaneId: v = l; break;
        case Special::WarpId: v = index; break;
        case Special::NWarpId: v = 64; break;
        case Special::LanemaskEq: v = 1ull << l; break;
        case Special::LanemaskLt: v = (1ull << l) - 1; break;
        case Special::LanemaskLe: v = (2ull << l) - 1; break;
        case Special::LanemaskGt: v = ~((2ull << l) - 1) & 0xFFFFFFFFull; break;
        case Special::LanemaskGe: v = ~((1ull << l) - 1) & 0xFFFFFFFFull; break;
        case Special::DynamicSmemSize: v = L.dynamic_shared; break;
        case Special::TotalSmemSize: v = plan.shared_size; break;
      }
      r[l] = v;
    }
  }
}

}  // namespace

void run_block(const LaunchPlan& plan, uint64_t linear, BlockScratch& s, BlockOutcome* out) {
  const LaunchSpec& L = *plan.launch;
  const DecodedEntry& e = *plan.entry;
  Block b;
  b.entry = &e;
  b.info = plan.info;
  b.launch = &L;
  b.memory = plan.memory;
  b.mma_model = plan.mma_model;
  b.ctaid[0] = static_cast<uint32_t>(linear % L.grid.x);
  b.ctaid[1] = static_cast<uint32_t>((linear / L.grid.x) % L.grid.y);
  b.ctaid[2] = static_cast<uint32_t>(linear / (static_cast<uint64_t>(L.grid.x) * L.grid.y));
  b.num_threads = L.block.x * L.block.y * L.block.z;
  b.live_threads = b.num_threads;
  b.num_warps = (b.num_threads + 31) / 32;

  // Fresh state for the block; the buffers only ever grow.
  const size_t regs = static_cast<size_t>(b.num_warps) * e.num_slots * 32;
  const size_t preds = static_cast<size_t>(b.num_warps) * std::max<uint32_t>(e.num_preds, 1);
  if (s.regs.size() < regs) s.regs.resize(regs);
  if (s.preds.size() < preds) s.preds.resize(preds);
  std::fill_n(s.regs.data(), regs, uint64_t{0});
  std::fill_n(s.preds.data(), preds, uint32_t{0});
  if (s.warps.size() < b.num_warps) s.warps.resize(b.num_warps);
  if (s.pending.size() < b.num_warps) s.pending.resize(b.num_warps);
  const size_t local = static_cast<size_t>(b.num_threads) * e.local_bytes;
  const size_t call = static_cast<size_t>(b.num_threads) * e.call_param_bytes;
  if (s.shared.size() < plan.shared_size) s.shared.resize(plan.shared_size);
  if (s.local.size() < local) s.local.resize(local);
  if (s.call.size() < call) s.call.resize(call);
  // Uninitialised memory reads as NaN, as fresh device memory does.  fill_n,
  // not memset: an empty vector's data() may be null.
  std::fill_n(s.shared.data(), plan.shared_size, uint8_t{AddressSpace::kFillByte});
  std::fill_n(s.local.data(), local, uint8_t{AddressSpace::kFillByte});
  std::fill_n(s.call.data(), call, uint8_t{0});
  b.shared = s.shared.data();
  b.shared_size = plan.shared_size;
  b.local = s.local.data();
  b.local_bytes = e.local_bytes;
  b.call_params = s.call.data();
  b.call_bytes = e.call_param_bytes;
  if (plan.racecheck) {
    s.race.begin_block(plan.shared_size);
    b.race = &s.race;
  }
  b.warps = s.warps.data();
  for (uint32_t i = 0; i < b.num_warps; ++i) init_warp(plan, b, b.warps[i], i, s);

  const Handler* handlers = handler_table();
  for (;;) {
    bool ran = false, alive = false;
    for (uint32_t i = 0; i < b.num_warps && !b.faulted; ++i) {
      Warp& w = b.warps[i];
      if (w.runnable()) {
        run_warp(b, w, handlers);
        ran = true;
      }
      alive |= w.live != 0;
    }
    if (b.faulted || !alive) break;
    if (!ran) {
      // Every live thread waits at a barrier that cannot complete.
      for (uint32_t i = 0; i < b.num_warps; ++i) {
        Warp& w = b.warps[i];
        if (w.blocked) {
          const int lane = __builtin_ctz(w.blocked);
          Ctx c{b, w};
          raise(c, e.code[w.pc[lane] - 1], lane, kLaunchFailed, 0,
                "deadlock: threads wait at barriers that the other live threads never reach");
          break;
        }
      }
      break;
    }
  }
  out->faulted = b.faulted;
  out->fault = std::move(b.fault);
  out->instructions = b.instructions;
}

}  // namespace tvnsim::exec
