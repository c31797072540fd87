// The floating-point environment blocks run in.  The numeric models compute
// round-to-nearest results on the host FPU, so a caller's rounding mode or
// flush-to-zero setting (from -ffast-math start-up code, or
// torch.set_flush_denormal) would change simulated results, and so would
// the load's reading of decimal and narrowed float literals.  A GPU never
// depends on the host's state: every thread that runs blocks, and a module
// load, holds a DefaultFpEnv for the duration.
#pragma once

#include <cfenv>

namespace tvnsim::num {

class DefaultFpEnv {
 public:
  // Saves the thread's environment and sets round-to-nearest-even with
  // subnormal inputs and results kept (x86: MXCSR FTZ and DAZ off).
  DefaultFpEnv();
  // Restores the saved environment, status flags included.
  ~DefaultFpEnv();
  DefaultFpEnv(const DefaultFpEnv&) = delete;
  DefaultFpEnv& operator=(const DefaultFpEnv&) = delete;

 private:
  std::fenv_t saved_;
  unsigned control_ = 0;  // x86 MXCSR, which fenv_t may not fully restore
};

}  // namespace tvnsim::num
