// Host models of the CUDA device intrinsics the fuzzer's programs use, exact
// to the bit: the host FPU is correctly rounded in every rounding mode, so
// each directed-rounding intrinsic switches the mode around one operation
// (the file is compiled with -frounding-math -ffp-contract=off), its operands
// fixed in volatile storage first.  Conversions
// to integers follow the PTX cvt rules: saturation, and NaN giving 0 or
// 1 << (width - 1).  check_oracle.py tests these models against an exact
// rational model.
#pragma once

#include <cfenv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace fuzz_host {

// The operands go through volatile before the mode changes: without that,
// g++ may compute an operand's own (round-to-nearest) expression after the
// fesetround, in the directed mode.
template <class T>
inline T in_mode(int mode, T (*f)(T, T, T), T a, T b, T c) {
  volatile T va = a, vb = b, vc = c;
  std::fesetround(mode);
  volatile T r = f(va, vb, vc);
  std::fesetround(FE_TONEAREST);
  return r;
}

template <class T> inline T op_add(T a, T b, T) { volatile T x = a, y = b; return x + y; }
template <class T> inline T op_sub(T a, T b, T) { volatile T x = a, y = b; return x - y; }
template <class T> inline T op_mul(T a, T b, T) { volatile T x = a, y = b; return x * y; }
template <class T> inline T op_div(T a, T b, T) { volatile T x = a, y = b; return x / y; }
template <class T> inline T op_rcp(T a, T, T) { volatile T x = a; return T(1) / x; }
template <class T> inline T op_sqrt(T a, T, T) { volatile T x = a; return std::sqrt(x); }
template <class T> inline T op_fma(T a, T b, T c) { volatile T x = a; return std::fma(x, b, c); }

inline uint32_t bits32(float f) { uint32_t u; std::memcpy(&u, &f, 4); return u; }
inline uint64_t bits64(double d) { uint64_t u; std::memcpy(&u, &d, 8); return u; }
inline float from32(uint32_t u) { float f; std::memcpy(&f, &u, 4); return f; }
inline double from64(uint64_t u) { double d; std::memcpy(&d, &u, 8); return d; }

// Integral value of x in the mode, then saturated to the integer range.
template <class I>
inline I to_int(double x, int mode, bool nan_is_min) {
  if (std::isnan(x)) return nan_is_min ? std::numeric_limits<I>::min() : I(0);
  double r;
  switch (mode) {
    case FE_TOWARDZERO: r = std::trunc(x); break;
    case FE_DOWNWARD: r = std::floor(x); break;
    case FE_UPWARD: r = std::ceil(x); break;
    default: r = std::nearbyint(x); break;  // runs in nearest-even
  }
  const long double lo = std::numeric_limits<I>::min(), hi = std::numeric_limits<I>::max();
  if (r <= lo) return std::numeric_limits<I>::min();
  if (r >= hi) return std::numeric_limits<I>::max();
  return static_cast<I>(r);
}
// The unsigned NaN result is 1 << (width - 1), which min() does not give.
template <class I>
inline I to_uint(double x, int mode, bool nan_is_high) {
  if (std::isnan(x)) return nan_is_high ? I(I(1) << (8 * sizeof(I) - 1)) : I(0);
  return to_int<I>(x, mode, false);
}

template <class F, class I>
inline F from_int(I v, int mode) {
  volatile I x = v;
  std::fesetround(mode);
  volatile F r = static_cast<F>(x);
  std::fesetround(FE_TONEAREST);
  return r;
}

inline float narrow(double d, int mode) {
  volatile double x = d;
  std::fesetround(mode);
  volatile float r = static_cast<float>(x);
  std::fesetround(FE_TONEAREST);
  return r;
}

}  // namespace fuzz_host

#define FH_MODES(X) X(rn, FE_TONEAREST) X(rz, FE_TOWARDZERO) X(rd, FE_DOWNWARD) X(ru, FE_UPWARD)

// f32 / f64 arithmetic with a rounding suffix.
#define FH_ARITH(sfx, mode)                                                                         \
  inline float __fadd_##sfx(float a, float b) { return fuzz_host::in_mode(mode, fuzz_host::op_add<float>, a, b, 0.f); } \
  inline float __fsub_##sfx(float a, float b) { return fuzz_host::in_mode(mode, fuzz_host::op_sub<float>, a, b, 0.f); } \
  inline float __fmul_##sfx(float a, float b) { return fuzz_host::in_mode(mode, fuzz_host::op_mul<float>, a, b, 0.f); } \
  inline float __fdiv_##sfx(float a, float b) { return fuzz_host::in_mode(mode, fuzz_host::op_div<float>, a, b, 0.f); } \
  inline float __frcp_##sfx(float a) { return fuzz_host::in_mode(mode, fuzz_host::op_rcp<float>, a, 0.f, 0.f); }        \
  inline float __fsqrt_##sfx(float a) { return fuzz_host::in_mode(mode, fuzz_host::op_sqrt<float>, a, 0.f, 0.f); }      \
  inline float __fmaf_##sfx(float a, float b, float c) { return fuzz_host::in_mode(mode, fuzz_host::op_fma<float>, a, b, c); } \
  inline double __dadd_##sfx(double a, double b) { return fuzz_host::in_mode(mode, fuzz_host::op_add<double>, a, b, 0.); } \
  inline double __dsub_##sfx(double a, double b) { return fuzz_host::in_mode(mode, fuzz_host::op_sub<double>, a, b, 0.); } \
  inline double __dmul_##sfx(double a, double b) { return fuzz_host::in_mode(mode, fuzz_host::op_mul<double>, a, b, 0.); } \
  inline double __ddiv_##sfx(double a, double b) { return fuzz_host::in_mode(mode, fuzz_host::op_div<double>, a, b, 0.); } \
  inline double __drcp_##sfx(double a) { return fuzz_host::in_mode(mode, fuzz_host::op_rcp<double>, a, 0., 0.); }        \
  inline double __dsqrt_##sfx(double a) { return fuzz_host::in_mode(mode, fuzz_host::op_sqrt<double>, a, 0., 0.); }      \
  inline double __fma_##sfx(double a, double b, double c) { return fuzz_host::in_mode(mode, fuzz_host::op_fma<double>, a, b, c); }
