// One instruction at a time: integer, bit, floating-point and conversion
// semantics, with the wrap-around, clamping and rounding corner cases.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "harness.h"
#include "numeric/numeric.h"

namespace tvnsim::test {
namespace {

// One case: `instr` computes %d from %a, %b, %c, whose register types are
// given; inputs are raw bits (the low bytes are used); expect is raw bits.
struct Case {
  const char* instr;
  const char* ta;
  const char* tb;
  const char* tc;
  const char* td;
  uint64_t a, b, c;
  uint64_t expect;
};

uint64_t f(float v) { return std::bit_cast<uint32_t>(v); }
uint64_t d(double v) { return std::bit_cast<uint64_t>(v); }

// Runs every case as its own kernel of one module.
void run_cases(const std::vector<Case>& cases, const std::string& target = "sm_80") {
  std::string body;
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    body += ".visible .entry k" + std::to_string(i) + "(.param .u64 out, .param .u64 in) {\n";
    body += " .reg .b64 %rd<3>;\n";
    body += std::string(" .reg ") + c.ta + " %a;\n .reg " + c.tb + " %b;\n .reg " + c.tc +
            " %c;\n .reg " + c.td + " %d;\n";
    body += " ld.param.u64 %rd1, [out];\n ld.param.u64 %rd2, [in];\n";
    body += std::string(" ld.global") + c.ta + " %a, [%rd2];\n";
    body += std::string(" ld.global") + c.tb + " %b, [%rd2+8];\n";
    body += std::string(" ld.global") + c.tc + " %c, [%rd2+16];\n";
    const std::string text = c.instr;
    body += " " + text + (text.front() == '{' ? "\n" : ";\n");
    body += std::string(" st.global") + c.td + " [%rd1], %d;\n ret;\n}\n";
  }
  Device dev;
  ASSERT_NE(dev.load(ptx_module(body, target)), nullptr);
  const uint64_t out = dev.alloc(8);
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.instr);
    const uint64_t in = dev.upload(std::vector<uint64_t>{c.a, c.b, c.c});
    std::memset(dev.memory.resolve(out, 8), 0, 8);
    const ExecResult r = dev.launch("k" + std::to_string(i), {1, 1, 1}, {1, 1, 1},
                                    {Arg::u64(out), Arg::u64(in)});
    ASSERT_EQ(r.result, 0) << r.message;
    EXPECT_EQ(dev.download<uint64_t>(out, 1)[0], c.expect)
        << std::hex << "a=0x" << c.a << " b=0x" << c.b << " c=0x" << c.c;
  }
}

constexpr const char* B16 = ".b16";
constexpr const char* B32 = ".b32";
constexpr const char* B64 = ".b64";
constexpr const char* F32 = ".f32";
constexpr const char* F64 = ".f64";

