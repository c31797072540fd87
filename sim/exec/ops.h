// Instruction handlers, one family per file (ops_integer, ops_float,
// ops_convert, ops_memory, ops_async, ops_warp, ops_mma).  Every operation of
// the op list that is not control flow has one, declared here from the list.
#pragma once

#include "exec/context.h"

namespace tvnsim::exec {

#define TVNSIM_HANDLER_DECL(op, mnemonic, decoder, fn) void fn(Ctx& c, const Instr& in, uint32_t mask);
#define TVNSIM_HANDLER_NONE(op, mnemonic, decoder, fn)
TVNSIM_OP_LIST(TVNSIM_HANDLER_DECL, TVNSIM_HANDLER_NONE)
#undef TVNSIM_HANDLER_DECL
#undef TVNSIM_HANDLER_NONE

// For .aligned collectives: the whole warp must execute it, converged;
// otherwise raises the fault and returns false.
bool aligned_collective(Ctx& c, const Instr& in, uint32_t mask, const char* what);

// The handler of every non-control opcode, indexed by the opcode.
extern const Handler kHandlers[ptx::kNumHandledOps];

}  // namespace tvnsim::exec
