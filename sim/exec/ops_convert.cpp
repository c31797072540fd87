// Moves, packing, conversions, generic-address conversion, comparisons,
// selection and predicate logic.
#include <bit>
#include <cmath>

#include "exec/ops.h"
#include "exec/slot_bits.h"

namespace tvnsim::exec {
namespace {

using num::Round;
using ptx::Op;
using ptx::Type;

}  // namespace

void mov(Ctx& x, const Instr& in, uint32_t mask) {
  uint64_t* d = x.w.reg(in.o[0]);
  const uint64_t* a = x.w.reg(in.o[1]);
  const uint64_t m = width_mask(ptx::type_size(in.type));
  each_lane(mask, [&](int l) { d[l] = a[l] & m; });
}

// mov.bN d, {e0, e1, ...}: element 0 in the lowest bits.
void pack(Ctx& x, const Instr& in, uint32_t mask) {
  uint64_t* d = x.w.reg(in.o[0]);
  const uint32_t n = in.mod2;
  const uint32_t bits = 8 * ptx::type_size(in.type) / n;
  const uint64_t m = width_mask(bits / 8);
  each_lane(mask, [&](int l) {
    uint64_t v = 0;
    for (uint32_t i = 0; i < n; ++i) v |= (x.w.reg(in.o[1 + i])[l] & m) << (bits * i);
    d[l] = v;
  });
}

void unpack(Ctx& x, const Instr& in, uint32_t mask) {
  const uint64_t* a = x.w.reg(in.o[0]);
  const uint32_t n = in.mod2;
  const uint32_t bits = 8 * ptx::type_size(in.type) / n;
  const uint64_t m = width_mask(bits / 8);
  each_lane(mask, [&](int l) {
    const uint64_t v = a[l];
    for (uint32_t i = 0; i < n; ++i) x.w.reg(in.o[1 + i])[l] = (v >> (bits * i)) & m;
  });
}

namespace {

// An f32, f16 or bf16 source as an f32 with its bits as the widening gives
// them (a round trip through double would quiet a signalling NaN).
inline float narrow_source(Type t, uint64_t v) {
  switch (t) {
    case Type::F32: return f32(v);
    case Type::F16: return num::f16_to_f32(static_cast<uint16_t>(v));
    default: return num::bf16_to_f32(static_cast<uint16_t>(v));
  }
}

inline double round_integral(double v, Round r) {
  switch (r) {
    case Round::Nearest: return std::nearbyint(v);  // ties to even: blocks run in DefaultFpEnv
    case Round::Zero: return std::trunc(v);
    case Round::Down: return std::floor(v);
    default: return std::ceil(v);
  }
}

uint64_t convert(const Instr& in, uint64_t v) {
  const Type t = in.type, u = in.type2;
  const Round r = static_cast<Round>(in.mod);
  const uint32_t ts = ptx::type_size(t), us = ptx::type_size(u);
  const bool ftz = in.flags & ptx::kCvtFtz, sat = in.flags & ptx::kCvtSat;
  if (ptx::type_float(u)) {
    float fs = u == Type::F64 ? 0.0f : narrow_source(u, v);
    if (ftz && u == Type::F32) fs = num::flush_subnormal(fs);
    const double s = u == Type::F64 ? f64(v) : fs;  // exact
    if (!ptx::type_float(t)) {
      return num::f64_to_int(s, r, static_cast<int>(8 * ts), ptx::type_signed(t), u == Type::F64) &
             width_mask(ts);
    }
    const bool integral = in.flags & ptx::kCvtIntegral;
    if (t == Type::F64) {
      double d = integral ? round_integral(s, r) : u == Type::F64 ? s : num::f32_to_f64(fs);
      if (sat) d = d > 0 ? (d < 1 ? d : 1.0) : 0.0;  // NaN and -0 give +0
      return std::bit_cast<uint64_t>(d);
    }
    if (t == Type::F32) {
      float f;
      if (u == Type::F64) f = num::f64_to_f32(s, r);
      else if (integral) f = static_cast<float>(round_integral(s, r));
      else f = fs;
      if (ftz) f = num::flush_subnormal(f);
      if (sat) f = num::saturate(f);
      return std::bit_cast<uint32_t>(f);
    }
    // 16-bit destinations come from f32, f16 or bf16 (the decoder refuses
    // f64).  An integral value of a 16-bit source is exact in its format.
    const float f = integral ? static_cast<float>(round_integral(s, r)) : fs;
    const Round rf = integral ? Round::Nearest : r;
    return t == Type::F16 ? num::f32_to_f16(f, rf) : num::f32_to_bf16(f, rf);
  }
  // Integer source, extended by its own signedness.
  const bool us_signed = ptx::type_signed(u);
  const uint64_t raw = v & width_mask(us);
  if (ptx::type_float(t)) {
    if (t == Type::F32) {
      float f = us_signed ? num::s64_to_f32(sext(raw, us), r) : num::u64_to_f32(raw, r);
      if (sat) f = num::saturate(f);
      return std::bit_cast<uint32_t>(f);
    }
    double d = us_signed ? num::s64_to_f64(sext(raw, us), r) : num::u64_to_f64(raw, r);
    if (sat) d = d > 0 ? (d < 1 ? d : 1.0) : 0.0;
    return std::bit_cast<uint64_t>(d);
  }
  if (sat) {
    // Clamp to the destination range.
    const bool ts_signed = ptx::type_signed(t);
    const int bits = static_cast<int>(8 * ts);
    if (us_signed) {
      const int64_t s = sext(raw, us);
      const int64_t lo = ts_signed ? (bits == 64 ? INT64_MIN : -(int64_t{1} << (bits - 1))) : 0;
      const int64_t hi_s = bits == 64 ? INT64_MAX : (int64_t{1} << (bits - 1)) - 1;
      if (s < lo) return static_cast<uint64_t>(lo) & width_mask(ts);
      if (ts_signed && s > hi_s) return static_cast<uint64_t>(hi_s);
      if (!ts_signed && bits < 64 && static_cast<uint64_t>(s) > width_mask(ts)) return width_mask(ts);
      return static_cast<uint64_t>(s) & width_mask(ts);
    }
    const uint64_t hi = ts_signed ? (width_mask(ts) >> 1) : width_mask(ts);
    return raw > hi ? hi : raw;
  }
  const uint64_t ext = us_signed ? static_cast<uint64_t>(sext(raw, us)) : raw;
  return ext & width_mask(ts);
}

}  // namespace

// A destination register wider than a signed integer type receives the
// result sign-extended, as ld does; readers take their own width from it.
void cvt(Ctx& x, const Instr& in, uint32_t mask) {
  uint64_t* d = x.w.reg(in.o[0]);
  const uint64_t* a = x.w.reg(in.o[1]);
  if (ptx::type_signed(in.type)) {
    const uint32_t n = ptx::type_size(in.type);
    each_lane(mask, [&](int l) { d[l] = static_cast<uint64_t>(sext(convert(in, a[l]), n)); });
    return;
  }
  each_lane(mask, [&](int l) { d[l] = convert(in, a[l]); });
}

// cvt.rn.{bf16x2,f16x2}.f32 d, a, b: a in the upper half, b in the lower.
void cvt_pack(Ctx& x, const Instr& in, uint32_t mask) {
  uint64_t* d = x.w.reg(in.o[0]);
  const uint64_t *a = x.w.reg(in.o[1]), *b = x.w.reg(in.o[2]);
  const Round r = static_cast<Round>(in.mod);
  const bool bf = in.type == Type::BF16x2;
  each_lane(mask, [&](int l) {
    const uint32_t hi = bf ? num::f32_to_bf16(f32(a[l]), r) : num::f32_to_f16(f32(a[l]), r);
    const uint32_t lo = bf ? num::f32_to_bf16(f32(b[l]), r) : num::f32_to_f16(f32(b[l]), r);
    d[l] = (hi << 16) | lo;
  });
}

void cvta_to_generic(Ctx& x, const Instr& in, uint32_t mask) {
  uint64_t* d = x.w.reg(in.o[0]);
  const uint64_t* a = x.w.reg(in.o[1]);
  const uint64_t window = in.space == ptx::MemSpace::Shared ? ptx::kSharedWindow
                          : in.space == ptx::MemSpace::Local ? ptx::kLocalWindow
                                                             : 0;
  const uint64_t m = window ? 0xFFFFFFFFull : ~0ull;
  each_lane(mask, [&](int l) { d[l] = window + (a[l] & m); });
}

void cvta_from_generic(Ctx& x, const Instr& in, uint32_t mask) {
  uint64_t* d = x.w.reg(in.o[0]);
  const uint64_t* a = x.w.reg(in.o[1]);
  const uint64_t window = in.space == ptx::MemSpace::Shared ? ptx::kSharedWindow
                          : in.space == ptx::MemSpace::Local ? ptx::kLocalWindow
                                                             : 0;
  const uint64_t m = width_mask(ptx::type_size(in.type));
  each_lane(mask, [&](int l) { d[l] = (a[l] - window) & m; });
}

namespace {

inline bool compare_float(ptx::Cmp c, double a, double b) {
  const bool unordered = std::isnan(a) || std::isnan(b);
  switch (c) {
    case ptx::Cmp::Eq: return !unordered && a == b;
    case ptx::Cmp::Ne: return !unordered && a != b;
    case ptx::Cmp::Lt: return !unordered && a < b;
    case ptx::Cmp::Le: return !unordered && a <= b;
    case ptx::Cmp::Gt: return !unordered && a > b;
    case ptx::Cmp::Ge: return !unordered && a >= b;
    case ptx::Cmp::Equ: return unordered || a == b;
    case ptx::Cmp::Neu: return unordered || a != b;
    case ptx::Cmp::Ltu: return unordered || a < b;
    case ptx::Cmp::Leu: return unordered || a <= b;
    case ptx::Cmp::Gtu: return unordered || a > b;
    case ptx::Cmp::Geu: return unordered || a >= b;
    case ptx::Cmp::Num: return !unordered;
    default: return unordered;
  }
}

template <class T>
inline bool compare_int(ptx::Cmp c, T a, T b) {
  switch (c) {
    case ptx::Cmp::Eq: return a == b;
    case ptx::Cmp::Ne: return a != b;
    case ptx::Cmp::Lt: return a < b;
    case ptx::Cmp::Le: return a <= b;
    case ptx::Cmp::Gt: return a > b;
    default: return a >= b;
  }
}

}  // namespace

void setp(Ctx& x, const Instr& in, uint32_t mask) {
  const uint64_t *a = x.w.reg(in.o[1]), *b = x.w.reg(in.o[2]);
  const ptx::Cmp c = static_cast<ptx::Cmp>(in.mod);
  const uint32_t n = ptx::type_size(in.type);
  uint32_t result = 0;
  if (in.type == Type::F32) {
    const bool ftz = in.flags & ptx::kSetpFtz;
    each_lane(mask, [&](int l) {
      float fa = f32(a[l]), fb = f32(b[l]);
      if (ftz) {
        fa = num::flush_subnormal(fa);
        fb = num::flush_subnormal(fb);
      }
      result |= static_cast<uint32_t>(compare_float(c, fa, fb)) << l;
    });
  } else if (in.type == Type::F64) {
    each_lane(mask, [&](int l) { result |= static_cast<uint32_t>(compare_float(c, f64(a[l]), f64(b[l]))) << l; });
  } else if (ptx::type_signed(in.type)) {
    each_lane(mask, [&](int l) {
      result |= static_cast<uint32_t>(compare_int(c, sext(a[l], n), sext(b[l], n))) << l;
    });
  } else {
    const uint64_t m = width_mask(n);
    each_lane(mask, [&](int l) { result |= static_cast<uint32_t>(compare_int(c, a[l] & m, b[l] & m)) << l; });
  }
  uint32_t* p = &x.w.preds[in.o[0]];
  uint32_t q_result = ~result;
  const auto bop = static_cast<ptx::BoolOp>(in.mod2);
  if (bop != ptx::BoolOp::None) {
    uint32_t cv = x.w.preds[in.o[3]];
    if (in.flags & ptx::kSetpNotC) cv = ~cv;
    switch (bop) {
      case ptx::BoolOp::And: result &= cv; q_result &= cv; break;
      case ptx::BoolOp::Or: result |= cv; q_result |= cv; break;
      default: result ^= cv; q_result ^= cv; break;
    }
  }
  *p = (*p & ~mask) | (result & mask);
  if (in.flags & ptx::kSetpQ) {
    uint32_t* q = &x.w.preds[in.o[4]];
    *q = (*q & ~mask) | (q_result & mask);
  }
}

void selp(Ctx& x, const Instr& in, uint32_t mask) {
  uint64_t* d = x.w.reg(in.o[0]);
  const uint64_t *a = x.w.reg(in.o[1]), *b = x.w.reg(in.o[2]);
  const uint32_t p = x.w.preds[in.o[3]];
  const uint64_t m = width_mask(ptx::type_size(in.type));
  each_lane(mask, [&](int l) { d[l] = ((p >> l) & 1 ? a[l] : b[l]) & m; });
}

namespace {

template <Op K>
void pred_logic(Ctx& x, const Instr& in, uint32_t mask) {
  uint32_t* p = x.w.preds;
  const uint32_t a = p[in.o[1]];
  uint32_t v;
  switch (K) {
    case Op::PAnd: v = a & p[in.o[2]]; break;
    case Op::POr: v = a | p[in.o[2]]; break;
    case Op::PXor: v = a ^ p[in.o[2]]; break;
    case Op::PNot: v = ~a; break;
    case Op::PSet: v = in.imm ? ~0u : 0u; break;
    default: v = a; break;
  }
  p[in.o[0]] = (p[in.o[0]] & ~mask) | (v & mask);
}

}  // namespace

void pand(Ctx& x, const Instr& in, uint32_t mask) { pred_logic<Op::PAnd>(x, in, mask); }
void por(Ctx& x, const Instr& in, uint32_t mask) { pred_logic<Op::POr>(x, in, mask); }
void pxor(Ctx& x, const Instr& in, uint32_t mask) { pred_logic<Op::PXor>(x, in, mask); }
void pnot(Ctx& x, const Instr& in, uint32_t mask) { pred_logic<Op::PNot>(x, in, mask); }
void pmov(Ctx& x, const Instr& in, uint32_t mask) { pred_logic<Op::PMov>(x, in, mask); }
void pset(Ctx& x, const Instr& in, uint32_t mask) { pred_logic<Op::PSet>(x, in, mask); }

}  // namespace tvnsim::exec