TEST(ScalarOps, IntegerArithmeticWrapsAndClampsAsPtxSays) {
  run_cases({
      {"add.s32 %d, %a, %b", B32, B32, B32, B32, 0x7FFFFFFF, 1, 0, 0x80000000},
      {"add.sat.s32 %d, %a, %b", B32, B32, B32, B32, 0x7FFFFFFF, 1, 0, 0x7FFFFFFF},
      {"add.sat.s32 %d, %a, %b", B32, B32, B32, B32, 0x80000000, 0xFFFFFFFF, 0, 0x80000000},
      {"sub.sat.s32 %d, %a, %b", B32, B32, B32, B32, 0x80000000, 1, 0, 0x80000000},
      {"sub.u16 %d, %a, %b", B16, B16, B16, B16, 0, 1, 0, 0xFFFF},
      {"add.u64 %d, %a, %b", B64, B64, B64, B64, ~0ull, 2, 0, 1},
      {"mul.lo.s32 %d, %a, %b", B32, B32, B32, B32, 0x10000, 0x10001, 0, 0x10000},
      {"mul.hi.u32 %d, %a, %b", B32, B32, B32, B32, 0xFFFFFFFF, 0xFFFFFFFF, 0, 0xFFFFFFFE},
      {"mul.hi.s32 %d, %a, %b", B32, B32, B32, B32, 0x80000000, 2, 0, 0xFFFFFFFF},
      {"mul.hi.s32 %d, %a, %b", B32, B32, B32, B32, 0xFFFFFFFF, 0xFFFFFFFF, 0, 0},
      {"mul.wide.s32 %d, %a, %b", B32, B32, B32, B64, 0xFFFFFFFD, 5, 0, 0xFFFFFFFFFFFFFFF1ull},
      {"mul.wide.u32 %d, %a, %b", B32, B32, B32, B64, 0xFFFFFFFF, 2, 0, 0x1FFFFFFFEull},
      {"mul.wide.u16 %d, %a, %b", B16, B16, B16, B32, 0xFFFF, 0xFFFF, 0, 0xFFFE0001},
      {"mul.hi.u64 %d, %a, %b", B64, B64, B64, B64, ~0ull, 2, 0, 1},
      {"mul.hi.s64 %d, %a, %b", B64, B64, B64, B64, ~0ull, 2, 0, ~0ull},
      {"mad.lo.s32 %d, %a, %b, %c", B32, B32, B32, B32, 3, 4, 5, 17},
      {"mad.wide.s32 %d, %a, %b, %c", B32, B32, B64, B64, 0xFFFFFFFE, 3, 100, 94},
      {"mad.hi.u32 %d, %a, %b, %c", B32, B32, B32, B32, 0x80000000, 4, 1, 3},
      {"div.s32 %d, %a, %b", B32, B32, B32, B32, static_cast<uint32_t>(-7), 2, 0, static_cast<uint32_t>(-3)},
      {"rem.s32 %d, %a, %b", B32, B32, B32, B32, static_cast<uint32_t>(-7), 2, 0, static_cast<uint32_t>(-1)},
      {"div.u32 %d, %a, %b", B32, B32, B32, B32, static_cast<uint32_t>(-7), 2, 0, 0x7FFFFFFC},
      {"div.s32 %d, %a, %b", B32, B32, B32, B32, 0x80000000, 0xFFFFFFFF, 0, 0x80000000},
      {"rem.u64 %d, %a, %b", B64, B64, B64, B64, 1000000000007ull, 1000, 0, 7},
      {"min.s32 %d, %a, %b", B32, B32, B32, B32, 0xFFFFFFFF, 1, 0, 0xFFFFFFFF},
      {"min.u32 %d, %a, %b", B32, B32, B32, B32, 0xFFFFFFFF, 1, 0, 1},
      {"max.s16 %d, %a, %b", B16, B16, B16, B16, 0xFFFB, 3, 0, 3},
      {"max.u16 %d, %a, %b", B16, B16, B16, B16, 0xFFFB, 3, 0, 0xFFFB},
      {"abs.s32 %d, %a", B32, B32, B32, B32, static_cast<uint32_t>(-5), 0, 0, 5},
      {"abs.s32 %d, %a", B32, B32, B32, B32, 0x80000000, 0, 0, 0x80000000},
      {"neg.s32 %d, %a", B32, B32, B32, B32, 5, 0, 0, 0xFFFFFFFB},
      {"neg.s64 %d, %a", B64, B64, B64, B64, 1, 0, 0, ~0ull},
  });
}

