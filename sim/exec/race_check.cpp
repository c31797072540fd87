#include "exec/race_check.h"

#include <cstdio>

namespace tvnsim::exec {
namespace {

// Whether an earlier access by `other` (at warp-sync generation `gen`) is
// ordered before the current access by `thread`.
bool ordered(uint32_t other, uint32_t gen, uint32_t thread, uint32_t current_gen) {
  return other == thread || ((other >> 5) == (thread >> 5) && gen != current_gen);
}

}  // namespace

void RaceCheck::begin_block(uint32_t shared_bytes) {
  const size_t n = (static_cast<size_t>(shared_bytes) + 1) / 2;
  if (units_.size() < n) units_.resize(n);
  next_interval();
}

void RaceCheck::next_interval() {
  if (++interval_ == 0) {
    // The counter wrapped: forget every record so that none looks current.
    for (Unit& u : units_) u = Unit{};
    interval_ = 1;
  }
}

RaceCheck::Unit& RaceCheck::unit(uint32_t index) {
  Unit& u = units_[index];
  if (u.interval != interval_) {
    u = Unit{};
    u.interval = interval_;
  }
  return u;
}

bool RaceCheck::report(Ctx& c, const Instr& in, int lane, uint32_t thread, uint32_t other,
                       bool other_wrote, bool writing, uint32_t addr) {
  uint32_t a[3], b[3];
  thread_coords(*c.b.launch, other, a);
  thread_coords(*c.b.launch, thread, b);
  char buf[256];
  std::snprintf(buf, sizeof buf,
                "shared-memory race at offset 0x%x: thread (%u,%u,%u) %s it and "
                "thread (%u,%u,%u) %s it with no barrier between",
                addr, a[0], a[1], a[2], other_wrote ? "wrote" : "read", b[0], b[1], b[2],
                writing ? "writes" : "reads");
  raise(c, in, lane, kLaunchFailed, addr, buf);
  return false;
}

bool RaceCheck::read(Ctx& c, const Instr& in, int lane, uint32_t thread, uint32_t addr,
                     uint32_t size) {
  const uint32_t gen = c.w.sync_gen;
  const uint16_t t = static_cast<uint16_t>(thread);
  for (uint32_t i = addr / 2, end = (addr + size + 1) / 2; i < end; ++i) {
    Unit& w = unit(i);
    if (w.writer != kNone && !ordered(w.writer, w.writer_gen, thread, gen)) {
      return report(c, in, lane, thread, w.writer, true, false, i * 2);
    }
    if (w.reader1 == kNone || w.reader1 == t) {
      w.reader1 = t;
      w.reader1_gen = gen;
    } else if (w.reader2 == kNone || w.reader2 == t ||
               ((w.reader2 >> 5) == (w.reader1 >> 5) && (t >> 5) != (w.reader1 >> 5))) {
      // Prefer two readers of different warps: within a warp, order may later
      // be established by a warp-synchronous point, across warps only by a
      // barrier.
      w.reader2 = t;
      w.reader2_gen = gen;
    }
  }
  return true;
}

bool RaceCheck::write(Ctx& c, const Instr& in, int lane, uint32_t thread, uint32_t addr,
                      uint32_t size) {
  const uint32_t gen = c.w.sync_gen;
  for (uint32_t i = addr / 2, end = (addr + size + 1) / 2; i < end; ++i) {
    Unit& w = unit(i);
    if (w.writer != kNone && !ordered(w.writer, w.writer_gen, thread, gen)) {
      return report(c, in, lane, thread, w.writer, true, true, i * 2);
    }
    if (w.reader1 != kNone && !ordered(w.reader1, w.reader1_gen, thread, gen)) {
      return report(c, in, lane, thread, w.reader1, false, true, i * 2);
    }
    if (w.reader2 != kNone && !ordered(w.reader2, w.reader2_gen, thread, gen)) {
      return report(c, in, lane, thread, w.reader2, false, true, i * 2);
    }
    w.writer = static_cast<uint16_t>(thread);
    w.writer_gen = gen;
    w.reader1 = w.reader2 = kNone;
  }
  return true;
}

}  // namespace tvnsim::exec
