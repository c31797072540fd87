// Access to the simulated device's control API from tests.
//
// The functions are looked up in the same libcuda.so.1 the engine loads, so
// on a real driver they are absent: `available()` is then false and tests
// that need the simulator skip themselves (GTEST_SKIP) instead of failing.
#pragma once

#include <string>

#include "tvnsim.h"

namespace tesvan::test {

// The control functions, listed once: X(name) for each.
#define TVN_SIM_CONTROL_API(X)                                                              \
  X(tvnsim_get_config) X(tvnsim_set_config) X(tvnsim_reset) X(tvnsim_launch_count)         \
  X(tvnsim_launch_get) X(tvnsim_launch_clear) X(tvnsim_inject) X(tvnsim_clear_injections)   \
  X(tvnsim_call_count) X(tvnsim_resources) X(tvnsim_last_fault)                             \
  X(tvnsim_last_error_message) X(tvnsim_drain)

struct SimControl {
#define TVN_SIM_MEMBER(name) decltype(&::name) name = nullptr;
  TVN_SIM_CONTROL_API(TVN_SIM_MEMBER)
#undef TVN_SIM_MEMBER
  bool available() const { return tvnsim_reset != nullptr; }
};

// Loaded once; null members when the driver is not the simulated device.
const SimControl& sim();

}  // namespace tesvan::test
