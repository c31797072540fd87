#include "exec/ops.h"

namespace tvnsim::exec {
namespace {

void nop(Ctx&, const Instr&, uint32_t) {}

}  // namespace

Handler handler_for(ptx::Op op) {
  for (Handler (*family)(ptx::Op) : {integer_handler, float_handler, convert_handler, memory_handler,
                                     async_handler, warp_handler, mma_handler}) {
    if (Handler h = family(op)) return h;
  }
  return op == ptx::Op::Nop ? nop : nullptr;
}

}  // namespace tvnsim::exec
