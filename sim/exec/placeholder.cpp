// Temporary scaffolding so the driver half links before the PTX half lands;
// removed by the first commit of the real parser and interpreter.
#include "exec/executor.h"
#include "ptx/module.h"

namespace tvnsim {

LoadResult load_program(std::string_view, AddressSpace&) {
  LoadResult r;
  r.result = 218;  // CUDA_ERROR_INVALID_PTX
  r.message = "PTX loading is not implemented yet";
  return r;
}

ExecResult execute(const LaunchSpec&, AddressSpace&, const ExecOptions&) {
  ExecResult r;
  r.result = 801;  // CUDA_ERROR_NOT_SUPPORTED
  r.message = "execution is not implemented yet";
  return r;
}

}  // namespace tvnsim
