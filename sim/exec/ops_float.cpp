// f32 and f64 arithmetic.  Round-to-nearest without modifiers is computed by
// the host's IEEE operations, which are exact for it; NaN results, other
// rounding modes, flushing and saturation go through the numeric models.
#include <bit>
#include <cmath>

#include "exec/ops.h"
#include "exec/slot_bits.h"

namespace tvnsim::exec {
namespace {

using num::Round;
using ptx::Type;

struct Regs {
  uint64_t* d;
  const uint64_t *a, *b, *c;
  Regs(Ctx& x, const Instr& in)
      : d(x.w.reg(in.o[0])), a(x.w.reg(in.o[1])), b(x.w.reg(in.o[2])), c(x.w.reg(in.o[3])) {}
};

inline Round round_of(const Instr& in) { return static_cast<Round>(in.mod); }
inline bool plain(const Instr& in) { return in.mod == static_cast<uint8_t>(Round::Nearest) && in.flags == 0; }

// f32 with .ftz and .sat applied around the exact operation.
template <class Exact>
inline float f32_op(const Instr& in, float a, float b, float c, Exact&& exact) {
  const bool ftz = in.flags & ptx::kFloatFtz;
  if (ftz) {
    a = num::flush_subnormal(a);
    b = num::flush_subnormal(b);
    c = num::flush_subnormal(c);
  }
  float r = exact(a, b, c, round_of(in));
  if (ftz) r = num::flush_subnormal(r);
  if (in.flags & ptx::kFloatSat) r = num::saturate(r);
  return r;
}

// Binary and ternary operations: `fast` is the host's round-to-nearest form,
// `exact32`/`exact64` the numeric model for the general case.
template <class Fast32, class Exact32, class Fast64, class Exact64>
inline void arith(Ctx& x, const Instr& in, uint32_t mask, Fast32&& fast32, Exact32&& exact32,
                  Fast64&& fast64, Exact64&& exact64) {
  Regs r(x, in);
  if (in.type == Type::F32) {
    if (plain(in)) {
      each_lane(mask, [&](int l) {
        const float a = f32(r.a[l]), b = f32(r.b[l]), c = f32(r.c[l]);
        float v = fast32(a, b, c);
        if (std::isnan(v)) v = exact32(a, b, c, Round::Nearest);
        r.d[l] = bits(v);
      });
    } else {
      each_lane(mask, [&](int l) {
        r.d[l] = bits(f32_op(in, f32(r.a[l]), f32(r.b[l]), f32(r.c[l]), exact32));
      });
    }
    return;
  }
  const Round rm = round_of(in);
  each_lane(mask, [&](int l) {
    const double a = f64(r.a[l]), b = f64(r.b[l]), c = f64(r.c[l]);
    double v;
    if (rm == Round::Nearest) {
      v = fast64(a, b, c);
      if (std::isnan(v)) v = exact64(a, b, c, Round::Nearest);
    } else {
      v = exact64(a, b, c, rm);
    }
    r.d[l] = bits(v);
  });
}

}  // namespace

void fadd(Ctx& x, const Instr& in, uint32_t mask) {
  arith(x, in, mask, [](float a, float b, float) { return a + b; },
        [](float a, float b, float, Round m) { return num::add_f32(a, b, m); },
        [](double a, double b, double) { return a + b; },
        [](double a, double b, double, Round m) { return num::add_f64(a, b, m); });
}

void fsub(Ctx& x, const Instr& in, uint32_t mask) {
  arith(x, in, mask, [](float a, float b, float) { return a - b; },
        [](float a, float b, float, Round m) { return num::sub_f32(a, b, m); },
        [](double a, double b, double) { return a - b; },
        [](double a, double b, double, Round m) { return num::sub_f64(a, b, m); });
}

void fmul(Ctx& x, const Instr& in, uint32_t mask) {
  arith(x, in, mask, [](float a, float b, float) { return a * b; },
        [](float a, float b, float, Round m) { return num::mul_f32(a, b, m); },
        [](double a, double b, double) { return a * b; },
        [](double a, double b, double, Round m) { return num::mul_f64(a, b, m); });
}

// The fused multiply-add dominates GEMM kernels: where the host has FMA
// instructions they replace the library call (both round once, exactly).
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
__attribute__((target_clones("fma", "default")))
#endif
void ffma(Ctx& x, const Instr& in, uint32_t mask) {
  arith(x, in, mask, [](float a, float b, float c) { return std::fma(a, b, c); },
        [](float a, float b, float c, Round m) { return num::fma_f32(a, b, c, m); },
        [](double a, double b, double c) { return std::fma(a, b, c); },
        [](double a, double b, double c, Round m) { return num::fma_f64(a, b, c, m); });
}

void fdiv(Ctx& x, const Instr& in, uint32_t mask) {
  arith(x, in, mask, [](float a, float b, float) { return a / b; },
        [](float a, float b, float, Round m) { return num::div_f32(a, b, m); },
        [](double a, double b, double) { return a / b; },
        [](double a, double b, double, Round m) { return num::div_f64(a, b, m); });
}

void frcp(Ctx& x, const Instr& in, uint32_t mask) {
  arith(x, in, mask, [](float a, float, float) { return 1.0f / a; },
        [](float a, float, float, Round m) { return num::rcp_f32(a, m); },
        [](double a, double, double) { return 1.0 / a; },
        [](double a, double, double, Round m) { return num::rcp_f64(a, m); });
}

void fsqrt(Ctx& x, const Instr& in, uint32_t mask) {
  arith(x, in, mask, [](float a, float, float) { return std::sqrt(a); },
        [](float a, float, float, Round m) { return num::sqrt_f32(a, m); },
        [](double a, double, double) { return std::sqrt(a); },
        [](double a, double, double, Round m) { return num::sqrt_f64(a, m); });
}

// abs and neg only touch the sign bit (.ftz also flushes a subnormal input);
// abs.f64 leaves a NaN as it is.
void fabs_(Ctx& x, const Instr& in, uint32_t mask) {
  Regs r(x, in);
  if (in.type == Type::F32) {
    const bool ftz = in.flags & ptx::kFloatFtz;
    each_lane(mask, [&](int l) {
      const float a = ftz ? num::flush_subnormal(f32(r.a[l])) : f32(r.a[l]);
      r.d[l] = bits(a) & 0x7FFFFFFFu;
    });
  } else {
    // abs.f64 passes a NaN through unchanged, sign included (PTX ISA).
    each_lane(mask, [&](int l) {
      const uint64_t a = r.a[l];
      r.d[l] = std::isnan(f64(a)) ? a : a & 0x7FFFFFFFFFFFFFFFull;
    });
  }
}

void fneg(Ctx& x, const Instr& in, uint32_t mask) {
  Regs r(x, in);
  if (in.type == Type::F32) {
    const bool ftz = in.flags & ptx::kFloatFtz;
    each_lane(mask, [&](int l) {
      const float a = ftz ? num::flush_subnormal(f32(r.a[l])) : f32(r.a[l]);
      r.d[l] = bits(a) ^ 0x80000000u;
    });
  } else {
    each_lane(mask, [&](int l) { r.d[l] = r.a[l] ^ 0x8000000000000000ull; });
  }
}

namespace {

// min/max: a NaN operand yields the other one; -0 orders below +0; .NaN
// makes any NaN operand give the canonical NaN.
template <bool Max>
double minmax64(double a, double b) {
  if (std::isnan(a) && std::isnan(b)) return std::bit_cast<double>(num::kNaN64);
  if (std::isnan(a)) return b;
  if (std::isnan(b)) return a;
  if (a == b) return (std::signbit(a) != Max) ? a : b;
  return (a < b) != Max ? a : b;
}

template <bool Max>
void fminmax(Ctx& x, const Instr& in, uint32_t mask) {
  Regs r(x, in);
  const bool nan_wins = in.mod == 1;
  if (in.type == Type::F32) {
    const bool ftz = in.flags & ptx::kFloatFtz;
    each_lane(mask, [&](int l) {
      float a = f32(r.a[l]), b = f32(r.b[l]);
      if (ftz) {
        a = num::flush_subnormal(a);
        b = num::flush_subnormal(b);
      }
      float v = Max ? num::max_f32(a, b) : num::min_f32(a, b);
      if (nan_wins && (std::isnan(a) || std::isnan(b))) v = std::bit_cast<float>(num::kNaN32);
      r.d[l] = bits(v);
    });
  } else {
    each_lane(mask, [&](int l) {
      const double a = f64(r.a[l]), b = f64(r.b[l]);
      double v = minmax64<Max>(a, b);
      if (nan_wins && (std::isnan(a) || std::isnan(b))) v = std::bit_cast<double>(num::kNaN64);
      r.d[l] = bits(v);
    });
  }
}

}  // namespace

void fmin_(Ctx& x, const Instr& in, uint32_t mask) { fminmax<false>(x, in, mask); }
void fmax_(Ctx& x, const Instr& in, uint32_t mask) { fminmax<true>(x, in, mask); }

}  // namespace tvnsim::exec
