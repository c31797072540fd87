// f32 / f64 arithmetic in the four rounding modes against the host FPU run
// in the same mode.  Both the public functions and the integer model behind
// them are checked, the latter also in nearest mode where the public
// functions take the host's own path.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "host_reference.h"
#include "numeric/ieee.h"

namespace {

using namespace numtest;
namespace num = tvnsim::num;
namespace d = tvnsim::num::detail;

template <class T>
struct Fmt;
template <>
struct Fmt<float> {
  static constexpr d::Format format = d::kF32;
  static constexpr uint64_t nan = num::kNaN32;
  static float of(uint64_t b) { return std::bit_cast<float>(static_cast<uint32_t>(b)); }
};
template <>
struct Fmt<double> {
  static constexpr d::Format format = d::kF64;
  static constexpr uint64_t nan = num::kNaN64;
  static double of(uint64_t b) { return std::bit_cast<double>(b); }
};

enum class Op { Add, Sub, Mul, Fma, Div, Sqrt, Rcp };
constexpr Op kOps[] = {Op::Add, Op::Sub, Op::Mul, Op::Fma, Op::Div, Op::Sqrt, Op::Rcp};
const char* name(Op op) {
  constexpr const char* names[] = {"add", "sub", "mul", "fma", "div", "sqrt", "rcp"};
  return names[static_cast<int>(op)];
}

template <class T>
T host(Op op, Round r, T a, T b, T c) {
  return host_rounded<T>(r, [&]() -> T {
    volatile T x = a, y = b, z = c;
    switch (op) {
      case Op::Add: return x + y;
      case Op::Sub: return x - y;
      case Op::Mul: return x * y;
      case Op::Fma: return std::fma(T(x), T(y), T(z));
      case Op::Div: return x / y;
      case Op::Sqrt: return std::sqrt(T(x));
      case Op::Rcp: return T(1) / x;
    }
    return 0;
  });
}

float api(Op op, Round r, float a, float b, float c) {
  switch (op) {
    case Op::Add: return num::add_f32(a, b, r);
    case Op::Sub: return num::sub_f32(a, b, r);
    case Op::Mul: return num::mul_f32(a, b, r);
    case Op::Fma: return num::fma_f32(a, b, c, r);
    case Op::Div: return num::div_f32(a, b, r);
    case Op::Sqrt: return num::sqrt_f32(a, r);
    case Op::Rcp: return num::rcp_f32(a, r);
  }
  return 0;
}

double api(Op op, Round r, double a, double b, double c) {
  switch (op) {
    case Op::Add: return num::add_f64(a, b, r);
    case Op::Sub: return num::sub_f64(a, b, r);
    case Op::Mul: return num::mul_f64(a, b, r);
    case Op::Fma: return num::fma_f64(a, b, c, r);
    case Op::Div: return num::div_f64(a, b, r);
    case Op::Sqrt: return num::sqrt_f64(a, r);
    case Op::Rcp: return num::rcp_f64(a, r);
  }
  return 0;
}

template <class T>
T model(Op op, Round r, T a, T b, T c) {
  constexpr d::Format f = Fmt<T>::format;
  constexpr uint64_t nan = Fmt<T>::nan;
  const uint64_t x = bits(a), y = bits(b), z = bits(c);
  switch (op) {
    case Op::Add: return Fmt<T>::of(d::add_bits(x, y, f, r, nan));
    case Op::Sub: return Fmt<T>::of(d::add_bits(x, y ^ f.sign_bit(), f, r, nan));
    case Op::Mul: return Fmt<T>::of(d::mul_bits(x, y, f, r, nan));
    case Op::Fma: return Fmt<T>::of(d::fma_bits(x, y, z, f, r, nan));
    case Op::Div: return Fmt<T>::of(d::div_bits(x, y, f, r, nan));
    case Op::Sqrt: return Fmt<T>::of(d::sqrt_bits(x, f, r, nan));
    case Op::Rcp: return Fmt<T>::of(d::div_bits(bits(T(1)), x, f, r, nan));
  }
  return 0;
}

// Operand triples: every pair of edge values, exact ties of add and mul,
// random patterns, and random operands chosen close in magnitude (for
// cancellation) or with c close to -a*b (for fma cancellation).
template <class T>
std::vector<std::array<T, 3>> operands() {
  using L = std::numeric_limits<T>;
  constexpr int p = L::digits;
  const T ulp_half = std::ldexp(T(1), -p);  // half an ulp of 1
  const T edges[] = {T(0), -T(0), L::denorm_min(), -L::denorm_min(), L::min() - L::denorm_min(), L::min(),
                     -L::min(), T(1), T(-1), T(1.5), T(3), T(0.1), L::max(), -L::max(), L::infinity(),
                     -L::infinity(), L::quiet_NaN(), std::ldexp(T(1), L::min_exponent - 2 + p / 2)};
  std::vector<std::array<T, 3>> v;
  for (T a : edges)
    for (T b : edges) v.push_back({a, b, edges[v.size() % std::size(edges)]});
  const T one_plus = 1 + std::ldexp(T(1), -(p / 2));
  for (T s : {T(1), T(-1)}) {
    v.push_back({s, s * ulp_half, 0});                    // 1 + half ulp: tie to even (down)
    v.push_back({s * (1 + 2 * ulp_half), s * ulp_half, 0});  // tie to even (up)
    v.push_back({s * one_plus, one_plus, 0});               // (1 + 2^-(p/2))^2 is a tie
    v.push_back({s * one_plus, one_plus, -1});              // fma leaves the exact tail
    v.push_back({s * L::min(), T(0.5), 0});                 // subnormal quotient / product
    v.push_back({s * 3 * L::denorm_min(), T(0.5), 0});      // subnormal tie
  }
  std::mt19937_64 rng(12345);
  using U = std::conditional_t<sizeof(T) == 4, uint32_t, uint64_t>;
  const auto pattern = [&] { return std::bit_cast<T>(static_cast<U>(rng())); };
  const auto near = [&](T x, int spread) {
    std::uniform_int_distribution<int> k(-spread, spread);
    const T y = std::ldexp(std::bit_cast<T>(static_cast<U>(bits(x) ^ (rng() & 0xFFFF))), k(rng));
    return (rng() & 1) ? y : -y;
  };
  for (int i = 0; i < 4000; ++i) v.push_back({pattern(), pattern(), pattern()});
  for (int i = 0; i < 8000; ++i) {
    const T a = std::ldexp(T(std::uniform_real_distribution<double>(1, 2)(rng)), int(rng() % 40) - 20);
    const T b = near(a, i % 2 ? 3 : p + 4);
    v.push_back({a, b, near(-a * b, 2)});
    v.push_back({a * L::min(), b, -a * b * L::min()});  // subnormal range
  }
  return v;
}

template <class T>
void check_all(const char* type) {
  const auto cases = operands<T>();
  for (Op op : kOps) {
    int failures = 0;
    for (Round r : kAllModes) {
      for (const auto& [a, b, c] : cases) {
        const T want = host(op, r, a, b, c);
        const uint64_t want_bits = std::isnan(want) ? Fmt<T>::nan : bits(want);
        const uint64_t got_api = bits(api(op, r, a, b, c));
        const uint64_t got_model = bits(model(op, r, a, b, c));
        if ((got_api != want_bits || got_model != want_bits) && ++failures <= 5) {
          ADD_FAILURE() << type << " " << name(op) << " mode " << int(r) << " a=" << std::hexfloat << a
                        << " b=" << b << " c=" << c << " want " << want << " api " << api(op, r, a, b, c)
                        << " model " << model(op, r, a, b, c);
        }
      }
    }
    EXPECT_EQ(failures, 0) << type << " " << name(op);
  }
}

TEST(Arithmetic, F32MatchesHostInEveryMode) { check_all<float>("f32"); }
TEST(Arithmetic, F64MatchesHostInEveryMode) { check_all<double>("f64"); }

TEST(Arithmetic, ExactZeroSumIsNegativeOnlyRoundingDown) {
  for (Round r : kAllModes) {
    const bool neg = r == Round::Down;
    EXPECT_EQ(std::signbit(num::add_f32(1.5f, -1.5f, r)), neg);
    EXPECT_EQ(std::signbit(num::fma_f32(2.0f, 3.0f, -6.0f, r)), neg);
    EXPECT_EQ(std::signbit(num::add_f64(-0.0, 0.0, r)), neg);
    EXPECT_TRUE(std::signbit(num::add_f32(-0.0f, -0.0f, r)));
  }
}

TEST(Arithmetic, MinMaxFtzSat) {
  const float nan = std::bit_cast<float>(0x7FC00001u);
  EXPECT_EQ(num::min_f32(nan, 2.0f), 2.0f);
  EXPECT_EQ(num::max_f32(-3.0f, nan), -3.0f);
  EXPECT_EQ(bits(num::min_f32(nan, -nan)), num::kNaN32);
  EXPECT_EQ(bits(num::max_f32(nan, nan)), num::kNaN32);
  EXPECT_EQ(bits(num::min_f32(0.0f, -0.0f)), bits(-0.0f));
  EXPECT_EQ(bits(num::min_f32(-0.0f, 0.0f)), bits(-0.0f));
  EXPECT_EQ(bits(num::max_f32(-0.0f, 0.0f)), bits(0.0f));
  EXPECT_EQ(num::min_f32(-1.0f, 2.0f), -1.0f);
  EXPECT_EQ(num::max_f32(-1.0f, 2.0f), 2.0f);

  const float tiny = std::numeric_limits<float>::denorm_min();
  EXPECT_EQ(bits(num::flush_subnormal(-tiny)), bits(-0.0f));
  EXPECT_EQ(bits(num::flush_subnormal(std::numeric_limits<float>::min() - tiny)), 0u);
  EXPECT_EQ(num::flush_subnormal(std::numeric_limits<float>::min()), std::numeric_limits<float>::min());

  EXPECT_EQ(bits(num::saturate(nan)), 0u);
  EXPECT_EQ(num::saturate(-5.0f), 0.0f);
  EXPECT_EQ(bits(num::saturate(-0.0f)), 0u);  // +0, not -0
  EXPECT_EQ(num::saturate(1.5f), 1.0f);
  EXPECT_EQ(num::saturate(std::numeric_limits<float>::infinity()), 1.0f);
  EXPECT_EQ(num::saturate(0.25f), 0.25f);
}

}  // namespace
