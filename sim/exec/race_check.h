// Shared-memory race detection.
//
// Two threads of a block touching the same shared memory between the same
// two block barriers, at least one of them writing, is a race.  Memory is
// tracked in 2-byte units, so threads filling neighbouring bf16/f16
// elements of one word do not race; two threads storing single bytes into
// the same unit are reported.  Lanes of one warp are ordered by a
// warp-synchronous point between their accesses (bar.warp.sync or any warp
// collective).  One record per unit keeps the writer and up to two readers
// of the current barrier interval; records of older intervals are stale and
// read as empty.
#pragma once

#include <cstdint>
#include <vector>

#include "exec/context.h"

namespace tvnsim::exec {

class RaceCheck {
 public:
  // Starts a block with `shared_bytes` of shared memory.
  void begin_block(uint32_t shared_bytes);
  // A block barrier completed: a new interval starts.
  void barrier() { next_interval(); }
  // Record an access of [addr, addr + size) by thread `thread` (lane of c.w);
  // false after raising the race fault.
  bool read(Ctx& c, const Instr& in, int lane, uint32_t thread, uint32_t addr, uint32_t size);
  bool write(Ctx& c, const Instr& in, int lane, uint32_t thread, uint32_t addr, uint32_t size);

 private:
  static constexpr uint16_t kNone = 0xFFFF;
  struct Unit {
    uint32_t interval = 0;
    uint16_t writer = kNone, reader1 = kNone, reader2 = kNone;
    uint32_t writer_gen = 0, reader1_gen = 0, reader2_gen = 0;
  };
  std::vector<Unit> units_;
  uint32_t interval_ = 0;

  void next_interval();
  Unit& unit(uint32_t index);
  bool report(Ctx& c, const Instr& in, int lane, uint32_t thread, uint32_t other, bool other_wrote,
              bool writing, uint32_t addr);
};

}  // namespace tvnsim::exec
