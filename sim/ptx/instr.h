// The decoded, executable form of PTX instructions.
//
// Every value operand is a register slot: immediates and special registers
// are given slots of their own that are filled when a warp starts, so an
// instruction handler only ever reads `regs[slot][lane]`.  Predicates live
// in a separate file of 32-bit lane masks.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ptx/op_list.h"

namespace tvnsim::ptx {

enum class Type : uint8_t {
  None, B8, B16, B32, B64, U8, U16, U32, U64, S8, S16, S32, S64,
  F16, F16x2, BF16, BF16x2, F32, F64, Pred,
};

inline uint32_t type_size(Type t) {
  switch (t) {
    case Type::B8: case Type::U8: case Type::S8: return 1;
    case Type::B16: case Type::U16: case Type::S16: case Type::F16: case Type::BF16: return 2;
    case Type::B32: case Type::U32: case Type::S32: case Type::F32: case Type::F16x2:
    case Type::BF16x2: return 4;
    case Type::B64: case Type::U64: case Type::S64: case Type::F64: return 8;
    default: return 0;
  }
}
inline bool type_signed(Type t) {
  return t == Type::S8 || t == Type::S16 || t == Type::S32 || t == Type::S64;
}
inline bool type_float(Type t) {
  return t == Type::F16 || t == Type::BF16 || t == Type::F32 || t == Type::F64 ||
         t == Type::F16x2 || t == Type::BF16x2;
}

#define TVNSIM_OP_NAME(op, mnemonic, decoder, fn) op,
enum class Op : uint8_t { TVNSIM_OP_LIST(TVNSIM_OP_NAME, TVNSIM_OP_NAME) };
#undef TVNSIM_OP_NAME

// Operations that the handler table covers; control operations follow them.
#define TVNSIM_OP_COUNT(op, mnemonic, decoder, fn) +1
#define TVNSIM_OP_SKIP(op, mnemonic, decoder, fn)
inline constexpr size_t kNumHandledOps = 0 TVNSIM_OP_LIST(TVNSIM_OP_COUNT, TVNSIM_OP_SKIP);
#define TVNSIM_OP_FIRST(op, mnemonic, decoder, fn) \
  static_assert(static_cast<size_t>(Op::op) < kNumHandledOps, "control rows come last");
TVNSIM_OP_LIST(TVNSIM_OP_FIRST, TVNSIM_OP_SKIP)
#undef TVNSIM_OP_FIRST
#undef TVNSIM_OP_SKIP
#undef TVNSIM_OP_COUNT

inline bool op_is_control(Op op) { return static_cast<size_t>(op) >= kNumHandledOps; }

enum class MemSpace : uint8_t { Global, Shared, Local, Param, CallParam, Generic };

// Comparison operators of setp.
enum class Cmp : uint8_t {
  Eq, Ne, Lt, Le, Gt, Ge,          // ordered (floats) / signed-or-unsigned by type (ints)
  Equ, Neu, Ltu, Leu, Gtu, Geu,    // unordered floats
  Num, Nan,
};

// Boolean combiner of setp with a third predicate operand.
enum class BoolOp : uint8_t { None, And, Or, Xor };

// Instruction flags, named per opcode: an op reads only the names of its own
// group, so groups reuse bits without sharing a meaning.
// f32 add, sub, mul, fma, div, abs, neg, min, max, rcp, sqrt:
constexpr uint8_t kFloatFtz = 1;       // flush subnormal inputs and results
constexpr uint8_t kFloatSat = 2;       // add/sub/mul/fma: clamp the result to [0, 1]
// integer add, sub:
constexpr uint8_t kIntSat = 1;         // .sat.s32: clamp to the s32 range
// cvt:
constexpr uint8_t kCvtFtz = 1;         // flush an f32 source and result
constexpr uint8_t kCvtSat = 2;         // clamp a float result to [0, 1]
constexpr uint8_t kCvtIntegral = 4;    // .rni/.rzi/.rmi/.rpi: round to an integral value
// setp:
constexpr uint8_t kSetpFtz = 1;        // flush f32 sources
constexpr uint8_t kSetpNotC = 2;       // the combining predicate is negated
constexpr uint8_t kSetpQ = 4;          // second destination q (p|q)
// shf:
constexpr uint8_t kShfLeft = 1;        // shf.l (else shf.r)
constexpr uint8_t kShfClamp = 2;       // shf.clamp (else .wrap)
// cp.async:
constexpr uint8_t kCpSrcSize = 1;      // the fourth operand is a source size
constexpr uint8_t kCpIgnoreSrc = 2;    // the fourth operand is the ignore-src predicate
constexpr uint8_t kCpIgnoreNot = 4;    // that predicate is negated
// cp.async.wait_group / wait_all:
constexpr uint8_t kCpWaitAll = 1;      // wait_all: commit, then wait for every group
// ldmatrix:
constexpr uint8_t kLdmatrixTrans = 1;  // .trans
// shfl:
constexpr uint8_t kShflQ = 1;          // predicate destination (d|p)
// vote:
constexpr uint8_t kVoteNotSource = 1;  // the source predicate is negated
// bar / barrier:
constexpr uint8_t kBarCount = 1;       // a thread-count operand is present

constexpr uint32_t kNoGuard = 0xFFFFFFFFu;
constexpr uint32_t kGuardNegated = 0x80000000u;

struct Instr {
  Op op = Op::Nop;
  Type type = Type::None;   // operand type (destination type for cvt)
  Type type2 = Type::None;  // cvt source type; mma input type
  uint8_t mod = 0;          // Round / Cmp / shfl mode / vote mode / vector count / ...
  uint8_t mod2 = 0;         // BoolOp; ldmatrix matrix count; element counts
  uint8_t flags = 0;
  MemSpace space = MemSpace::Global;
  uint8_t nops = 0;         // operands used in o[]
  uint32_t guard = kNoGuard;  // predicate index | kGuardNegated
  uint32_t target = 0;      // branch target; barrier id slot; wait_group count
  uint32_t text = 0;        // index of the instruction text in the entry
  int64_t imm = 0;          // address offset (cp.async: destination offset)
  int64_t imm2 = 0;         // cp.async source offset; lop3 table; cp.async size
  uint32_t o[14] = {};      // operand slots (predicate operands are predicate indices)
};

// Register slots that hold values only a launch knows.
enum class Special : uint8_t {
  TidX, TidY, TidZ, NtidX, NtidY, NtidZ, CtaidX, CtaidY, CtaidZ, NctaidX, NctaidY, NctaidZ,
  LaneId, WarpId, NWarpId, LanemaskEq, LanemaskLt, LanemaskLe, LanemaskGt, LanemaskGe,
  DynamicSmemSize, TotalSmemSize,
};

}  // namespace tvnsim::ptx
