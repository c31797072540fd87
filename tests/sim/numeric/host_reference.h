// Independent references for the numeric models: the host FPU evaluated
// under a temporarily switched rounding mode.
#pragma once

#include <bit>
#include <cfenv>
#include <cstdint>

#include "numeric/numeric.h"

namespace numtest {

using tvnsim::num::Round;

inline constexpr Round kAllModes[] = {Round::Nearest, Round::Zero, Round::Down, Round::Up};

inline int fe_mode(Round r) {
  switch (r) {
    case Round::Nearest: return FE_TONEAREST;
    case Round::Zero: return FE_TOWARDZERO;
    case Round::Down: return FE_DOWNWARD;
    case Round::Up: return FE_UPWARD;
  }
  return FE_TONEAREST;
}

// Runs f with the host in rounding mode r.  f must read its operands through
// volatile objects and the result is stored through one before the mode is
// restored, so the compiler cannot move the arithmetic out of the window.
template <class T, class F>
T host_rounded(Round r, F f) {
  const int old = std::fegetround();
  std::fesetround(fe_mode(r));
  volatile T v = f();
  std::fesetround(old);
  return v;
}

inline uint32_t bits(float x) { return std::bit_cast<uint32_t>(x); }
inline uint64_t bits(double x) { return std::bit_cast<uint64_t>(x); }

}  // namespace numtest