TEST(ScalarOps, ShiftsAndBitFieldsFollowTheirClampingRules) {
  run_cases({
      {"shl.b32 %d, %a, %b", B32, B32, B32, B32, 1, 31, 0, 0x80000000},
      {"shl.b32 %d, %a, %b", B32, B32, B32, B32, 1, 32, 0, 0},
      {"shl.b64 %d, %a, %b", B64, B32, B32, B64, 1, 63, 0, 1ull << 63},
      {"shl.b16 %d, %a, %b", B16, B32, B32, B16, 0x8001, 1, 0, 2},
      {"shr.s32 %d, %a, %b", B32, B32, B32, B32, 0x80000000, 31, 0, 0xFFFFFFFF},
      {"shr.s32 %d, %a, %b", B32, B32, B32, B32, 0x80000000, 40, 0, 0xFFFFFFFF},
      {"shr.u32 %d, %a, %b", B32, B32, B32, B32, 0x80000000, 31, 0, 1},
      {"shr.u32 %d, %a, %b", B32, B32, B32, B32, 0x80000000, 32, 0, 0},
      {"shr.b32 %d, %a, %b", B32, B32, B32, B32, 0x80000000, 4, 0, 0x08000000},
      {"shr.s16 %d, %a, %b", B16, B32, B32, B16, 0x8000, 3, 0, 0xF000},
      {"shr.s64 %d, %a, %b", B64, B32, B32, B64, 1ull << 63, 100, 0, ~0ull},
      {"and.b32 %d, %a, %b", B32, B32, B32, B32, 0xF0F0, 0xFF00, 0, 0xF000},
      {"or.b64 %d, %a, %b", B64, B64, B64, B64, 1ull << 40, 1, 0, (1ull << 40) | 1},
      {"xor.b16 %d, %a, %b", B16, B16, B16, B16, 0xFFFF, 0x0F0F, 0, 0xF0F0},
      {"not.b32 %d, %a", B32, B32, B32, B32, 0x0000FFFF, 0, 0, 0xFFFF0000},
      {"cnot.b32 %d, %a", B32, B32, B32, B32, 0, 0, 0, 1},
      {"cnot.b32 %d, %a", B32, B32, B32, B32, 5, 0, 0, 0},
      {"popc.b32 %d, %a", B32, B32, B32, B32, 0xF0F0, 0, 0, 8},
      {"popc.b64 %d, %a", B64, B32, B32, B32, ~0ull, 0, 0, 64},
      {"clz.b32 %d, %a", B32, B32, B32, B32, 1, 0, 0, 31},
      {"clz.b32 %d, %a", B32, B32, B32, B32, 0, 0, 0, 32},
      {"clz.b64 %d, %a", B64, B32, B32, B32, 1, 0, 0, 63},
      {"brev.b32 %d, %a", B32, B32, B32, B32, 0x00000003, 0, 0, 0xC0000000},
      {"bfe.u32 %d, %a, %b, %c", B32, B32, B32, B32, 0xABCD1234, 8, 8, 0x12},
      {"bfe.s32 %d, %a, %b, %c", B32, B32, B32, B32, 0x0000F000, 12, 4, 0xFFFFFFFF},
      {"bfe.s32 %d, %a, %b, %c", B32, B32, B32, B32, 0xFFFFFFFF, 4, 0, 0},
      {"bfe.u32 %d, %a, %b, %c", B32, B32, B32, B32, 0x80000000, 28, 8, 0x8},
      {"bfe.s32 %d, %a, %b, %c", B32, B32, B32, B32, 0x80000000, 28, 8, 0xFFFFFFF8},
      {"prmt.b32 %d, %a, %b, %c", B32, B32, B32, B32, 0x33221100, 0x77665544, 0x5140, 0x55114400},
      {"prmt.b32 %d, %a, %b, %c", B32, B32, B32, B32, 0x000080FF, 0, 0x3298, 0x0000FFFF},
      {"shf.l.wrap.b32 %d, %a, %b, %c", B32, B32, B32, B32, 0x80000001, 1, 4, 0x18},
      {"shf.r.wrap.b32 %d, %a, %b, %c", B32, B32, B32, B32, 0x80000001, 1, 36, 0x18000000},
      {"shf.l.clamp.b32 %d, %a, %b, %c", B32, B32, B32, B32, 0x80000001, 1, 40, 0x80000001},
      {"shf.r.clamp.b32 %d, %a, %b, %c", B32, B32, B32, B32, 0x80000001, 7, 40, 7},
  });
  // bfi takes five operands and lop3 an immediate table: run them apart.
  run_cases({
      {"bfi.b32 %d, %a, %b, 4, %c", B32, B32, B32, B32, 0xF, 0xFFFF0000, 4, 0xFFFF00F0},
      {"bfi.b32 %d, %a, %b, 30, %c", B32, B32, B32, B32, 0xF, 0, 8, 0xC0000000},
      {"lop3.b32 %d, %a, %b, %c, 0x96", B32, B32, B32, B32, 0xF0, 0xCC, 0xAA, 0x96},
      {"lop3.b32 %d, %a, %b, %c, 0xE8", B32, B32, B32, B32, 0xF0, 0xCC, 0xAA, 0xE8},
      {"lop3.b32 %d, %a, %b, %c, 0x80", B32, B32, B32, B32, 0xFFFF, 0xFF0F, 0xF0FF, 0xF00F},
  });
}

