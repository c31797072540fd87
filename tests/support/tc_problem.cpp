#include "support/tc_problem.h"

#include <cmath>
#include <cstring>
#include <random>

namespace tesvan::test {
namespace {

// Fill patterns: operands 0x7F7F (NaN in f16, ~3.4e38 in bf16: any read
// outside a matrix poisons the result), output 0xA5A5 (must survive).
constexpr unsigned char kOperandPattern = 0x7F;
constexpr unsigned char kOutputPattern = 0xA5;

uint32_t f32_bits(float v) {
  uint32_t u;
  std::memcpy(&u, &v, 4);
  return u;
}

float f32_value(uint32_t u) {
  float v;
  std::memcpy(&v, &u, 4);
  return v;
}

// Unit roundoff of the stored output type.
double store_roundoff(const TcProblem& p) {
  if (!p.typed_out()) return std::ldexp(1.0, -24);
  return p.elem == TcElem::BF16 ? std::ldexp(1.0, -8) : std::ldexp(1.0, -11);
}

uint16_t random_pattern(TcElem elem, TcValues values, std::mt19937& rng) {
  if (values == TcValues::Integer) {
    const int v = static_cast<int>(rng() % 9) - 4;
    return tc_bits(elem, static_cast<float>(v));
  }
  const uint32_t r = rng();
  if (r % 16 == 0) return 0;
  const uint16_t sign = (r >> 4) & 1 ? 0x8000 : 0;
  const int exp = -6 + static_cast<int>((r >> 5) % 7);  // 2^-6 .. 2^0
  if (elem == TcElem::BF16) return sign | static_cast<uint16_t>((exp + 127) << 7) | ((r >> 8) & 0x7F);
  return sign | static_cast<uint16_t>((exp + 15) << 10) | ((r >> 8) & 0x3FF);
}

// Copies a dense rows x cols matrix of `esize`-byte elements into a row
// stride of `ld` elements; padding cells get `fill`.
std::vector<unsigned char> with_stride(const void* dense, int rows, int cols, int ld, size_t esize,
                                       unsigned char fill) {
  std::vector<unsigned char> out(static_cast<size_t>(rows) * ld * esize, fill);
  for (int r = 0; r < rows; ++r) {
    std::memcpy(&out[static_cast<size_t>(r) * ld * esize],
                static_cast<const unsigned char*>(dense) + static_cast<size_t>(r) * cols * esize,
                cols * esize);
  }
  return out;
}

}  // namespace

const char* tc_name(TcOp op) { return op == TcOp::NN ? "nn" : op == TcOp::TN ? "tn" : "nt"; }
const char* tc_name(TcElem elem) { return elem == TcElem::BF16 ? "bf16" : "f16"; }

double tc_value(TcElem elem, uint16_t bits) {
  if (elem == TcElem::BF16) return f32_value(static_cast<uint32_t>(bits) << 16);
  const int sign = bits >> 15, exp = (bits >> 10) & 0x1F, mant = bits & 0x3FF;
  double v;
  if (exp == 0x1F) v = mant ? NAN : INFINITY;
  else if (exp == 0) v = std::ldexp(mant, -24);
  else v = std::ldexp(mant + 1024, exp - 25);
  return sign ? -v : v;
}

uint16_t tc_bits(TcElem elem, float value) {
  if (elem == TcElem::F16) {
    const _Float16 h = static_cast<_Float16>(value);
    uint16_t u;
    std::memcpy(&u, &h, 2);
    return u;
  }
  const uint32_t u = f32_bits(value);
  if ((u & 0x7FFFFFFF) > 0x7F800000) return 0x7FFF;
  return static_cast<uint16_t>((u + 0x7FFF + ((u >> 16) & 1)) >> 16);
}

double TcProblem::out_value(uint32_t bits) const {
  return typed_out() ? tc_value(elem, static_cast<uint16_t>(bits)) : f32_value(bits);
}

TcProblem tc_problem(TcOp op, TcElem elem, int M, int K, int N, TcValues values, uint32_t seed,
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
    for (int i = 0; i < N; ++i) p.bias.push_back(static_cast<float>(tc_value(elem, random_pattern(elem, values, rng))));
  }
  const size_t out_size = static_cast<size_t>(p.out_rows()) * p.out_cols();
  p.out0.assign(out_size, p.typed_out() ? tc_bits(elem, 0.25f) : f32_bits(0.25f));
  return p;
}

std::string tc_kernel_name(const TcProblem& p, int tile) {
  return std::string("tesvan_") + tc_name(p.op) + (tile == 128 ? "_tc_" : "_tc64_") + tc_name(p.elem);
}

