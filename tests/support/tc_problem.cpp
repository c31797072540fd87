#include "support/tc_problem.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>

#include "support/typed_values.h"

namespace tesvan::test {
namespace {

// NaN in bf16 and in f16: fills the operands' surroundings and row padding.
constexpr uint16_t kOperandNaN = 0x7FFF;
// Fills the output's row padding, which must survive.
constexpr uint32_t kOutputFill = 0xA5A5A5A5u;
// Elements of NaN before and after each operand (16 bytes).
constexpr int kOperandMargin = 8;

// Unit roundoff of the stored output type.
double store_roundoff(const TcProblem& p) {
  if (!p.typed_out()) return std::ldexp(1.0, -24);
  return p.elem == Half::BF16 ? std::ldexp(1.0, -8) : std::ldexp(1.0, -11);
}

uint16_t random_pattern(Half elem, TcValues values, std::mt19937& rng) {
  if (values == TcValues::Integer) {
    const int v = static_cast<int>(rng() % 9) - 4;
    return narrow(elem, static_cast<float>(v));
  }
  const uint32_t r = rng();
  if (r % 16 == 0) return 0;
  const uint16_t sign = (r >> 4) & 1 ? 0x8000 : 0;
  const int exp = -6 + static_cast<int>((r >> 5) % 7);  // 2^-6 .. 2^0
  if (elem == Half::BF16) return sign | static_cast<uint16_t>((exp + 127) << 7) | ((r >> 8) & 0x7F);
  return sign | static_cast<uint16_t>((exp + 15) << 10) | ((r >> 8) & 0x3FF);
}

// A dense rows x cols matrix laid out with row stride ld after `before`
// elements and followed by `after` elements; everything else is `fill`.
template <class T>
std::vector<T> laid_out(const std::vector<T>& dense, int rows, int cols, int ld, int before,
                        int after, T fill) {
  std::vector<T> out(static_cast<size_t>(before) + static_cast<size_t>(rows) * ld + after, fill);
  for (int r = 0; r < rows; ++r) {
    std::copy_n(dense.begin() + static_cast<ptrdiff_t>(r) * cols, cols,
                out.begin() + before + static_cast<ptrdiff_t>(r) * ld);
  }
  return out;
}

}  // namespace

const char* tc_name(TcOp op) { return op == TcOp::NN ? "nn" : op == TcOp::TN ? "tn" : "nt"; }

double TcProblem::out_value(uint32_t bits) const {
  return typed_out() ? widen(elem, static_cast<uint16_t>(bits)) : f32_from_bits(bits);
}

TcProblem tc_problem(TcOp op, Half elem, int M, int K, int N, TcValues values, uint32_t seed,
                     bool with_bias) {
  TcProblem p;
  p.op = op;
  p.elem = elem;
  p.M = M;
  p.K = K;
  p.N = N;
  std::mt19937 rng(seed);
  const size_t a_size = static_cast<size_t>(M) * p.a_cols();
  const size_t b_size = static_cast<size_t>(op == TcOp::NN ? K : op == TcOp::TN ? M : K) * N;
  for (size_t i = 0; i < a_size; ++i) p.a.push_back(random_pattern(elem, values, rng));
  for (size_t i = 0; i < b_size; ++i) p.b.push_back(random_pattern(elem, values, rng));
  if (with_bias) {
    for (int i = 0; i < N; ++i) p.bias.push_back(widen(elem, random_pattern(elem, values, rng)));
  }
  const size_t out_size = static_cast<size_t>(p.out_rows()) * p.out_cols();
  p.out0.assign(out_size, p.typed_out() ? narrow(elem, 0.25f) : f32_bits(0.25f));
  return p;
}

std::string tc_kernel_name(const TcProblem& p, int tile) {
  return std::string("tesvan_") + tc_name(p.op) + (tile == 128 ? "_tc_" : "_tc64_") +
         half_suffix(p.elem);
}

TcRun tc_run(KernelHarness& h, const TcProblem& p, const TcLayout& layout) {
  TcRun run;
  const int rows = p.out_rows(), cols = p.out_cols();
  // Operands as stored: a is M x a_cols, b is (K or M) x N.
  const int a_rows = p.M, a_cols = p.a_cols();
  const int b_rows = p.op == TcOp::TN ? p.M : p.K, b_cols = p.N;
  const int lda = a_cols + layout.pad_a, ldb = b_cols + layout.pad_b, ldc = cols + layout.pad_c;
  const int before = kOperandMargin + layout.shift;

  auto upload = [&h](const auto& v) { return h.upload(v.data(), v.size(), sizeof(v[0])); };
  const DeviceArray a =
      upload(laid_out(p.a, a_rows, a_cols, lda, before, kOperandMargin, kOperandNaN));
  const DeviceArray b =
      upload(laid_out(p.b, b_rows, b_cols, ldb, before, kOperandMargin, kOperandNaN));
  const DeviceArray bias = upload(p.bias);
  DeviceArray c;
  if (p.typed_out()) {
    const std::vector<uint16_t> c0(p.out0.begin(), p.out0.end());
    c = upload(laid_out(c0, rows, cols, ldc, 0, 0, static_cast<uint16_t>(kOutputFill)));
  } else {
    std::vector<float> c0(p.out0.size());
    std::memcpy(c0.data(), p.out0.data(), c0.size() * 4);
    c = upload(laid_out(c0, rows, cols, ldc, 0, 0, f32_from_bits(kOutputFill)));
  }

  const unsigned t = static_cast<unsigned>(layout.tile);
  const Grid grid{((rows + t - 1) / t) * ((cols + t - 1) / t)};
  const Grid block{2 * t};
  unsigned smem = 0;
  if (t == 128) smem = p.op == TcOp::NN ? 71680 : p.op == TcOp::TN ? 69632 : 73728;
  const std::string name = tc_kernel_name(p, layout.tile);
  const DevPtr da = a.at(before), db = b.at(before);
  const Arg bias_arg = p.bias.empty() ? Arg(nullptr) : Arg(bias);
  testing::AssertionResult ok =
      p.op == TcOp::NN ? h.run(name.c_str(), grid, block, smem,
                               {c, da, db, bias_arg, p.alpha, p.beta, p.M, p.N, p.K, lda, ldb, ldc})
                       // TN: M_red, K_out, N; NT: M, N, K_out
                       : h.run(name.c_str(), grid, block, smem,
                               {c, da, db, p.alpha, p.M, p.op == TcOp::TN ? p.K : p.N,
                                p.op == TcOp::TN ? p.N : p.K});
  if (!ok) {
    run.error = ok.message();
    return run;
  }

  std::vector<uint32_t> back;
  if (p.typed_out()) {
    const std::vector<uint16_t> v = c.download_u16();
    back.assign(v.begin(), v.end());
  } else {
    const std::vector<float> v = c.download_f32();
    back.resize(v.size());
    std::memcpy(back.data(), v.data(), v.size() * 4);
  }
  if (back.size() != static_cast<size_t>(rows) * ldc) {
    run.error = "output could not be read";
    return run;
  }
  const uint32_t fill = p.typed_out() ? (kOutputFill & 0xFFFF) : kOutputFill;
  for (int r = 0; r < rows; ++r) {
    for (int col = 0; col < ldc; ++col) {
      const uint32_t v = back[static_cast<size_t>(r) * ldc + col];
      if (col < cols) {
        run.out.push_back(v);
      } else if (v != fill) {
        run.error =
            "output padding (" + std::to_string(r) + ", " + std::to_string(col) + ") was written";
        return run;
      }
    }
  }
  return run;
}

TcExpect tc_reference(const TcProblem& p) {
  const int rows = p.out_rows(), cols = p.out_cols(), red = p.reduction();
  const double steps = 4.0 * ((red + 63) / 64);
  const double per_step = std::ldexp(1.0, -19);
  const double u_f32 = std::ldexp(1.0, -24);
  const double u_out = store_roundoff(p);
  const double tiny = p.typed_out() && p.elem == Half::F16 ? std::ldexp(1.0, -25) : 0.0;
  auto a_at = [&](int r, int k) -> double {  // the mma's A[r][k]
    const size_t i = p.op == TcOp::TN ? static_cast<size_t>(k) * p.K + r
                                      : static_cast<size_t>(r) * p.a_cols() + k;
    return widen(p.elem, p.a[i]);
  };
  auto b_at = [&](int k, int c) -> double {  // the mma's B[k][c]
    const size_t i =
        p.op == TcOp::NT ? static_cast<size_t>(c) * p.N + k : static_cast<size_t>(k) * p.N + c;
    return widen(p.elem, p.b[i]);
  };
  TcExpect e;
  e.value.resize(static_cast<size_t>(rows) * cols);
  e.bound.resize(e.value.size());
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < cols; ++c) {
      const size_t o = static_cast<size_t>(r) * cols + c;
      const double seed = p.bias.empty() ? 0.0 : p.bias[c];
      double sum = seed, mag = std::fabs(seed);
      for (int k = 0; k < red; ++k) {
        const double prod = a_at(r, k) * b_at(k, c);
        // Exact for tc_problem's values: every product lies on the 2^-34 grid
        // and the sums stay far below 2^18.
        sum += prod;
        mag += std::fabs(prod);
      }
      const double acc_err = steps * per_step * mag;
      const double old = p.out_value(p.out0[o]);
      const double alpha = p.alpha, beta = p.beta;
      if (p.op == TcOp::TN) {
        const double v = old + alpha * sum;
        e.value[o] = v;
        e.bound[o] =
            std::fabs(alpha) * acc_err + u_f32 * (std::fabs(v) + std::fabs(alpha) * acc_err);
      } else {
        const double blend = p.op == TcOp::NN && beta != 0.0 ? beta * old : 0.0;
        const double v = alpha * sum + blend;
        // alpha * acc and the blend round at most twice in f32 before the store.
        const double pre =
            std::fabs(alpha) * acc_err + 2 * u_f32 * (std::fabs(alpha) * mag + std::fabs(blend));
        e.value[o] = v;
        e.bound[o] = pre + u_out * (std::fabs(v) + pre) + tiny;
      }
    }
  }
  return e;
}

std::string tc_check_reference(const TcProblem& p, const std::vector<uint32_t>& out) {
  const TcExpect e = tc_reference(p);
  if (out.size() != e.value.size()) return "output has the wrong size";
  for (size_t i = 0; i < out.size(); ++i) {
    const double got = p.out_value(out[i]);
    if (!(std::fabs(got - e.value[i]) <= e.bound[i])) {
      return "element (" + std::to_string(i / p.out_cols()) + ", " +
             std::to_string(i % p.out_cols()) + "): got " + std::to_string(got) + ", exact " +
             std::to_string(e.value[i]) + ", bound " + std::to_string(e.bound[i]);
    }
  }
  return {};
}

}  // namespace tesvan::test