TEST(ScalarOps, FloatRoundingModesTiesSubnormalsAndInfinities) {
  const uint64_t one = f(1.0f), ulp_half = f(std::ldexp(1.0f, -24)), ulp_1_5 = f(1.5f * std::ldexp(1.0f, -23));
  const uint64_t flt_max = f(std::numeric_limits<float>::max());
  const uint64_t inf = f(std::numeric_limits<float>::infinity());
  run_cases({
      // 1 + 1.5 ulp in each direction
      {"add.rn.f32 %d, %a, %b", F32, F32, F32, F32, one, ulp_1_5, 0, 0x3F800002},
      {"add.rz.f32 %d, %a, %b", F32, F32, F32, F32, one, ulp_1_5, 0, 0x3F800001},
      {"add.rm.f32 %d, %a, %b", F32, F32, F32, F32, one, ulp_1_5, 0, 0x3F800001},
      {"add.rp.f32 %d, %a, %b", F32, F32, F32, F32, one, ulp_1_5, 0, 0x3F800002},
      {"sub.rm.f32 %d, %a, %b", F32, F32, F32, F32, f(-1.0f), ulp_1_5, 0, 0xBF800002},
      {"sub.rp.f32 %d, %a, %b", F32, F32, F32, F32, f(-1.0f), ulp_1_5, 0, 0xBF800001},
      // ties go to even
      {"add.f32 %d, %a, %b", F32, F32, F32, F32, one, ulp_half, 0, 0x3F800000},
      {"add.rn.f32 %d, %a, %b", F32, F32, F32, F32, 0x3F800001, ulp_half, 0, 0x3F800002},
      // one rounding for the fused multiply-add: rounding the exact product
      // sum through double would give 0x3F800002
      {"fma.rn.f32 %d, %a, %b, %c", F32, F32, F32, F32, 0x3F800001, 0x337FFFFE, 0x3F800001, 0x3F800001},
      {"mad.rn.f32 %d, %a, %b, %c", F32, F32, F32, F32, 0x3F800001, 0x337FFFFE, 0x3F800001, 0x3F800001},
      {"fma.rz.f32 %d, %a, %b, %c", F32, F32, F32, F32, f(3.0f), f(1.0f / 3.0f), f(-1.0f),
       f(std::ldexp(1.0f, -25))},
      // subnormal results, flushed with .ftz
      {"mul.rn.f32 %d, %a, %b", F32, F32, F32, F32, f(std::ldexp(1.0f, -126)), f(0.5f), 0, 0x00400000},
      {"mul.rn.ftz.f32 %d, %a, %b", F32, F32, F32, F32, f(std::ldexp(1.0f, -126)), f(0.5f), 0, 0},
      {"add.ftz.f32 %d, %a, %b", F32, F32, F32, F32, 0x80000001, 0x80000000, 0, 0x80000000},
      {"add.ftz.f32 %d, %a, %b", F32, F32, F32, F32, 0x80000001, 0, 0, 0},
      {"add.f32 %d, %a, %b", F32, F32, F32, F32, 0x00000001, 0x00000001, 0, 0x00000002},
      // overflow: to infinity when rounding to nearest, to the largest finite value toward zero
      {"mul.rn.f32 %d, %a, %b", F32, F32, F32, F32, flt_max, f(2.0f), 0, inf},
      {"mul.rz.f32 %d, %a, %b", F32, F32, F32, F32, flt_max, f(2.0f), 0, flt_max},
      {"add.f32 %d, %a, %b", F32, F32, F32, F32, inf, f(-1e30f), 0, inf},
      // saturation
      {"add.sat.f32 %d, %a, %b", F32, F32, F32, F32, f(0.75f), f(0.5f), 0, f(1.0f)},
      {"mul.sat.f32 %d, %a, %b", F32, F32, F32, F32, f(-2.0f), f(1.0f), 0, 0},
      {"fma.rn.sat.f32 %d, %a, %b, %c", F32, F32, F32, F32, inf, f(0.0f), f(1.0f), 0},
      // division, reciprocal and square root are correctly rounded
      {"div.rn.f32 %d, %a, %b", F32, F32, F32, F32, one, f(3.0f), 0, 0x3EAAAAAB},
      {"div.rz.f32 %d, %a, %b", F32, F32, F32, F32, one, f(3.0f), 0, 0x3EAAAAAA},
      {"rcp.rn.f32 %d, %a", F32, F32, F32, F32, f(3.0f), 0, 0, 0x3EAAAAAB},
      {"sqrt.rn.f32 %d, %a", F32, F32, F32, F32, f(2.0f), 0, 0, 0x3FB504F3},
      {"sqrt.rz.f32 %d, %a", F32, F32, F32, F32, f(2.0f), 0, 0, 0x3FB504F3},
      {"sqrt.rp.f32 %d, %a", F32, F32, F32, F32, f(2.0f), 0, 0, 0x3FB504F4},
      // abs, neg, min, max
      {"abs.f32 %d, %a", F32, F32, F32, F32, f(-0.0f), 0, 0, 0},
      {"neg.f32 %d, %a", F32, F32, F32, F32, 0, 0, 0, 0x80000000},
      {"min.f32 %d, %a, %b", F32, F32, F32, F32, 0x7FC00000, f(1.0f), 0, f(1.0f)},
      {"max.f32 %d, %a, %b", F32, F32, F32, F32, f(-3.0f), 0x7FC00000, 0, f(-3.0f)},
      {"min.f32 %d, %a, %b", F32, F32, F32, F32, 0, 0x80000000, 0, 0x80000000},
      {"max.f32 %d, %a, %b", F32, F32, F32, F32, 0x80000000, 0, 0, 0},
      {"max.NaN.f32 %d, %a, %b", F32, F32, F32, F32, f(-3.0f), 0x7FC00000, 0, 0x7FFFFFFF},
      // double precision
      {"add.rn.f64 %d, %a, %b", F64, F64, F64, F64, d(1.0), d(std::ldexp(1.0, -53)), 0, d(1.0)},
      {"add.rp.f64 %d, %a, %b", F64, F64, F64, F64, d(1.0), d(std::ldexp(1.0, -53)), 0,
       d(1.0) + 1},
      {"mul.rz.f64 %d, %a, %b", F64, F64, F64, F64, d(1.0 / 3.0), d(3.0), 0, 0x3FEFFFFFFFFFFFFFull},
      {"fma.rn.f64 %d, %a, %b, %c", F64, F64, F64, F64, d(0.1), d(10.0), d(-1.0),
       d(std::fma(0.1, 10.0, -1.0))},
      {"div.rn.f64 %d, %a, %b", F64, F64, F64, F64, d(1.0), d(3.0), 0, d(1.0 / 3.0)},
      {"rcp.rn.f64 %d, %a", F64, F64, F64, F64, d(3.0), 0, 0, d(1.0 / 3.0)},
      {"sqrt.rn.f64 %d, %a", F64, F64, F64, F64, d(2.0), 0, 0, d(std::sqrt(2.0))},
      {"min.f64 %d, %a, %b", F64, F64, F64, F64, d(2.0), d(-1.0), 0, d(-1.0)},
      {"neg.f64 %d, %a", F64, F64, F64, F64, d(2.0), 0, 0, d(-2.0)},
  });
}

