// Simulated results do not depend on the calling thread's floating-point
// environment: a caller in round-upward mode with flush-to-zero and
// denormals-are-zero set still gets the device's round-to-nearest-even,
// subnormal-preserving results, on the calling thread and on the helper
// threads alike, from literals read while it loads the module too, and gets
// its own environment back afterwards.
#include <gtest/gtest.h>

#include <cfenv>

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#endif

#include "harness.h"

namespace tvnsim::test {
namespace {

// Each block writes the same eleven results; the comment gives what the host
// FPU would produce in FE_UPWARD (or with FTZ/DAZ) instead.
constexpr const char* kBody = R"(
.visible .entry fpenv(.param .u64 out) {
  .reg .b32 %r<2>;
  .reg .b64 %rd<4>;
  .reg .f32 %f<8>;
  .reg .f64 %fd<8>;
  ld.param.u64 %rd1, [out];
  mov.u32 %r1, %ctaid.x;
  mul.wide.u32 %rd2, %r1, 88;
  add.s64 %rd1, %rd1, %rd2;
  add.rn.f32 %f1, 0f3F800000, 0f30800000;
  st.global.f32 [%rd1], %f1;
  mul.rn.f32 %f2, 0f00000002, 0f3F000000;
  st.global.f32 [%rd1+8], %f2;
  add.rn.f64 %fd1, 0d3FF0000000000000, 0d3C30000000000000;
  st.global.f64 [%rd1+16], %fd1;
  fma.rn.f32 %f3, 0f3F800001, 0f3F800001, 0f00000000;
  st.global.f32 [%rd1+24], %f3;
  div.rn.f32 %f4, 0f3F800000, 0f40E00000;
  st.global.f32 [%rd1+32], %f4;
  sqrt.rn.f32 %f5, 0f40000000;
  st.global.f32 [%rd1+40], %f5;
  rcp.rn.f64 %fd2, 0d4008000000000000;
  st.global.f64 [%rd1+48], %fd2;
  cvt.rni.f32.f32 %f6, 0f40200000;
  st.global.f32 [%rd1+56], %f6;
  mul.rn.f64 %fd3, 0d0000000000000002, 0d3FE0000000000000;
  st.global.f64 [%rd1+64], %fd3;
  mov.f32 %f7, 0d3FC2492492492492;
  st.global.f32 [%rd1+72], %f7;
  mov.f64 %fd4, 0.3;
  st.global.f64 [%rd1+80], %fd4;
  ret;
}
)";

constexpr uint64_t kExpected[11] = {
    0x3F800000,            // 1 + 2^-30 (upward: 0x3F800001)
    0x00000001,            // 2^-148 * 0.5, the smallest subnormal (FTZ/DAZ: 0)
    0x3FF0000000000000,    // 1 + 2^-60 (upward: ...01)
    0x3F800002,            // (1 + 2^-23)^2 (upward: 0x3F800003)
    0x3E124925,            // 1 / 7 (upward: 0x3E124926)
    0x3FB504F3,            // sqrt(2) (upward: 0x3FB504F4)
    0x3FD5555555555555,    // 1 / 3 (upward: ...56)
    0x40000000,            // rint(2.5) = 2 (upward: 3)
    0x0000000000000001,    // 2^-1073 * 0.5 (DAZ: 0)
    0x3E124925,            // f64 literal 1/7 narrowed to f32 (upward: 0x3E124926)
    0x3FD3333333333333,    // decimal literal 0.3 (upward: ...34)
};

#if defined(__x86_64__) || defined(__i386__)
constexpr unsigned kFtzDaz = 0x8040;
unsigned control() { return _mm_getcsr(); }
void set_control(unsigned c) { _mm_setcsr(c); }
#else
constexpr unsigned kFtzDaz = 0;
unsigned control() { return 0; }
void set_control(unsigned) {}
#endif

TEST(FpEnv, ResultsIgnoreTheCallersRoundingAndFlushModes) {
  constexpr uint32_t kBlocks = 8;
  Device dev;
  dev.options.host_threads = 4;
  const uint64_t out = dev.alloc(kBlocks * 88);

  const unsigned saved = control();
  std::fesetround(FE_UPWARD);
  set_control(control() | kFtzDaz);
  const bool loaded = dev.load(ptx_module(kBody)) != nullptr;
  const ExecResult r = dev.launch("fpenv", {kBlocks, 1, 1}, {1, 1, 1}, {Arg::u64(out)});
  const int round_after = std::fegetround();
  const unsigned control_after = control();
  std::fesetround(FE_TONEAREST);
  set_control(saved);

  ASSERT_TRUE(loaded);
  ASSERT_EQ(r.result, 0) << r.message;
  EXPECT_EQ(round_after, FE_UPWARD) << "the caller's rounding mode is restored";
  EXPECT_EQ(control_after & kFtzDaz, kFtzDaz) << "the caller's FTZ/DAZ bits are restored";
  const std::vector<uint64_t> got = dev.download<uint64_t>(out, kBlocks * 11);
  for (uint32_t b = 0; b < kBlocks; ++b) {
    for (int i = 0; i < 11; ++i) {
      const bool f64 = i == 2 || i == 6 || i == 8 || i == 10;
      const uint64_t v = f64 ? got[b * 11 + i] : got[b * 11 + i] & 0xFFFFFFFFu;
      EXPECT_EQ(v, kExpected[i]) << "block " << b << " result " << i;
    }
  }
}

}  // namespace
}  // namespace tvnsim::test
