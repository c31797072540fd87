// Tensor-core dot product after the published bit-accurate models: exact
// products, alignment of every term to the largest exponent with truncation
// onto a fixed grid, an exact integer sum, and one truncation to f32.
#include "numeric/ieee.h"

namespace tvnsim::num {

using namespace detail;

namespace {

// Fraction bits kept under the largest exponent, and products per step.
struct StepShape {
  int grid_bits;
  int products;
};

StepShape shape_of(MmaModel m) {
  switch (m) {
    case MmaModel::Ampere: return {24, 8};
    case MmaModel::Hopper: break;
  }
  return {25, 16};
}

// Sign of an exact zero result (unverified): as IEEE addition rounding toward
// zero, negative only when every term is a negative zero.
bool exact_zero_is_negative(bool all_terms_negative_zero) { return all_terms_negative_zero; }

// A finite non-zero term: exactly (-1)^neg * sig * 2^lsb, aligned by its
// nominal exponent: the exponent of the significand's units digit, before
// any renormalisation of a product (whose significand lies in [0, 4)).
struct Term {
  bool neg;
  uint64_t sig;
  int lsb;
  int nominal;
};

// c + sum of n products, one step of the model.
float mma_step(const uint16_t* a, const uint16_t* b, int n, float c, Format in, int grid_bits) {
  Term terms[17];
  int count = 0;
  bool nan = false;
  bool pos_inf = false;
  bool neg_inf = false;
  bool all_negative_zero = true;

  const Unpacked uc = unpack(bits_of(c), kF32);
  switch (uc.cls) {
    case Class::NaN: nan = true; break;
    case Class::Inf: (uc.neg ? neg_inf : pos_inf) = true; break;
    case Class::Zero: all_negative_zero = uc.neg; break;
    case Class::Finite: terms[count++] = {uc.neg, uc.sig, uc.exp, uc.exp + kF32.mant_bits}; break;
  }
  for (int k = 0; k < n; ++k) {
    const Unpacked x = unpack(a[k], in);
    const Unpacked y = unpack(b[k], in);
    const bool neg = x.neg != y.neg;
    if (x.cls == Class::NaN || y.cls == Class::NaN) {
      nan = true;
    } else if (x.cls == Class::Inf || y.cls == Class::Inf) {
      if (x.cls == Class::Zero || y.cls == Class::Zero) nan = true;
      (neg ? neg_inf : pos_inf) = true;
    } else if (x.cls == Class::Zero || y.cls == Class::Zero) {
      all_negative_zero = all_negative_zero && neg;
    } else {
      const int lsb = x.exp + y.exp;
      terms[count++] = {neg, x.sig * y.sig, lsb, lsb + 2 * in.mant_bits};
    }
  }
  if (nan || (pos_inf && neg_inf)) return f32_of(kNaN32);
  if (pos_inf || neg_inf) return f32_of((neg_inf ? kF32.sign_bit() : 0) | kF32.inf_bits());
  if (count == 0) return f32_of(exact_zero_is_negative(all_negative_zero) ? kF32.sign_bit() : 0);

  int e_max = terms[0].nominal;
  for (int i = 1; i < count; ++i) e_max = std::max(e_max, terms[i].nominal);
  const int grid = e_max - grid_bits;
  // Each term is below 2^(grid_bits + 2) grid units, so 17 of them fit.
  int64_t sum = 0;
  for (int i = 0; i < count; ++i) {
    const Term& t = terms[i];
    const int shift = t.lsb - grid;
    const uint64_t units = shift >= 0 ? t.sig << shift : (-shift >= 64 ? 0 : t.sig >> -shift);
    sum += t.neg ? -static_cast<int64_t>(units) : static_cast<int64_t>(units);
  }
  if (sum == 0) return f32_of(exact_zero_is_negative(false) ? kF32.sign_bit() : 0);
  const Exact total{sum < 0, static_cast<uint64_t>(sum < 0 ? -sum : sum), grid};
  if (kMmaOverflowToInf && top_exponent(total) > kF32.emax()) return f32_of((total.neg ? kF32.sign_bit() : 0) | kF32.inf_bits());
  return f32_of(round_pack(total, kF32, Round::Zero));
}

}  // namespace

MmaModel mma_model_for(int cc_major, int /*cc_minor*/) { return cc_major >= 9 ? MmaModel::Hopper : MmaModel::Ampere; }

float mma_dot16(const uint16_t a[16], const uint16_t b[16], float c, MmaInput t, MmaModel m) {
  const Format in = t == MmaInput::BF16 ? kBF16 : kF16;
  const StepShape s = shape_of(m);
  float acc = c;
  for (int k0 = 0; k0 < 16; k0 += s.products) acc = mma_step(a + k0, b + k0, s.products, acc, in, s.grid_bits);
  return acc;
}

}  // namespace tvnsim::num
