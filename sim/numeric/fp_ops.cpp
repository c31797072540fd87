// f32 / f64 arithmetic.  Round-to-nearest uses the host FPU, whose default
// mode is exactly IEEE nearest-even (and std::fma is a single rounding); the
// directed modes go through the integer model in ieee.h.  NaN results are
// replaced by the device's canonical NaN in every mode.
#include <cmath>

#include "numeric/ieee.h"

// fma is the interpreter's hottest instruction; on x86-64 a clone built for
// the FMA extension, picked at load time, avoids a call into libm.
#if defined(__x86_64__) && defined(__GNUC__)
#define TVNSIM_FMA_CLONES __attribute__((target_clones("fma", "default")))
#else
#define TVNSIM_FMA_CLONES
#endif

namespace tvnsim::num {

using namespace detail;

namespace {

float f32_result(float v) { return std::isnan(v) ? f32_of(kNaN32) : v; }
double f64_result(double v) { return std::isnan(v) ? f64_of(kNaN64) : v; }

}  // namespace

float add_f32(float a, float b, Round r) {
  if (r == Round::Nearest) return f32_result(a + b);
  return f32_of(add_bits(bits_of(a), bits_of(b), kF32, r, kNaN32));
}
float sub_f32(float a, float b, Round r) { return add_f32(a, -b, r); }
float mul_f32(float a, float b, Round r) {
  if (r == Round::Nearest) return f32_result(a * b);
  return f32_of(mul_bits(bits_of(a), bits_of(b), kF32, r, kNaN32));
}
TVNSIM_FMA_CLONES float fma_f32(float a, float b, float c, Round r) {
  if (r == Round::Nearest) return f32_result(std::fma(a, b, c));
  return f32_of(fma_bits(bits_of(a), bits_of(b), bits_of(c), kF32, r, kNaN32));
}
float div_f32(float a, float b, Round r) {
  if (r == Round::Nearest) return f32_result(a / b);
  return f32_of(div_bits(bits_of(a), bits_of(b), kF32, r, kNaN32));
}
float sqrt_f32(float a, Round r) {
  if (r == Round::Nearest) return f32_result(std::sqrt(a));
  return f32_of(sqrt_bits(bits_of(a), kF32, r, kNaN32));
}
float rcp_f32(float a, Round r) { return div_f32(1.0f, a, r); }

double add_f64(double a, double b, Round r) {
  if (r == Round::Nearest) return f64_result(a + b);
  return f64_of(add_bits(bits_of(a), bits_of(b), kF64, r, kNaN64));
}
double sub_f64(double a, double b, Round r) { return add_f64(a, -b, r); }
double mul_f64(double a, double b, Round r) {
  if (r == Round::Nearest) return f64_result(a * b);
  return f64_of(mul_bits(bits_of(a), bits_of(b), kF64, r, kNaN64));
}
TVNSIM_FMA_CLONES double fma_f64(double a, double b, double c, Round r) {
  if (r == Round::Nearest) return f64_result(std::fma(a, b, c));
  return f64_of(fma_bits(bits_of(a), bits_of(b), bits_of(c), kF64, r, kNaN64));
}
double div_f64(double a, double b, Round r) {
  if (r == Round::Nearest) return f64_result(a / b);
  return f64_of(div_bits(bits_of(a), bits_of(b), kF64, r, kNaN64));
}
double sqrt_f64(double a, Round r) {
  if (r == Round::Nearest) return f64_result(std::sqrt(a));
  return f64_of(sqrt_bits(bits_of(a), kF64, r, kNaN64));
}
double rcp_f64(double a, Round r) { return div_f64(1.0, a, r); }

float flush_subnormal(float x) {
  const uint32_t b = bits_of(x);
  return (b & 0x7F800000u) == 0 ? f32_of(b & 0x80000000u) : x;
}

// x > 0 is false for NaN and for both zeros: each gives +0.
float saturate(float x) { return x > 0.0f ? (x < 1.0f ? x : 1.0f) : 0.0f; }

// Both zeros compare equal, but the device orders -0 below +0.
float min_f32(float a, float b) {
  if (std::isnan(a)) return std::isnan(b) ? f32_of(kNaN32) : b;
  if (std::isnan(b)) return a;
  if (a == b) return std::signbit(a) ? a : b;
  return a < b ? a : b;
}

float max_f32(float a, float b) {
  if (std::isnan(a)) return std::isnan(b) ? f32_of(kNaN32) : b;
  if (std::isnan(b)) return a;
  if (a == b) return std::signbit(a) ? b : a;
  return a > b ? a : b;
}

}  // namespace tvnsim::num
