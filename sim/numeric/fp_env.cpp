#include "numeric/fp_env.h"

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#define TVNSIM_MXCSR 1
#endif

namespace tvnsim::num {

#ifdef TVNSIM_MXCSR
// Every exception masked, round to nearest, FTZ (bit 15) and DAZ (bit 6) off.
constexpr unsigned kDefaultMxcsr = 0x1F80;
#endif

DefaultFpEnv::DefaultFpEnv() {
#ifdef TVNSIM_MXCSR
  control_ = _mm_getcsr();
#endif
  std::fegetenv(&saved_);
  std::fesetenv(FE_DFL_ENV);  // also clears aarch64's FPCR.FZ
#ifdef TVNSIM_MXCSR
  _mm_setcsr(kDefaultMxcsr);
#endif
}

DefaultFpEnv::~DefaultFpEnv() {
  std::fesetenv(&saved_);
#ifdef TVNSIM_MXCSR
  _mm_setcsr(control_);
#endif
}

}  // namespace tvnsim::num
