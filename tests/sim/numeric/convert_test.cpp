// cvt: 16-bit floats exhaustively and at every rounding boundary, f64 -> f32
// and integer -> float against the host FPU, float -> integer against the
// C library's rounding functions.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "host_reference.h"

namespace {

using namespace numtest;
namespace num = tvnsim::num;

struct Half {
  const char* name;
  int mant_bits;
  int exp_bits;
  uint16_t (*narrow)(float, Round);
  float (*widen)(uint16_t);
  int emin() const { return 2 - (1 << (exp_bits - 1)); }
  int emax() const { return (1 << (exp_bits - 1)) - 1; }
  double max_finite() const { return std::ldexp(2.0 - std::ldexp(1.0, -mant_bits), emax()); }
  bool is_nan(uint16_t h) const { return (h & 0x7FFF) > (((1u << exp_bits) - 1) << mant_bits); }
  // Value of a non-NaN pattern, computed from the fields directly.
  double value(uint16_t h) const {
    const int field = (h >> mant_bits) & ((1 << exp_bits) - 1);
    const int frac = h & ((1 << mant_bits) - 1);
    double v = field == (1 << exp_bits) - 1 ? INFINITY
               : field == 0                 ? std::ldexp(frac, emin() - mant_bits)
                                            : std::ldexp(frac + (1 << mant_bits), field - 1 + emin() - mant_bits);
    return (h & 0x8000) ? -v : v;
  }
  // x rounded to this format under r, by scaling to the quantum of x's
  // binade in double and deciding the rounding from the exact fraction.
  double reference(float x, Round r) const {
    if (x == 0 || std::isinf(x)) return x;
    const bool neg = std::signbit(x);
    const double ax = std::fabs(double(x));
    const double quantum = std::ldexp(1.0, std::max(std::ilogb(ax), emin()) - mant_bits);
    const double t = ax / quantum;
    const double lo = std::floor(t), frac = t - lo;
    bool up = false;
    switch (r) {
      case Round::Nearest: up = frac > 0.5 || (frac == 0.5 && std::fmod(lo, 2) == 1); break;
      case Round::Zero: break;
      case Round::Down: up = neg && frac > 0; break;
      case Round::Up: up = !neg && frac > 0; break;
    }
    double mag = (lo + up) * quantum;
    if (mag > max_finite()) {
      const bool to_inf = r == Round::Nearest || (r == Round::Up && !neg) || (r == Round::Down && neg);
      mag = to_inf ? INFINITY : max_finite();
    }
    return neg ? -mag : mag;
  }
};

const Half kHalves[] = {{"f16", 10, 5, num::f32_to_f16, num::f16_to_f32},
                        {"bf16", 7, 8, num::f32_to_bf16, num::bf16_to_f32}};

TEST(Convert, EverySixteenBitPatternWidensExactlyAndNarrowsBack) {
  for (const Half& h : kHalves) {
    for (uint32_t p = 0; p <= 0xFFFF; ++p) {
      const auto v = static_cast<uint16_t>(p);
      const float f = h.widen(v);
      if (h.is_nan(v)) {
        ASSERT_TRUE(std::isnan(f)) << h.name << " " << p;
        for (Round r : kAllModes) ASSERT_EQ(h.narrow(f, r), num::kNaN16) << h.name << " " << p;
        continue;
      }
      ASSERT_EQ(bits(double(f)), bits(h.value(v))) << h.name << " " << p;
      for (Round r : kAllModes) ASSERT_EQ(h.narrow(f, r), v) << h.name << " " << p << " mode " << int(r);
    }
  }
  EXPECT_EQ(bits(num::f16_to_f32(0x7E01)), num::kNaN32);
  EXPECT_EQ(bits(num::bf16_to_f32(0xFFC1)), 0xFFC10000u);
}

void expect_narrow(const Half& h, float x, Round r) {
  const double want = h.reference(x, r);
  const uint16_t got = h.narrow(x, r);
  ASSERT_FALSE(h.is_nan(got)) << h.name << " " << std::hexfloat << x;
  ASSERT_EQ(bits(h.value(got)), bits(want))
      << h.name << " mode " << int(r) << " x=" << std::hexfloat << x << " got " << h.value(got) << " want " << want;
}

TEST(Convert, NarrowingMatchesReferenceAtEveryBoundaryAndAcrossAllExponents) {
  std::mt19937 rng(7);
  for (const Half& h : kHalves) {
    // Every representable value, every midpoint between neighbours (the
    // midpoint above the largest finite value decides overflow), and the
    // f32 values on either side of each.
    std::vector<float> xs;
    for (uint32_t p = 0; p < 0x7FFF; ++p) {
      const auto v = static_cast<uint16_t>(p);
      if (h.is_nan(v) || std::isinf(h.value(v))) continue;
      const double lo = h.value(v);
      const double hi = lo == h.max_finite() ? std::ldexp(1.0, h.emax() + 1) : h.value(v + 1);
      const float mid = static_cast<float>((lo + hi) / 2);  // exact: one bit more than the format
      for (float x : {float(lo), mid, std::nextafter(mid, 0.0f), std::nextafter(mid, INFINITY)}) {
        xs.push_back(x);
        xs.push_back(-x);
      }
    }
    // Random significands in every f32 binade, subnormals included.
    for (uint32_t field = 0; field < 255; ++field)
      for (int i = 0; i < 64; ++i) xs.push_back(std::bit_cast<float>(static_cast<uint32_t>((rng() & 0x807FFFFFu) | (field << 23))));
    xs.push_back(INFINITY);
    xs.push_back(-INFINITY);
    for (Round r : kAllModes)
      for (float x : xs) expect_narrow(h, x, r);
    for (Round r : kAllModes) EXPECT_EQ(h.narrow(std::bit_cast<float>(0xFF800001u), r), num::kNaN16);
  }
}

TEST(Convert, F64ToF32AndIntegersToFloatMatchHost) {
  std::mt19937_64 rng(11);
  std::vector<double> ds = {0.0, -0.0, INFINITY, -INFINITY, 0x1.fffffefffffffp127, 0x1.ffffffp127, 0x1p-150,
                            0x1.0000000000001p-150, 0x1p-149, 0x1.8p-149, 0x1.fffffffffffffp-127, 1e300, -1e-300};
  for (int i = 0; i < 20000; ++i) {
    const float f = std::bit_cast<float>(static_cast<uint32_t>(rng()));
    if (std::isnan(f)) continue;
    const double next = std::nextafter(double(f), std::nextafter(f, INFINITY));
    const double mid = (double(f) + double(std::nextafter(f, INFINITY))) / 2;
    for (double d : {double(f), next, mid, std::nextafter(mid, 0.0), std::bit_cast<double>(rng())}) ds.push_back(d);
  }
  for (Round r : kAllModes) {
    for (double d : ds) {
      const float want = host_rounded<float>(r, [&] { volatile double x = d; return float(x); });
      const float got = num::f64_to_f32(d, r);
      if (std::isnan(want)) {
        ASSERT_EQ(bits(got), num::kNaN32);
      } else {
        ASSERT_EQ(bits(got), bits(want)) << "mode " << int(r) << " " << std::hexfloat << d;
      }
    }
  }
  EXPECT_EQ(bits(num::f32_to_f64(std::bit_cast<float>(0x7FA00000u))), num::kNaN64);
  EXPECT_EQ(bits(num::f32_to_f64(-0x1p-149f)), bits(-0x1p-149));

  for (Round r : kAllModes) {
    for (int i = 0; i < 20000; ++i) {
      const uint64_t u = rng() >> (rng() % 64);
      const int64_t s = (rng() & 1) ? static_cast<int64_t>(u) : -static_cast<int64_t>(u >> 1);
      const auto host_f32 = [&](auto v) { return host_rounded<float>(r, [&] { volatile auto x = v; return float(x); }); };
      const auto host_f64 = [&](auto v) { return host_rounded<double>(r, [&] { volatile auto x = v; return double(x); }); };
      ASSERT_EQ(bits(num::u64_to_f32(u, r)), bits(host_f32(u))) << u << " mode " << int(r);
      ASSERT_EQ(bits(num::s64_to_f32(s, r)), bits(host_f32(s))) << s << " mode " << int(r);
      ASSERT_EQ(bits(num::u64_to_f64(u, r)), bits(host_f64(u))) << u << " mode " << int(r);
      ASSERT_EQ(bits(num::s64_to_f64(s, r)), bits(host_f64(s))) << s << " mode " << int(r);
    }
    EXPECT_EQ(num::s64_to_f32(std::numeric_limits<int64_t>::min(), r), -0x1p63f);
  }
}

// The integer cvt: round with the C library, then saturate in long double.
// NaN: 0 from an f32 source into 8 to 32 bits, else the lowest value of the
// width (2^(width-1) unsigned).
uint64_t int_reference(double x, Round r, int width, bool is_signed, bool f64_source) {
  if (std::isnan(x)) {
    if (!f64_source && width < 64) return 0;
    return is_signed ? ~uint64_t{0} << (width - 1) : uint64_t{1} << (width - 1);
  }
  const double v = r == Round::Nearest ? std::nearbyint(x)
                   : r == Round::Zero  ? std::trunc(x)
                   : r == Round::Down  ? std::floor(x)
                                       : std::ceil(x);
  const long double lo = is_signed ? -std::ldexp(1.0L, width - 1) : 0.0L;
  const long double hi = is_signed ? std::ldexp(1.0L, width - 1) - 1 : std::ldexp(1.0L, width) - 1;
  const long double c = std::clamp<long double>(v, lo, hi);
  return c < 0 ? static_cast<uint64_t>(static_cast<int64_t>(c)) : static_cast<uint64_t>(c);
}

TEST(Convert, FloatToIntegerRoundsAndSaturatesEveryWidth) {
  std::mt19937_64 rng(5);
  std::vector<double> xs = {0.0, -0.0, NAN, INFINITY, -INFINITY, 0.5, 1.5, 2.5, -0.5, -2.5, 0x1p-1074, -0x1p-1074,
                            0x1p-8, -0x1p-70, 0x1.fffffffffffffp-2, 0x1p63, -0x1p63, 0x1p64, 0x1.fffffffffffffp63};
  for (int width : {8, 16, 32, 64}) {
    for (double edge : {std::ldexp(1.0, width - 1), std::ldexp(1.0, width)}) {
      for (double d : {edge, edge - 0.5, edge - 1, edge + 0.5, edge - 0.25, edge - 0.75}) {
        xs.push_back(d);
        xs.push_back(-d);
      }
    }
  }
  for (int i = 0; i < 5000; ++i) {
    const double m = std::uniform_real_distribution<double>(-2, 2)(rng);
    xs.push_back(std::ldexp(m, int(rng() % 72) - 4));
    xs.push_back(std::floor(m * 1000) + 0.5);
  }
  for (Round r : kAllModes)
    for (int width : {8, 16, 32, 64})
      for (bool is_signed : {false, true})
        for (bool f64_source : {false, true})
          for (double x : xs)
            ASSERT_EQ(num::f64_to_int(x, r, width, is_signed, f64_source),
                      int_reference(x, r, width, is_signed, f64_source))
                << std::hexfloat << x << " mode " << int(r) << " width " << width << " signed " << is_signed
                << " from f64 " << f64_source;
}

}  // namespace