TEST(ScalarOps, NanResultsComeFromTheNumericModel) {
  const float inf = std::numeric_limits<float>::infinity();
  const double dinf = std::numeric_limits<double>::infinity();
  run_cases({
      {"add.f32 %d, %a, %b", F32, F32, F32, F32, f(inf), f(-inf), 0,
       f(num::add_f32(inf, -inf, num::Round::Nearest))},
      {"mul.rn.f32 %d, %a, %b", F32, F32, F32, F32, f(0.0f), f(inf), 0,
       f(num::mul_f32(0.0f, inf, num::Round::Nearest))},
      {"fma.rn.f32 %d, %a, %b, %c", F32, F32, F32, F32, 0x7FC12345, f(1.0f), f(1.0f),
       f(num::fma_f32(std::bit_cast<float>(0x7FC12345u), 1.0f, 1.0f, num::Round::Nearest))},
      {"add.f64 %d, %a, %b", F64, F64, F64, F64, d(dinf), d(-dinf), 0,
       d(num::add_f64(dinf, -dinf, num::Round::Nearest))},
  });
}

TEST(ScalarOps, ConversionsRoundSaturateAndPack) {
  const uint64_t nan = 0x7FC00000;
  run_cases({
      // f32 -> bf16 / f16, ties to even, overflow, subnormals
      {"cvt.rn.bf16.f32 %d, %a", F32, F32, F32, B16, 0x3F808000, 0, 0, 0x3F80},
      {"cvt.rn.bf16.f32 %d, %a", F32, F32, F32, B16, 0x3F818000, 0, 0, 0x3F82},
      {"cvt.rz.bf16.f32 %d, %a", F32, F32, F32, B16, 0x3F81FFFF, 0, 0, 0x3F81},
      {"cvt.rn.f16.f32 %d, %a", F32, F32, F32, B16, f(65520.0f), 0, 0, 0x7C00},
      {"cvt.rn.f16.f32 %d, %a", F32, F32, F32, B16, f(65519.0f), 0, 0, 0x7BFF},
      {"cvt.rn.f16.f32 %d, %a", F32, F32, F32, B16, f(std::ldexp(1.0f, -24)), 0, 0, 0x0001},
      {"cvt.rn.f16.f32 %d, %a", F32, F32, F32, B16, f(std::ldexp(1.0f, -25)), 0, 0, 0x0000},
      {"cvt.rn.f16.f32 %d, %a", F32, F32, F32, B16, f(std::ldexp(3.0f, -26)), 0, 0, 0x0001},
      {"cvt.rn.f16.f32 %d, %a", F32, F32, F32, B16, nan, 0, 0, num::f32_to_f16(std::bit_cast<float>(0x7FC00000u), num::Round::Nearest)},
      {"cvt.rn.bf16.f32 %d, %a", F32, F32, F32, B16, nan, 0, 0, num::f32_to_bf16(std::bit_cast<float>(0x7FC00000u), num::Round::Nearest)},
      {"cvt.f32.f16 %d, %a", B16, B16, B16, F32, 0x0001, 0, 0, f(std::ldexp(1.0f, -24))},
      {"cvt.f32.f16 %d, %a", B16, B16, B16, F32, 0xFC00, 0, 0, f(-std::numeric_limits<float>::infinity())},
      {"cvt.f32.bf16 %d, %a", B16, B16, B16, F32, 0x3F81, 0, 0, 0x3F810000},
      // bf16 widening is a bit move: even a signalling NaN keeps its bits,
      // as sm_80's mov.b32 {0, h} form of the same conversion does.
      {"cvt.f32.bf16 %d, %a", B16, B16, B16, F32, 0xFF81, 0, 0, 0xFF810000},
      {"cvt.f64.f16 %d, %a", B16, B16, B16, F64, 0x7E01, 0, 0, num::kNaN64},
      {"cvt.f64.bf16 %d, %a", B16, B16, B16, F64, 0x8001, 0, 0, d(-std::ldexp(1.0, -133))},
      {"cvt.rn.bf16x2.f32 %d, %a, %b", F32, F32, F32, B32, f(1.0f), f(-2.0f), 0, 0x3F80C000},
      {"cvt.rn.f16x2.f32 %d, %a, %b", F32, F32, F32, B32, f(1.0f), f(-2.0f), 0, 0x3C00C000},
      // float -> int: rounding, saturation, NaN
      {"cvt.rzi.s32.f32 %d, %a", F32, F32, F32, B32, f(-2.7f), 0, 0, static_cast<uint32_t>(-2)},
      {"cvt.rni.s32.f32 %d, %a", F32, F32, F32, B32, f(2.5f), 0, 0, 2},
      {"cvt.rni.s32.f32 %d, %a", F32, F32, F32, B32, f(3.5f), 0, 0, 4},
      {"cvt.rmi.s32.f32 %d, %a", F32, F32, F32, B32, f(-2.5f), 0, 0, static_cast<uint32_t>(-3)},
      {"cvt.rpi.s32.f32 %d, %a", F32, F32, F32, B32, f(2.1f), 0, 0, 3},
      {"cvt.rpi.u32.f32 %d, %a", F32, F32, F32, B32, f(-1.0f), 0, 0, 0},
      {"cvt.rzi.s32.f32 %d, %a", F32, F32, F32, B32, f(3e9f), 0, 0, 0x7FFFFFFF},
      {"cvt.rzi.s32.f32 %d, %a", F32, F32, F32, B32, nan, 0, 0, 0},
      {"cvt.rzi.u64.f64 %d, %a", F64, F64, F64, B64, d(1e30), 0, 0, ~0ull},
      {"cvt.rni.f32.f32 %d, %a", F32, F32, F32, F32, f(2.5f), 0, 0, f(2.0f)},
      {"cvt.rmi.f64.f64 %d, %a", F64, F64, F64, F64, d(-0.5), 0, 0, d(-1.0)},
      // cuda_fp16.h's htrunc / hrint forms
      {"cvt.rzi.f16.f16 %d, %a", B16, B16, B16, B16, 0xC100, 0, 0, 0xC000},  // -2.5 -> -2
      {"cvt.rni.f16.f16 %d, %a", B16, B16, B16, B16, 0x4100, 0, 0, 0x4000},  // 2.5 -> 2
      {"cvt.rpi.bf16.bf16 %d, %a", B16, B16, B16, B16, 0x3F81, 0, 0, 0x4000},
      // int -> float
      {"cvt.rn.f32.s32 %d, %a", B32, B32, B32, F32, 16777217, 0, 0, f(16777216.0f)},
      {"cvt.rp.f32.s32 %d, %a", B32, B32, B32, F32, 16777217, 0, 0, f(16777218.0f)},
      {"cvt.rn.f32.u64 %d, %a", B64, B64, B64, F32, ~0ull, 0, 0, 0x5F800000},
      {"cvt.rn.f64.s32 %d, %a", B32, B32, B32, F64, 0xFFFFFFFF, 0, 0, d(-1.0)},
      {"cvt.rz.f32.s64 %d, %a", B64, B64, B64, F32, static_cast<uint64_t>(-16777217), 0, 0,
       f(-16777216.0f)},
      // float <-> float
      {"cvt.rn.f32.f64 %d, %a", F64, F64, F64, F32, d(1.0 / 3.0), 0, 0, 0x3EAAAAAB},
      {"cvt.rz.f32.f64 %d, %a", F64, F64, F64, F32, d(1.0 / 3.0), 0, 0, 0x3EAAAAAA},
      {"cvt.rn.f32.f64 %d, %a", F64, F64, F64, F32, d(1e300), 0, 0, 0x7F800000},
      {"cvt.f64.f32 %d, %a", F32, F32, F32, F64, 0x00000001, 0, 0, d(std::ldexp(1.0, -149))},
      {"cvt.ftz.f64.f32 %d, %a", F32, F32, F32, F64, 0x00000001, 0, 0, 0},
      {"cvt.sat.f32.f32 %d, %a", F32, F32, F32, F32, f(1.5f), 0, 0, f(1.0f)},
      // int <-> int: truncation, extension, saturation
      {"cvt.u16.u32 %d, %a", B32, B32, B32, B16, 0x12345, 0, 0, 0x2345},
      {"cvt.s64.s32 %d, %a", B32, B32, B32, B64, 0xFFFFFFFF, 0, 0, ~0ull},
      {"cvt.u64.u32 %d, %a", B32, B32, B32, B64, 0xFFFFFFFF, 0, 0, 0xFFFFFFFFull},
      {"cvt.s32.s16 %d, %a", B16, B16, B16, B32, 0x8000, 0, 0, 0xFFFF8000},
      {"cvt.u32.u64 %d, %a", B64, B64, B64, B32, 0x1234567890ull, 0, 0, 0x34567890},
      {"cvt.sat.u16.s32 %d, %a", B32, B32, B32, B16, static_cast<uint32_t>(-5), 0, 0, 0},
      {"cvt.sat.s16.s32 %d, %a", B32, B32, B32, B16, 40000, 0, 0, 0x7FFF},
      {"cvt.sat.s16.s32 %d, %a", B32, B32, B32, B16, static_cast<uint32_t>(-40000), 0, 0, 0x8000},
      {"cvt.sat.s32.u32 %d, %a", B32, B32, B32, B32, 0x80000000, 0, 0, 0x7FFFFFFF},
      {"cvt.sat.u32.s64 %d, %a", B64, B64, B64, B32, 1ull << 40, 0, 0, 0xFFFFFFFF},
      // A narrow integer result fills a wider register extended by the
      // destination type's signedness.
      {"cvt.s8.s32 %d, %a", B32, B32, B32, B16, 0x180, 0, 0, 0xFF80},
      {"cvt.u8.s32 %d, %a", B32, B32, B32, B16, 0x1FF, 0, 0, 0x00FF},
      {"cvt.sat.s8.s32 %d, %a", B32, B32, B32, B16, static_cast<uint32_t>(-200), 0, 0, 0xFF80},
      {"cvt.s16.s64 %d, %a", B64, B64, B64, B32, 0x18000, 0, 0, 0xFFFF8000},
      {"cvt.rzi.s8.f32 %d, %a", F32, F32, F32, B16, f(-1.5f), 0, 0, 0xFFFF},
      {"cvt.rzi.u8.f32 %d, %a", F32, F32, F32, B16, f(300.0f), 0, 0, 0x00FF},
  }, "sm_90");
}

