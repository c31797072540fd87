// Access to the simulated device's control API from tests.
//
// The functions are looked up in the same libcuda.so.1 the engine loads, so
// on a real driver they are absent: `available()` is then false and tests
// that need the simulator skip themselves (GTEST_SKIP) instead of failing.
#pragma once

#include <string>

#include "tvnsim.h"

namespace tesvan::test {

struct SimControl {
#define TVN_SIM_FN(name) decltype(&::name) name = nullptr;
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
  bool available() const { return tvnsim_reset != nullptr; }
};

// Loaded once; null members when the driver is not the simulated device.
const SimControl& sim();

}  // namespace tesvan::test
