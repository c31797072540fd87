#include "exec/executor.h"

namespace tvnsim {

ExecResult execute(const LaunchSpec&, AddressSpace&, const ExecOptions&) {
  ExecResult r;
  r.result = 801;  // CUDA_ERROR_NOT_SUPPORTED
  r.message = "execution is not implemented yet";
  return r;
}

}  // namespace tvnsim
