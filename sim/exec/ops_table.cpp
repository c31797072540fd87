#include "exec/ops.h"

namespace tvnsim::exec {

// Fences order nothing in a memory that every access reaches at once.
void nop(Ctx&, const Instr&, uint32_t) {}

#define TVNSIM_HANDLER_ENTRY(op, mnemonic, decoder, fn) fn,
#define TVNSIM_HANDLER_NONE(op, mnemonic, decoder, fn)
const Handler kHandlers[ptx::kNumHandledOps] = {TVNSIM_OP_LIST(TVNSIM_HANDLER_ENTRY, TVNSIM_HANDLER_NONE)};
#undef TVNSIM_HANDLER_ENTRY
#undef TVNSIM_HANDLER_NONE

}  // namespace tvnsim::exec
