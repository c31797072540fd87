// Tensor-core dot product after the published bit-accurate models: exact
// products, alignment of every term to the largest exponent with truncation
// onto a fixed grid, an exact integer sum, and one truncation to f32.
#include "numeric/ieee.h"

namespace tvnsim::num {

using namespace detail;

namespace {

// Sign of an exact zero result (unverified): as IEEE addition rounding toward
// zero, negative only when every term is a negative zero.
bool exact_zero_is_negative(bool all_terms_negative_zero) { return all_terms_negative_zero; }

// A step with a NaN or Inf among its inputs: NaN when any input is NaN, a
// product is Inf * 0, or infinities of both signs meet; otherwise the Inf.
float mma_step_special(const uint16_t* a, const uint16_t* b, int n, float c, Format in) {
  const Unpacked uc = unpack(bits_of(c), kF32);
  bool nan = uc.cls == Class::NaN;
  bool pos_inf = uc.cls == Class::Inf && !uc.neg;
  bool neg_inf = uc.cls == Class::Inf && uc.neg;
  for (int k = 0; k < n; ++k) {
    const Unpacked x = unpack(a[k], in);
    const Unpacked y = unpack(b[k], in);
    if (x.cls == Class::NaN || y.cls == Class::NaN) nan = true;
    if (x.cls != Class::Inf && y.cls != Class::Inf) continue;
    if (x.cls == Class::Zero || y.cls == Class::Zero) nan = true;
    (x.neg != y.neg ? neg_inf : pos_inf) = true;
  }
  if (nan || (pos_inf && neg_inf)) return f32_of(kNaN32);
  return f32_of((neg_inf ? kF32.sign_bit() : 0) | kF32.inf_bits());
}

// One 16-bit input, decoded once and reused by every product it enters.
// sig is zero exactly for zeros; exp is the exponent of the significand's
// units digit (subnormals at the minimum exponent).
struct Operand {
  uint32_t sig;
  int32_t exp;
  bool neg;
};

template <Format In>
bool is_special(uint16_t h) {
  const Class cls = unpack(h, In).cls;
  return cls == Class::NaN || cls == Class::Inf;
}

template <Format In>
Operand decode(uint16_t h) {
  const Unpacked u = unpack(h, In);
  return {static_cast<uint32_t>(u.sig), u.exp + In.mant_bits, u.neg};
}

// One dot product's inputs: decoded operands for the arithmetic, the raw
// patterns for the rare step with a NaN or Inf among them.
struct DotInputs {
  const Operand* x;
  const Operand* y;
  const uint16_t* a;
  const uint16_t* b;
  bool special;  // some a[k] or b[k] is NaN or Inf
};

// c + the sum of N products x[k] * y[k], one step of the model.  A product's
// nominal exponent is the sum of its factors' exponents: the exponent of the
// exact significand product, which lies in [0, 4), not renormalised.
// Branch-free where it can be: random signs and exponents defeat prediction.
template <Format In, int GridBits, int N>
float mma_step(const DotInputs& in, int k0, float c) {
  const uint32_t cb = bits_of(c);
  if (in.special || (cb & 0x7F800000u) == 0x7F800000u) return mma_step_special(in.a + k0, in.b + k0, N, c, In);
  const Operand* x = in.x + k0;
  const Operand* y = in.y + k0;
  const Unpacked uc = unpack(cb, kF32);
  constexpr int kNone = -100000;  // below every real exponent: no non-zero term yet
  int e_max = uc.cls == Class::Finite ? uc.exp + kF32.mant_bits : kNone;
  for (int k = 0; k < N; ++k) e_max = std::max(e_max, x[k].sig * y[k].sig != 0 ? x[k].exp + y[k].exp : kNone);
  if (e_max == kNone) {
    bool all_negative_zero = (cb >> 31) != 0;
    for (int k = 0; k < N; ++k) all_negative_zero &= x[k].neg != y[k].neg;
    return f32_of(exact_zero_is_negative(all_negative_zero) ? kF32.sign_bit() : 0);
  }

  const int grid = e_max - GridBits;
  // Every term is below 2^(GridBits + 2) grid units, so 17 of them fit.
  int64_t sum = 0;
  const auto add = [&](bool negative, uint64_t s, int lsb) {
    const int shift = lsb - grid;
    // Shifting right by 63 clears every significand here (< 2^24).
    const uint64_t units = (s << std::max(shift, 0)) >> std::min(std::max(-shift, 0), 63);
    sum += static_cast<int64_t>((units ^ -uint64_t{negative}) + negative);
  };
  if (uc.cls == Class::Finite) add(uc.neg, uc.sig, uc.exp);
  for (int k = 0; k < N; ++k) add(x[k].neg != y[k].neg, x[k].sig * y[k].sig, x[k].exp + y[k].exp - 2 * In.mant_bits);
  if (sum == 0) return f32_of(exact_zero_is_negative(false) ? kF32.sign_bit() : 0);
  const Exact total{sum < 0, static_cast<uint64_t>(sum < 0 ? -sum : sum), grid};
  if (kMmaOverflowToInf && top_exponent(total) > kF32.emax()) return f32_of((total.neg ? kF32.sign_bit() : 0) | kF32.inf_bits());
  return f32_of(round_pack(total, kF32, Round::Zero));
}

// Ampere: 2^-24 under the largest exponent, two steps of 8 products;
// Hopper and newer: 2^-25, one step of 16.
template <Format In>
float mma_dot(const DotInputs& in, float c, MmaModel m) {
  if (m == MmaModel::Hopper) return mma_step<In, 25, 16>(in, 0, c);
  return mma_step<In, 24, 8>(in, 8, mma_step<In, 24, 8>(in, 0, c));
}

template <Format In>
float dot16(const uint16_t* a, const uint16_t* b, float c, MmaModel m) {
  Operand x[16], y[16];
  bool special = false;
  for (int k = 0; k < 16; ++k) {
    x[k] = decode<In>(a[k]);
    y[k] = decode<In>(b[k]);
    special |= is_special<In>(a[k]) || is_special<In>(b[k]);
  }
  return mma_dot<In>({x, y, a, b, special}, c, m);
}

template <Format In>
void tile(const uint16_t* a, const uint16_t* b, const float* c, float* d, MmaModel m) {
  Operand x[16 * 16], y[8 * 16];
  bool row_special[16] = {}, col_special[8] = {};
  for (int i = 0; i < 16 * 16; ++i) {
    x[i] = decode<In>(a[i]);
    row_special[i / 16] |= is_special<In>(a[i]);
  }
  for (int i = 0; i < 8 * 16; ++i) {
    y[i] = decode<In>(b[i]);
    col_special[i / 16] |= is_special<In>(b[i]);
  }
  for (int i = 0; i < 16; ++i)
    for (int j = 0; j < 8; ++j) {
      const DotInputs in{x + i * 16, y + j * 16, a + i * 16, b + j * 16, row_special[i] || col_special[j]};
      d[i * 8 + j] = mma_dot<In>(in, c[i * 8 + j], m);
    }
}

}  // namespace

MmaModel mma_model_for(int cc_major, int /*cc_minor*/) { return cc_major >= 9 ? MmaModel::Hopper : MmaModel::Ampere; }

float mma_dot16(const uint16_t a[16], const uint16_t b[16], float c, MmaInput t, MmaModel m) {
  return t == MmaInput::BF16 ? dot16<kBF16>(a, b, c, m) : dot16<kF16>(a, b, c, m);
}

void mma_m16n8k16(const uint16_t a[256], const uint16_t b[128], const float c[128], float d[128], MmaInput t,
                  MmaModel m) {
  if (t == MmaInput::BF16) {
    tile<kBF16>(a, b, c, d, m);
  } else {
    tile<kF16>(a, b, c, d, m);
  }
}

}  // namespace tvnsim::num
