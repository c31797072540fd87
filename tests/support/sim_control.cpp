#include "support/sim_control.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

#include "driver.h"

namespace tesvan::test {

const SimControl& sim() {
  static const SimControl control = [] {
    SimControl c;
    auto api = cu::cuda();
    if (!api.ok()) return c;
    void* h = api.value()->handle;
#define TVN_SIM_FN(name) c.name = reinterpret_cast<decltype(c.name)>(dlsym(h, #name));
    TVN_SIM_FN(tvnsim_get_config)
    TVN_SIM_FN(tvnsim_set_config)
    TVN_SIM_FN(tvnsim_reset)
    TVN_SIM_FN(tvnsim_launch_count)
    TVN_SIM_FN(tvnsim_launch_get)
    TVN_SIM_FN(tvnsim_launch_clear)
    TVN_SIM_FN(tvnsim_inject)
    TVN_SIM_FN(tvnsim_clear_injections)
    TVN_SIM_FN(tvnsim_call_count)
    TVN_SIM_FN(tvnsim_resources)
    TVN_SIM_FN(tvnsim_last_fault)
    TVN_SIM_FN(tvnsim_last_error_message)
    TVN_SIM_FN(tvnsim_drain)
#undef TVN_SIM_FN
    return c;
  }();
  // A build that meant to test on the simulator must not pass by skipping.
  if (!control.available() && std::getenv("TESVAN_TEST_EXPECT_SIM")) {
    std::fprintf(stderr, "the simulated device was expected (TESVAN_TEST_EXPECT_SIM) but %s\n",
                 cu::cuda().ok() ? "libcuda.so.1 is not the simulator" : "libcuda.so.1 did not load");
    std::exit(1);
  }
  return control;
}

}  // namespace tesvan::test