FH_MODES(FH_ARITH)

// Conversions with a rounding suffix.  NaN: 0 for an f32 source and a 32-bit
// result, 1 << (width - 1) otherwise.
#define FH_CONVERT(sfx, mode)                                                                              \
  inline int __float2int_##sfx(float x) { return fuzz_host::to_int<int32_t>(x, mode, false); }             \
  inline unsigned __float2uint_##sfx(float x) { return fuzz_host::to_uint<uint32_t>(x, mode, false); }     \
  inline long long __float2ll_##sfx(float x) { return fuzz_host::to_int<int64_t>(x, mode, true); }         \
  inline unsigned long long __float2ull_##sfx(float x) { return fuzz_host::to_uint<uint64_t>(x, mode, true); } \
  inline int __double2int_##sfx(double x) { return fuzz_host::to_int<int32_t>(x, mode, true); }            \
  inline unsigned __double2uint_##sfx(double x) { return fuzz_host::to_uint<uint32_t>(x, mode, true); }    \
  inline long long __double2ll_##sfx(double x) { return fuzz_host::to_int<int64_t>(x, mode, true); }       \
  inline unsigned long long __double2ull_##sfx(double x) { return fuzz_host::to_uint<uint64_t>(x, mode, true); } \
  inline float __int2float_##sfx(int v) { return fuzz_host::from_int<float>(v, mode); }                    \
  inline float __uint2float_##sfx(unsigned v) { return fuzz_host::from_int<float>(v, mode); }              \
  inline float __ll2float_##sfx(long long v) { return fuzz_host::from_int<float>(v, mode); }               \
  inline float __ull2float_##sfx(unsigned long long v) { return fuzz_host::from_int<float>(v, mode); }     \
  inline double __ll2double_##sfx(long long v) { return fuzz_host::from_int<double>(v, mode); }            \
  inline double __ull2double_##sfx(unsigned long long v) { return fuzz_host::from_int<double>(v, mode); }  \
  inline float __double2float_##sfx(double x) { return fuzz_host::narrow(x, mode); }
FH_MODES(FH_CONVERT)

// +0 for x <= 0 (both zeros) and NaN, 1 above 1.
inline float __saturatef(float x) { return x > 0.0f ? (x < 1.0f ? x : 1.0f) : 0.0f; }
// min/max: a NaN operand yields the other; -0 orders below +0.
template <class T>
inline T fh_min(T a, T b) {
  if (std::isnan(a)) return b;
  if (std::isnan(b)) return a;
  if (a == b) return std::signbit(a) ? a : b;
  return a < b ? a : b;
}
template <class T>
inline T fh_max(T a, T b) {
  if (std::isnan(a)) return b;
  if (std::isnan(b)) return a;
  if (a == b) return std::signbit(a) ? b : a;
  return a > b ? a : b;
}
inline int __popc(unsigned x) { return __builtin_popcount(x); }
inline int __popcll(unsigned long long x) { return __builtin_popcountll(x); }
inline int __clz(int x) { return x ? __builtin_clz(static_cast<unsigned>(x)) : 32; }
inline int __clzll(long long x) { return x ? __builtin_clzll(static_cast<unsigned long long>(x)) : 64; }
inline unsigned __brev(unsigned x) {
  unsigned r = 0;
  for (int i = 0; i < 32; ++i) r |= ((x >> i) & 1u) << (31 - i);
  return r;
}
inline unsigned __umulhi(unsigned a, unsigned b) { return static_cast<unsigned>((uint64_t{a} * b) >> 32); }
inline int __mulhi(int a, int b) { return static_cast<int>((int64_t{a} * b) >> 32); }
inline unsigned long long __umul64hi(unsigned long long a, unsigned long long b) {
  return static_cast<unsigned long long>((static_cast<unsigned __int128>(a) * b) >> 64);
}
inline long long __mul64hi(long long a, long long b) {
  return static_cast<long long>((static_cast<__int128>(a) * b) >> 64);
}
inline unsigned __byte_perm(unsigned x, unsigned y, unsigned s) {
  const uint64_t v = (uint64_t{y} << 32) | x;
  unsigned r = 0;
  for (int i = 0; i < 4; ++i) r |= static_cast<unsigned>((v >> (8 * ((s >> (4 * i)) & 7))) & 0xFF) << (8 * i);
  return r;
}
inline unsigned __funnelshift_l(unsigned lo, unsigned hi, unsigned s) {
  const uint64_t v = (uint64_t{hi} << 32) | lo;
  return static_cast<unsigned>((v << (s & 31)) >> 32);
}
inline unsigned __funnelshift_r(unsigned lo, unsigned hi, unsigned s) {
  const uint64_t v = (uint64_t{hi} << 32) | lo;
  return static_cast<unsigned>(v >> (s & 31));
}
