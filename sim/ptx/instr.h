// The decoded, executable form of PTX instructions.
//
// Every value operand is a register slot: immediates and special registers
// are given slots of their own that are filled when a warp starts, so an
// instruction handler only ever reads `regs[slot][lane]`.  Predicates live
// in a separate file of 32-bit lane masks.
#pragma once

#include <cstdint>

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

enum class Op : uint8_t {
  // integer and bit operations (type = operand type)
  IAdd, ISub, IMulLo, IMulHi, IMulWide, IMadLo, IMadHi, IMadWide, IDiv, IRem, IAbs, INeg,
  IMin, IMax, And, Or, Xor, Not, Cnot, Shl, Shr, Popc, Clz, Brev, Bfe, Bfi, Prmt, Lop3, Shf,
  // floating point (type F32 or F64; mod = Round, flags = kFtz | kSat)
  FAdd, FSub, FMul, FFma, FDiv, FAbs, FNeg, FMin, FMax, FRcp, FSqrt,
  // predicate logic on lane masks
  PAnd, POr, PXor, PNot, PMov, PSet,
  // comparisons and selection
  Setp, Selp,
  // data movement and conversion
  Mov, Pack, Unpack, Cvt, CvtPack, CvtaToGeneric, CvtaFromGeneric,
  // memory (space in `space`)
  Ld, St, CpAsync, CpAsyncCommit, CpAsyncWait, Ldmatrix,
  // warp collectives
  Shfl, Vote, WarpSync, ActiveMask, Mma,
  // no effect in the simulated memory model (fences)
  Nop,
  // control flow, handled by the scheduler
  Bra, Bar, Exit, Trap, AssertFail,
};

inline bool op_is_control(Op op) { return op >= Op::Bra; }

enum class MemSpace : uint8_t { Global, Shared, Local, Param, CallParam, Generic };

// Comparison operators of setp.
enum class Cmp : uint8_t {
  Eq, Ne, Lt, Le, Gt, Ge,          // ordered (floats) / signed-or-unsigned by type (ints)
  Equ, Neu, Ltu, Leu, Gtu, Geu,    // unordered floats
  Num, Nan,
};

// Boolean combiner of setp with a third predicate operand.
enum class BoolOp : uint8_t { None, And, Or, Xor };

// Instruction flags; their meaning depends on the opcode.
constexpr uint8_t kFtz = 1;       // flush subnormals
constexpr uint8_t kSat = 2;       // saturate
constexpr uint8_t kWaitAll = 2;   // cp.async.wait_all: commit, then wait for every group
constexpr uint8_t kTrans = 4;     // ldmatrix .trans
constexpr uint8_t kNegated = 8;   // setp's combining predicate, vote's source, cp.async's ignore-src
// An optional operand is present: setp's second destination q, shfl's
// predicate, cp.async's source size, bar's thread count.
constexpr uint8_t kOptional = 16;
constexpr uint8_t kIgnoreSrc = 32;  // cp.async: the fourth operand is the ignore-src predicate
constexpr uint8_t kClamp = 64;      // shf.clamp
constexpr uint8_t kIntRound = 64;   // cvt: .rni/.rzi/.rmi/.rpi (round to an integral value)
constexpr uint8_t kLeft = 128;      // shf.l

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