// The documented results that a differential fuzz run found missing.
TEST(ScalarOps, NanToIntegerSaturateAndAbsFollowTheIsa) {
  const uint64_t nan64 = 0x7FF8000000000000ull, nan32 = 0x7FC00000, neg_nan64 = 0xFFF8000000000123ull;
  run_cases({
      // cvt to an integer: NaN gives 0 only from a narrower-than-f64 source
      // into a narrower-than-64-bit result, else 1 << (width - 1).
      {"cvt.rni.s32.f64 %d, %a", F64, F64, F64, B32, nan64, 0, 0, 0x80000000},
      {"cvt.rzi.u32.f64 %d, %a", F64, F64, F64, B32, nan64, 0, 0, 0x80000000},
      {"cvt.rmi.s64.f64 %d, %a", F64, F64, F64, B64, nan64, 0, 0, 0x8000000000000000ull},
      {"cvt.rpi.u64.f64 %d, %a", F64, F64, F64, B64, nan64, 0, 0, 0x8000000000000000ull},
      {"cvt.rzi.s64.f32 %d, %a", F32, F32, F32, B64, nan32, 0, 0, 0x8000000000000000ull},
      {"cvt.rni.u64.f32 %d, %a", F32, F32, F32, B64, nan32, 0, 0, 0x8000000000000000ull},
      {"cvt.rzi.s16.f64 %d, %a", F64, F64, F64, B16, nan64, 0, 0, 0x8000},
      {"cvt.rzi.u32.f32 %d, %a", F32, F32, F32, B32, nan32, 0, 0, 0},
      // .sat gives +0 for -0 (and for NaN), in cvt and in arithmetic
      {"cvt.sat.f32.f32 %d, %a", F32, F32, F32, F32, f(-0.0f), 0, 0, 0},
      {"cvt.sat.f64.f64 %d, %a", F64, F64, F64, F64, d(-0.0), 0, 0, 0},
      {"cvt.rn.sat.f32.f64 %d, %a", F64, F64, F64, F32, d(-1e-300), 0, 0, 0},
      {"add.sat.f32 %d, %a, %b", F32, F32, F32, F32, f(-0.0f), f(-0.0f), 0, 0},
      {"mul.rz.sat.f32 %d, %a, %b", F32, F32, F32, F32, f(-1e-30f), f(1e-30f), 0, 0},
      {"fma.rn.sat.f32 %d, %a, %b, %c", F32, F32, F32, F32, f(-0.0f), f(1.0f), f(-0.0f), 0},
      // abs.f64 passes a NaN through unchanged; a number loses its sign
      {"abs.f64 %d, %a", F64, F64, F64, F64, neg_nan64, 0, 0, neg_nan64},
      {"abs.f64 %d, %a", F64, F64, F64, F64, d(-0.0), 0, 0, 0},
      {"abs.f64 %d, %a", F64, F64, F64, F64, d(-2.5), 0, 0, d(2.5)},
  }, "sm_90");
}

