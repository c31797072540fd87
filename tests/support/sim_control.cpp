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
#define TVN_SIM_LOOKUP(name) c.name = reinterpret_cast<decltype(c.name)>(dlsym(h, #name));
    TVN_SIM_CONTROL_API(TVN_SIM_LOOKUP)
#undef TVN_SIM_LOOKUP
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
