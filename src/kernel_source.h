// The GPU code the engine carries: CUDA C++ text embedded at build time from
// kernels/ and compiled at run time.
#pragma once

#include <string>
#include <string_view>

namespace tesvan {

struct KernelSourceUnits {
  std::string_view prelude;  // dtype helpers, first so later units can use them
  std::string_view cast;     // elementwise f32 <-> bf16/f16 conversions
  std::string_view main;     // every GEMM, split, reduce, typed and tensor-core kernel
};

const KernelSourceUnits& kernel_source_units();

// The single NVRTC program: the three units joined by one line feed.
std::string assemble_kernel_source();

}  // namespace tesvan
