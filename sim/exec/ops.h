// Instruction handlers, one family per file.  Each family returns the
// handler of an opcode it implements, or nullptr.
#pragma once

#include "exec/context.h"

namespace tvnsim::exec {

Handler integer_handler(ptx::Op op);   // ops_integer.cpp
Handler float_handler(ptx::Op op);     // ops_float.cpp
Handler convert_handler(ptx::Op op);   // ops_convert.cpp: mov, cvt, cvta, setp, selp, predicates
Handler memory_handler(ptx::Op op);    // ops_memory.cpp: ld, st
Handler async_handler(ptx::Op op);     // ops_async.cpp: cp.async
Handler warp_handler(ptx::Op op);      // ops_warp.cpp: shfl, vote, bar.warp.sync, ldmatrix
Handler mma_handler(ptx::Op op);       // ops_mma.cpp

// For .aligned collectives: the whole warp must execute it, converged;
// otherwise raises the fault and returns false.
bool aligned_collective(Ctx& c, const Instr& in, uint32_t mask, const char* what);

// The handler of every non-control opcode (table built once).
Handler handler_for(ptx::Op op);

}  // namespace tvnsim::exec
