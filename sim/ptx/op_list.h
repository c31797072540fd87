// The simulator's one list of operations.  Each row names the opcode, a PTX
// mnemonic that decodes to it, the OpDecoder method that decodes that
// mnemonic (ptx/decode_ops.cpp), and the function that executes it.  The list
// expands into the `Op` enum (ptx/instr.h), the decoder's mnemonic table, the
// handler table (exec/ops_table.cpp) and the scheduler's control dispatch
// (exec/block.cpp), so an op without a decoder or an executor does not build.
//
//   OP(op, mnemonic, decoder, handler): a lane-group operation; the handler
//       is declared in exec/ops.h and defined in one of exec/ops_*.cpp.
//   CONTROL(op, mnemonic, decoder, function): changes where the warp's lanes
//       go next; the function is the scheduler's (exec/block.cpp).
//
// Control rows come last: everything from the first of them on is control.
#pragma once

#define TVNSIM_OP_LIST(OP, CONTROL)                                  \
  /* integer and bit operations (type = operand type) */            \
  OP(IAdd, "add", arith, iadd)                                       \
  OP(ISub, "sub", arith, isub)                                       \
  OP(IMulLo, "mul", arith, imul_lo)                                  \
  OP(IMulHi, "mul", arith, imul_hi)                                  \
  OP(IMulWide, "mul", arith, imul_wide)                              \
  OP(IMadLo, "mad", arith, imad_lo)                                  \
  OP(IMadHi, "mad", arith, imad_hi)                                  \
  OP(IMadWide, "mad", arith, imad_wide)                              \
  OP(IDiv, "div", arith, idiv)                                       \
  OP(IRem, "rem", arith, irem)                                       \
  OP(IAbs, "abs", arith, iabs)                                       \
  OP(INeg, "neg", arith, ineg)                                       \
  OP(IMin, "min", arith, imin)                                       \
  OP(IMax, "max", arith, imax)                                       \
  OP(And, "and", logic, band)                                        \
  OP(Or, "or", logic, bor)                                           \
  OP(Xor, "xor", logic, bxor)                                        \
  OP(Not, "not", logic, bnot)                                        \
  OP(Cnot, "cnot", logic, cnot)                                      \
  OP(Shl, "shl", shift, shl)                                         \
  OP(Shr, "shr", shift, shr)                                         \
  OP(Popc, "popc", bit_count, popc)                                  \
  OP(Clz, "clz", bit_count, clz)                                     \
  OP(Brev, "brev", bit_count, brev)                                  \
  OP(Bfe, "bfe", bitfield, bfe)                                      \
  OP(Bfi, "bfi", bitfield, bfi)                                      \
  OP(Prmt, "prmt", prmt, prmt)                                       \
  OP(Lop3, "lop3", lop3, lop3)                                       \
  OP(Shf, "shf", shf, shf)                                           \
  /* floating point (type F32 or F64; mod = Round) */                \
  OP(FAdd, "add", arith, fadd)                                       \
  OP(FSub, "sub", arith, fsub)                                       \
  OP(FMul, "mul", arith, fmul)                                       \
  OP(FFma, "fma", arith, ffma)                                       \
  OP(FDiv, "div", arith, fdiv)                                       \
  OP(FAbs, "abs", arith, fabs_)                                      \
  OP(FNeg, "neg", arith, fneg)                                       \
  OP(FMin, "min", arith, fmin_)                                      \
  OP(FMax, "max", arith, fmax_)                                      \
  OP(FRcp, "rcp", float_unary, frcp)                                 \
  OP(FSqrt, "sqrt", float_unary, fsqrt)                              \
  /* predicate logic on lane masks */                                \
  OP(PAnd, "and", logic, pand)                                       \
  OP(POr, "or", logic, por)                                          \
  OP(PXor, "xor", logic, pxor)                                       \
  OP(PNot, "not", logic, pnot)                                       \
  OP(PMov, "mov", mov, pmov)                                         \
  OP(PSet, "mov", mov, pset)                                         \
  /* comparisons and selection */                                    \
  OP(Setp, "setp", setp, setp)                                       \
  OP(Selp, "selp", selp, selp)                                       \
  /* data movement and conversion */                                 \
  OP(Mov, "mov", mov, mov)                                           \
  OP(Pack, "mov", mov, pack)                                         \
  OP(Unpack, "mov", mov, unpack)                                     \
  OP(Cvt, "cvt", cvt, cvt)                                           \
  OP(CvtPack, "cvt", cvt, cvt_pack)                                  \
  OP(CvtaToGeneric, "cvta", cvta, cvta_to_generic)                   \
  OP(CvtaFromGeneric, "cvta", cvta, cvta_from_generic)               \
  /* memory (space in `space`) */                                    \
  OP(Ld, "ld", ld, ld)                                               \
  OP(St, "st", st, st)                                               \
  OP(CpAsync, "cp", cp_async, cp_async)                              \
  OP(CpAsyncCommit, "cp", cp_async, cp_async_commit)                 \
  OP(CpAsyncWait, "cp", cp_async, cp_async_wait)                     \
  OP(Ldmatrix, "ldmatrix", ldmatrix, ldmatrix)                       \
  /* warp collectives */                                             \
  OP(Shfl, "shfl", shfl, shfl)                                       \
  OP(Vote, "vote", vote, vote)                                       \
  OP(WarpSync, "bar", barrier, warp_sync)                            \
  OP(ActiveMask, "activemask", activemask, activemask)               \
  OP(Mma, "mma", mma, mma)                                           \
  /* fences: no effect in the simulated memory model */              \
  OP(Nop, "membar", fence, nop)                                      \
  /* control flow */                                                 \
  CONTROL(Bra, "bra", bra, branch)                                   \
  CONTROL(Bar, "bar", barrier, block_barrier)                        \
  CONTROL(Exit, "exit", exit, exit_lanes)                            \
  CONTROL(Trap, "trap", trap, trap)                                  \
  CONTROL(AssertFail, "call", call, assert_fail)

// Other spellings of a mnemonic above: ALIAS(mnemonic, decoder).
#define TVNSIM_MNEMONIC_ALIASES(ALIAS) \
  ALIAS("barrier", barrier)            \
  ALIAS("ret", exit)                   \
  ALIAS("fence", fence)