TEST(ScalarOps, ComparisonsSelectionAndMoves) {
  const uint64_t nan = 0x7FC00000;
  // setp writes a predicate; selp turns it into 1 or 0.
  auto cmp = [](const char* setp) {
    return std::string("{ .reg .pred %p; ") + setp + " %p, %a, %b; selp.b32 %d, 1, 0, %p; }";
  };
  std::vector<std::string> texts;
  struct Cmp {
    const char* setp;
    const char* t;
    uint64_t a, b, expect;
  };
  const Cmp cmps[] = {
      {"setp.lt.s32", B32, 0xFFFFFFFF, 1, 1},   {"setp.lt.u32", B32, 0xFFFFFFFF, 1, 0},
      {"setp.lo.s32", B32, 0xFFFFFFFF, 1, 0},   {"setp.hs.u32", B32, 5, 5, 1},
      {"setp.ge.s16", B16, 0x8000, 0x7FFF, 0},  {"setp.ne.b64", B64, 1, 1ull << 32 | 1, 1},
      {"setp.eq.f32", F32, f(0.0f), f(-0.0f), 1}, {"setp.lt.f32", F32, nan, f(1.0f), 0},
      {"setp.ltu.f32", F32, nan, f(1.0f), 1},   {"setp.ne.f32", F32, nan, nan, 0},
      {"setp.neu.f32", F32, nan, nan, 1},       {"setp.nan.f32", F32, f(1.0f), nan, 1},
      {"setp.num.f32", F32, f(1.0f), nan, 0},   {"setp.geu.f64", F64, d(1.0), d(2.0), 0},
      {"setp.gt.ftz.f32", F32, 0x00000001, 0, 0}, {"setp.gt.f32", F32, 0x00000001, 0, 1},
  };
  std::vector<Case> cases;
  for (const Cmp& c : cmps) {
    texts.push_back(cmp(c.setp));
    cases.push_back({texts.back().c_str(), c.t, c.t, B32, B32, c.a, c.b, 0, c.expect});
  }
  // Combined forms: setp.cmp.bop p|q, a, b, c.
  texts.push_back("{ .reg .pred %p, %q, %r; setp.ne.b32 %r, %c, 0; "
                  "setp.lt.and.s32 %p|%q, %a, %b, %r; selp.b32 %d, 1, 0, %p; "
                  "selp.b32 %a, 2, 0, %q; or.b32 %d, %d, %a; }");
  cases.push_back({texts.back().c_str(), B32, B32, B32, B32, 1, 2, 1, 1});   // p = true, q = false
  cases.push_back({texts.back().c_str(), B32, B32, B32, B32, 3, 2, 1, 2});   // p = false, q = true
  cases.push_back({texts.back().c_str(), B32, B32, B32, B32, 1, 2, 0, 0});   // c false: both false
  texts.push_back("{ .reg .pred %p, %r; setp.ne.b32 %r, %c, 0; "
                  "setp.gt.xor.u32 %p, %a, %b, !%r; selp.b32 %d, 1, 0, %p; }");
  cases.push_back({texts.back().c_str(), B32, B32, B32, B32, 3, 2, 0, 0});   // 1 ^ !0 = 0
  cases.push_back({texts.back().c_str(), B32, B32, B32, B32, 3, 2, 1, 1});   // 1 ^ !1 = 1
  // Predicate logic and guarded execution.
  texts.push_back("{ .reg .pred %p, %q, %r; setp.ne.b32 %p, %a, 0; setp.ne.b32 %q, %b, 0; "
                  "xor.pred %r, %p, %q; not.pred %r, %r; mov.b32 %d, 7; @%r mov.b32 %d, 9; }");
  cases.push_back({texts.back().c_str(), B32, B32, B32, B32, 1, 1, 0, 9});
  cases.push_back({texts.back().c_str(), B32, B32, B32, B32, 1, 0, 0, 7});
  texts.push_back("{ .reg .pred %p; setp.eq.b32 %p, %a, 0; mov.b32 %d, 7; @!%p mov.b32 %d, 9; }");
  cases.push_back({texts.back().c_str(), B32, B32, B32, B32, 0, 0, 0, 7});
  cases.push_back({texts.back().c_str(), B32, B32, B32, B32, 1, 0, 0, 9});
  // Packing and unpacking with mov; literals of every kind.
  cases.push_back({"mov.b64 %d, {%a, %b}", B32, B32, B32, B64, 0x11111111, 0x22222222, 0,
                   0x2222222211111111ull});
  cases.push_back({"mov.b32 %d, {%a, %b}", B16, B16, B16, B32, 0x1111, 0x2222, 0, 0x22221111});
  cases.push_back({"{ .reg .b16 lo, hi; mov.b32 {lo, hi}, %a; mov.b32 %d, {hi, lo}; }", B32, B32,
                   B32, B32, 0xAAAABBBB, 0, 0, 0xBBBBAAAA});
  cases.push_back({"{ .reg .b32 x, y; mov.b64 {x, y}, %a; sub.s32 %d, x, y; }", B64, B64, B64, B32,
                   0x0000000500000007ull, 0, 0, 2});
  cases.push_back({"mov.b32 %d, {0, %a}", B16, B16, B16, B32, 0x3F80, 0, 0, 0x3F800000});
  cases.push_back({"mov.f32 %d, 0fBF800000", F32, F32, F32, F32, 0, 0, 0, f(-1.0f)});
  cases.push_back({"add.f64 %d, %a, 0d3FF0000000000000", F64, F64, F64, F64, d(1.0), 0, 0, d(2.0)});
  cases.push_back({"add.s32 %d, %a, -0x10", B32, B32, B32, B32, 0, 0, 0, 0xFFFFFFF0});
  run_cases(cases);
}

}  // namespace
}  // namespace tvnsim::test
