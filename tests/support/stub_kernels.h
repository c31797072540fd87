// A kernel source with every kernel of the engine's table as an empty body
// with the real parameter list: a module the table can be built from in
// seconds, for tests that need the table but not the arithmetic (dispatch
// tables read from the launch log, construction and cache tests).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tesvan::test {

// Names of every kernel the engine looks up, in lookup order.
const std::vector<std::string>& engine_kernel_names();

// CUDA C++ source defining every kernel of engine_kernel_names() except the
// omitted ones.  Pointer parameters are 64-bit, ints 32-bit, floats f32, in
// the engine's parameter order, so launch-log arguments decode as for the
// real kernels.
std::string stub_kernel_source(const std::vector<std::string>& omit = {});

}  // namespace tesvan::test