TcRun tc_run(TcDevice& dev, const TcProblem& p, const TcLayout& layout) {
  TcRun run;
  const cu::CUfunction f = dev.function(tc_kernel_name(p, layout.tile));
  if (f == nullptr) {
    run.error = "no kernel " + tc_kernel_name(p, layout.tile);
    return run;
  }
  const int rows = p.out_rows(), cols = p.out_cols();
  const size_t out_esize = p.typed_out() ? 2 : 4;
  // Operand geometry as stored: a is M x a_cols, b is (K or M) x N.
  const int a_rows = p.M, a_cols = p.a_cols();
  const int b_rows = p.op == TcOp::TN ? p.M : p.K, b_cols = p.N;
  const int lda = a_cols + layout.pad_a, ldb = b_cols + layout.pad_b, ldc = cols + layout.pad_c;

  std::vector<unsigned char> a = with_stride(p.a.data(), a_rows, a_cols, lda, 2, kOperandPattern);
  std::vector<unsigned char> b = with_stride(p.b.data(), b_rows, b_cols, ldb, 2, kOperandPattern);
  std::vector<unsigned char> out0_dense(p.out0.size() * out_esize);
  for (size_t i = 0; i < p.out0.size(); ++i) {
    if (out_esize == 2) {
      const uint16_t v = static_cast<uint16_t>(p.out0[i]);
      std::memcpy(&out0_dense[i * 2], &v, 2);
    } else {
      std::memcpy(&out0_dense[i * 4], &p.out0[i], 4);
    }
  }
  std::vector<unsigned char> c = with_stride(out0_dense.data(), rows, cols, ldc, out_esize, kOutputPattern);

  GuardedBuffer da = dev.alloc(a.size(), kOperandPattern, layout.shift);
  GuardedBuffer db = dev.alloc(b.size(), kOperandPattern, layout.shift);
  GuardedBuffer dc = dev.alloc(c.size(), kOutputPattern);
  GuardedBuffer dbias = dev.alloc(p.bias.size() * 4, kOperandPattern);
  if (!da.ok() || !db.ok() || !dc.ok() || !dbias.ok() || !da.upload(a.data(), a.size()) ||
      !db.upload(b.data(), b.size()) || !dc.upload(c.data(), c.size()) ||
      !dbias.upload(p.bias.data(), p.bias.size() * 4)) {
    run.error = "device buffers could not be set up";
    return run;
  }

  const unsigned t = static_cast<unsigned>(layout.tile);
  const unsigned grid = ((rows + t - 1) / t) * ((cols + t - 1) / t);
  const unsigned block = 2 * t;
  unsigned smem = 0;
  if (t == 128) smem = p.op == TcOp::NN ? 71680 : p.op == TcOp::TN ? 69632 : 73728;
  const uint64_t bias = p.bias.empty() ? 0 : dbias.address();
  switch (p.op) {
    case TcOp::NN:
      run.error = dev.run(f, grid, block, smem,
                          {KernelArg::ptr(dc.address()), KernelArg::ptr(da.address()),
                           KernelArg::ptr(db.address()), KernelArg::ptr(bias),
                           KernelArg::f32(p.alpha), KernelArg::f32(p.beta), KernelArg::i32(p.M),
                           KernelArg::i32(p.N), KernelArg::i32(p.K), KernelArg::i32(lda),
                           KernelArg::i32(ldb), KernelArg::i32(ldc)});
      break;
    case TcOp::TN:
    case TcOp::NT:
      run.error = dev.run(f, grid, block, smem,
                          {KernelArg::ptr(dc.address()), KernelArg::ptr(da.address()),
                           KernelArg::ptr(db.address()), KernelArg::f32(p.alpha),
                           KernelArg::i32(p.M),  // TN: M_red, K_out, N; NT: M, N, K_out
                           KernelArg::i32(p.op == TcOp::TN ? p.K : p.N),
                           KernelArg::i32(p.op == TcOp::TN ? p.N : p.K)});
      break;
  }
  if (!run.error.empty()) return run;

  for (const GuardedBuffer* buf : {&da, &db, &dc, &dbias}) {
    std::string bad = buf->check_guards();
    if (!bad.empty()) {
      run.error = (buf == &dc ? "output: " : "operand: ") + bad;
      return run;
    }
  }
  std::vector<unsigned char> back(c.size());
  if (!dc.download(back.data(), back.size())) {
    run.error = "output could not be read";
    return run;
  }
  run.out.resize(static_cast<size_t>(rows) * cols);
  for (int r = 0; r < rows; ++r) {
    for (int col = 0; col < ldc; ++col) {
      const unsigned char* cell = &back[(static_cast<size_t>(r) * ldc + col) * out_esize];
      if (col >= cols) {
        for (size_t i = 0; i < out_esize; ++i) {
          if (cell[i] != kOutputPattern) {
            run.error = "output padding (" + std::to_string(r) + ", " + std::to_string(col) +
                        ") was written";
            return run;
          }
        }
        continue;
      }
      uint32_t v = 0;
      std::memcpy(&v, cell, out_esize);
      run.out[static_cast<size_t>(r) * cols + col] = v;
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
  const double tiny = p.typed_out() && p.elem == TcElem::F16 ? std::ldexp(1.0, -25) : 0.0;
  auto a_at = [&](int r, int k) -> double {  // the mma's A[r][k]
    const size_t i = p.op == TcOp::TN ? static_cast<size_t>(k) * p.K + r
                                      : static_cast<size_t>(r) * p.a_cols() + k;
    return tc_value(p.elem, p.a[i]);
  };
  auto b_at = [&](int k, int c) -> double {  // the mma's B[k][c]
    const size_t i = p.op == TcOp::NT ? static_cast<size_t>(c) * p.N + k
                                      : static_cast<size_t>(k) * p.N + c;
    return tc_value(p.elem, p.b[i]);
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
        e.bound[o] = std::fabs(alpha) * acc_err + u_f32 * (std::fabs(v) + std::fabs(alpha) * acc_err);
      } else {
        const double blend = p.op == TcOp::NN && beta != 0.0 ? beta * old : 0.0;
        const double v = alpha * sum + blend;
        // alpha * acc and the blend round at most twice in f32 before the store.
        const double pre = std::fabs(alpha) * acc_err +
                           2 * u_f32 * (std::fabs(alpha) * mag + std::fabs(blend));
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
