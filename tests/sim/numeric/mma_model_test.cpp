// The tensor-core dot product against the properties of the published model
// and against an evaluation of that model in double arithmetic.  Nothing here
// claims agreement with a GPU: no GPU run has confirmed the model's bits.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>

#include "host_reference.h"

namespace {

using namespace numtest;
namespace num = tvnsim::num;
using num::MmaInput;
using num::MmaModel;

constexpr MmaModel kModels[] = {MmaModel::Ampere, MmaModel::Hopper};
constexpr MmaInput kInputs[] = {MmaInput::BF16, MmaInput::F16};

float widen(uint16_t h, MmaInput t) { return t == MmaInput::BF16 ? num::bf16_to_f32(h) : num::f16_to_f32(h); }

// A 16-bit pattern holding x exactly.
uint16_t narrow(float x, MmaInput t) {
  const uint16_t h = t == MmaInput::BF16 ? num::f32_to_bf16(x, Round::Zero) : num::f32_to_f16(x, Round::Zero);
  if (widen(h, t) != x) throw std::logic_error("operand not representable");
  return h;
}

struct Dot {
  MmaInput type;
  std::array<uint16_t, 16> a{}, b{};  // +0 everywhere unless set
  Dot& set(int k, float x, float y) {
    a[k] = narrow(x, type);
    b[k] = narrow(y, type);
    return *this;
  }
  float run(float c, MmaModel m) const { return num::mma_dot16(a.data(), b.data(), c, type, m); }
};

// The model in double: every product, every grid-truncated term and their
// sum (at most ~32 significant bits) are exact there; the host then
// truncates the sum to f32.
float reference(const Dot& d, float c, MmaModel m) {
  const int grid_bits = m == MmaModel::Ampere ? 24 : 25;
  const int step = m == MmaModel::Ampere ? 8 : 16;
  const int emin_in = d.type == MmaInput::BF16 ? -126 : -14;
  const auto nominal = [](double x, int emin) { return std::max(std::ilogb(x), emin); };
  float acc = c;
  for (int k0 = 0; k0 < 16; k0 += step) {
    if (std::isinf(acc)) continue;  // finite products leave an infinite step result as it is
    double terms[17];
    int exps[17];
    int n = 0;
    if (acc != 0) terms[n] = acc, exps[n++] = nominal(acc, -126);
    for (int k = k0; k < k0 + step; ++k) {
      const double x = widen(d.a[k], d.type), y = widen(d.b[k], d.type);
      if (x != 0 && y != 0) terms[n] = x * y, exps[n++] = nominal(x, emin_in) + nominal(y, emin_in);
    }
    if (n == 0) {
      bool all_negative = std::signbit(acc);
      for (int k = k0; k < k0 + step; ++k)
        all_negative = all_negative && (std::signbit(widen(d.a[k], d.type)) != std::signbit(widen(d.b[k], d.type)));
      acc = all_negative ? -0.0f : 0.0f;
      continue;
    }
    const double grid = std::ldexp(1.0, *std::max_element(exps, exps + n) - grid_bits);
    double sum = 0;
    for (int i = 0; i < n; ++i) sum += std::trunc(terms[i] / grid) * grid;
    if (std::fabs(sum) >= 0x1p128 && num::kMmaOverflowToInf) {
      acc = std::copysign(INFINITY, float(sum));
    } else {
      acc = host_rounded<float>(Round::Zero, [&] { volatile double s = sum; return float(s); });
    }
  }
  return acc;
}

TEST(MmaModel, MatchesDoubleEvaluationOnRandomOperands) {
  std::mt19937 rng(3);
  for (MmaInput t : kInputs) {
    const uint32_t exp_mask = t == MmaInput::BF16 ? 0x7F80 : 0x7C00;
    const int exp_shift = t == MmaInput::BF16 ? 7 : 10;
    const int bias = t == MmaInput::BF16 ? 127 : 15;
    for (int i = 0; i < 30000; ++i) {
      // Exponents either spread over the format's whole finite range or
      // packed in a band of width 1..24 around 1, where alignment matters.
      const int band = i % 3 == 0 ? 0 : 1 + i % 24;
      Dot d{t};
      const auto operand = [&] {
        uint32_t h = rng() & 0xFFFF;
        if (band != 0) h = (h & ~exp_mask) | ((bias - band / 2 + rng() % band) << exp_shift);
        if ((h & exp_mask) == exp_mask) h &= ~exp_mask;  // finite only
        return static_cast<uint16_t>(h);
      };
      for (int k = 0; k < 16; ++k) {
        d.a[k] = rng() % 8 == 0 ? 0 : operand();
        d.b[k] = operand();
      }
      float c = std::ldexp(std::uniform_real_distribution<float>(-2, 2)(rng), int(rng() % 16) - 8);
      if (i % 5 == 0) c = 0;
      for (MmaModel m : kModels) {
        const float want = reference(d, c, m);
        ASSERT_EQ(bits(d.run(c, m)), bits(want)) << "input " << int(t) << " model " << int(m) << " case " << i
                                                  << " want " << std::hexfloat << want << " got " << d.run(c, m);
      }
    }
  }
}

TEST(MmaModel, TileEqualsItsDotProducts) {
  std::mt19937 rng(17);
  for (MmaInput t : kInputs)
    for (MmaModel m : kModels)
      for (int rep = 0; rep < 20; ++rep) {
        std::array<uint16_t, 256> a;
        std::array<uint16_t, 128> b;
        std::array<float, 128> c, d;
        // Narrow exponents so products interact; a few NaN/Inf inputs land in
        // single rows and columns.
        for (auto& v : a) v = static_cast<uint16_t>((rng() & 0x83FF) | 0x3800);
        for (auto& v : b) v = static_cast<uint16_t>((rng() & 0x83FF) | 0x3800);
        for (auto& v : c) v = std::ldexp(float(int(rng() % 2001) - 1000), -8);
        if (rep % 2) a[rng() % 256] = t == MmaInput::BF16 ? 0x7F80 : 0x7C00;
        if (rep % 4 == 1) b[rng() % 128] = t == MmaInput::BF16 ? 0xFFC0 : 0xFE00;
        d = c;
        num::mma_m16n8k16(a.data(), b.data(), d.data(), d.data(), t, m);  // in place
        for (int i = 0; i < 16; ++i)
          for (int j = 0; j < 8; ++j)
            ASSERT_EQ(bits(d[i * 8 + j]), bits(num::mma_dot16(&a[i * 16], &b[j * 16], c[i * 8 + j], t, m)))
                << "row " << i << " col " << j << " rep " << rep;
      }
}

TEST(MmaModel, ExactWhenAllProductsShareOneExponent) {
  std::mt19937 rng(9);
  for (MmaInput t : kInputs)
    for (MmaModel m : kModels)
      for (int i = 0; i < 200; ++i) {
        Dot d{t};
        double exact = 0;
        for (int k = 0; k < 16; ++k) {
          // Significands in [1, 2) with 7 fraction bits: each product has
          // nominal exponent 0 and 14 fraction bits.
          const float x = (rng() & 1 ? -1 : 1) * (1 + float(rng() % 128) / 128);
          const float y = 1 + float(rng() % 128) / 128;
          d.set(k, x, y);
          exact += double(x) * y;
        }
        EXPECT_EQ(d.run(0.0f, m), float(exact));
      }
}

TEST(MmaModel, TermsAndResultAreTruncatedTowardZero) {
  for (MmaInput t : kInputs)
    for (MmaModel m : kModels)
      for (float s : {1.0f, -1.0f}) {
        // A term far below the grid vanishes instead of pulling the sum
        // down by one grid unit (what a floor would do).
        EXPECT_EQ(Dot{t}.set(3, -s * 0x1p-15f, 0x1p-15f).run(s, m), s);
        // 1 + 1.5 ulp: nearest would give 1 + 2 ulp.
        EXPECT_EQ(Dot{t}.set(0, s * 0x1.8p-12f, 0x1p-11f).run(s, m), s * (1 + 0x1p-23f));
      }
}

TEST(MmaModel, AmpereAddsTwoStepsOfEightHopperOneStepOfSixteen) {
  for (MmaInput t : kInputs) {
    // Two half-ulp products: in separate Ampere steps each is truncated
    // away; together (Hopper, or both in Ampere's first step) they add up.
    const Dot split = Dot{t}.set(0, 0x1p-12f, 0x1p-12f).set(8, 0x1p-12f, 0x1p-12f);
    const Dot joined = Dot{t}.set(0, 0x1p-12f, 0x1p-12f).set(7, 0x1p-12f, 0x1p-12f);
    EXPECT_EQ(split.run(1.0f, MmaModel::Ampere), 1.0f);
    EXPECT_EQ(joined.run(1.0f, MmaModel::Ampere), 1 + 0x1p-23f);
    EXPECT_EQ(split.run(1.0f, MmaModel::Hopper), 1 + 0x1p-23f);
    // Quarter-ulp products fall under Ampere's grid (2^-24 below the
    // largest exponent) but on Hopper's (2^-25).
    Dot quarters{t};
    for (int k = 0; k < 4; ++k) quarters.set(k, 0x1p-13f, 0x1p-12f);
    EXPECT_EQ(quarters.run(1.0f, MmaModel::Ampere), 1.0f);
    EXPECT_EQ(quarters.run(1.0f, MmaModel::Hopper), 1 + 0x1p-23f);
  }
}

TEST(MmaModel, OrderWithinAStepDoesNotMatter) {
  std::mt19937 rng(21);
  for (MmaInput t : kInputs)
    for (MmaModel m : kModels) {
      const int step = m == MmaModel::Ampere ? 8 : 16;
      for (int i = 0; i < 300; ++i) {
        Dot d{t};
        for (int k = 0; k < 16; ++k)
          d.set(k, std::ldexp(float(int(rng() % 255) - 127), int(rng() % 20) - 10), float(int(rng() % 200) - 100));
        const float c = std::ldexp(std::uniform_real_distribution<float>(-1, 1)(rng), int(rng() % 24));
        Dot p = d;
        std::array<int, 16> order;
        for (int k = 0; k < 16; ++k) order[k] = k;
        for (int k0 = 0; k0 < 16; k0 += step) std::shuffle(order.begin() + k0, order.begin() + k0 + step, rng);
        for (int k = 0; k < 16; ++k) p.a[k] = d.a[order[k]], p.b[k] = d.b[order[k]];
        ASSERT_EQ(bits(p.run(c, m)), bits(d.run(c, m))) << "model " << int(m) << " case " << i;
      }
    }
}

TEST(MmaModel, AddendExponentTakesPartInTheAlignment) {
  for (MmaInput t : kInputs) {
    Dot d{t};
    for (int k = 0; k < 16; ++k) d.set(k, 0.75f, 1.0f);
    // Against 2^24 the grid is 1 (Ampere) or 1/2 (Hopper): every 0.75 term
    // shrinks to 0 or 0.5.
    EXPECT_EQ(d.run(0x1p24f, MmaModel::Ampere), 0x1p24f);
    EXPECT_EQ(d.run(0x1p24f, MmaModel::Hopper), 0x1p24f + 8);
    // A zero addend does not count: the products are exact.
    EXPECT_EQ(d.run(0.0f, MmaModel::Ampere), 12.0f);
    EXPECT_EQ(d.run(0.0f, MmaModel::Hopper), 12.0f);
  }
}

TEST(MmaModel, HandWorkedExamples) {
  for (MmaModel m : kModels) {
    // bf16: E = 1 (from c = 3).  The last product, -(1 + 2^-7) * 2^-23, is
    // truncated to one grid unit or two half units, -2^-23, on either grid;
    // the sum 5.25 + 13 * 2^-23 is truncated to the f32 ulp 2^-21.
    const Dot bf = Dot{MmaInput::BF16}.set(0, 1.5f, 1.5f).set(1, 0x1p-20f, 1.75f).set(2, -1.0078125f, 0x1p-23f);
    EXPECT_EQ(bf.run(3.0f, m), 5.25f + 3 * 0x1p-21f);
    // Products are not renormalised: 1.5 * 1.5 = 2.25 keeps exponent 0,
    // so the grid stays fine enough to keep four 2^-24 terms.
    Dot wide{MmaInput::BF16};
    wide.set(0, 1.5f, 1.5f);
    for (int k = 1; k <= 4; ++k) wide.set(k, 0x1p-12f, 0x1p-12f);
    EXPECT_EQ(wide.run(0.0f, m), 2.25f + 0x1p-22f);
    // f16 with subnormal inputs (exponent -14): 2^-14 + 2^-24 * 2^-10 is
    // exact; 2^-24 * 2^-24 lies under the grid 2^-38 / 2^-39 and vanishes.
    const Dot h = Dot{MmaInput::F16}.set(0, 0x1p-14f, 1.0f).set(1, 0x1p-24f, 0x1p-10f).set(2, 0x1p-24f, 0x1p-24f);
    EXPECT_EQ(h.run(0.0f, m), 0x1p-14f + 0x1p-34f);
  }
}

TEST(MmaModel, SpecialValuesSubnormalResultsAndZeroSigns) {
  const float inf = std::numeric_limits<float>::infinity();
  for (MmaInput t : kInputs)
    for (MmaModel m : kModels) {
      const uint16_t h_nan = t == MmaInput::BF16 ? 0x7FC1 : 0x7E01;
      const uint16_t h_inf = t == MmaInput::BF16 ? 0x7F80 : 0x7C00;
      Dot d{t};
      d.a[5] = h_nan;
      EXPECT_EQ(bits(d.run(1.0f, m)), num::kNaN32);
      EXPECT_EQ(bits(Dot{t}.run(std::bit_cast<float>(0xFFC00001u), m)), num::kNaN32);
      d = Dot{t};
      d.a[2] = h_inf;  // times +0
      EXPECT_EQ(bits(d.run(1.0f, m)), num::kNaN32);
      d.b[2] = narrow(-2.0f, t);
      EXPECT_EQ(d.run(1.0f, m), -inf);
      EXPECT_EQ(bits(d.run(inf, m)), num::kNaN32);
      d.a[12] = h_inf;
      d.b[12] = narrow(1.0f, t);  // +Inf in the other Ampere step
      EXPECT_EQ(bits(d.run(1.0f, m)), num::kNaN32);
      EXPECT_EQ(Dot{t}.set(1, 1.0f, 3.0f).run(-inf, m), -inf);

      EXPECT_EQ(bits(Dot{t}.set(0, 1.5f, -2.0f).run(3.0f, m)), 0u);
      EXPECT_EQ(bits(Dot{t}.run(0.0f, m)), 0u);
      Dot neg{t};
      for (int k = 0; k < 16; ++k) neg.set(k, -0.0f, 1.0f);
      EXPECT_EQ(bits(neg.run(-0.0f, m)), bits(-0.0f));
      EXPECT_EQ(bits(neg.run(0.0f, m)), 0u);
    }
  for (MmaModel m : kModels) {
    const Dot big = Dot{MmaInput::BF16}.set(0, 0x1p127f, 0x1p127f);
    EXPECT_EQ(big.run(0.0f, m), num::kMmaOverflowToInf ? inf : std::numeric_limits<float>::max());
    // Subnormal f32 results are kept, truncated toward zero.
    EXPECT_EQ(Dot{MmaInput::BF16}.set(0, 0x1p-70f, 0x1p-70f).run(0.0f, m), 0x1p-140f);
    EXPECT_EQ(Dot{MmaInput::BF16}.set(0, -0x1.8p-74f, 0x1p-75f).run(0.0f, m), -0x1p-149f);
  }
}

}  // namespace
