#include <cstdio>

#include "exec/context.h"

namespace tvnsim::exec {

void thread_coords(const LaunchSpec& launch, uint32_t linear, uint32_t out[3]) {
  out[0] = linear % launch.block.x;
  out[1] = (linear / launch.block.x) % launch.block.y;
  out[2] = linear / (launch.block.x * launch.block.y);
}

void raise(Ctx& c, const Instr& in, int lane, int result, uint64_t address, std::string reason) {
  if (c.b.faulted) return;
  c.b.faulted = true;
  c.b.fault.result = result;
  c.b.fault.thread = c.b.thread_of(c.w, lane);
  c.b.fault.pc = static_cast<uint32_t>(&in - c.b.entry->code.data());
  c.b.fault.address = address;
  c.b.fault.reason = std::move(reason);
}

}  // namespace tvnsim::exec
