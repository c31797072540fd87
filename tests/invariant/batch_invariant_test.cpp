// The batch-invariant mode on real kernels: a row's bits never depend on the
// batch size.  Each configuration runs the whole M sweep through an engine
// in the mode and one without it, on one left operand of the largest M
// whose first rows every smaller batch shares.  In the mode every run's rows
// equal the same rows of the largest run and the exact reference; without it
// the default dispatch changes family inside the sweep and the rows show it,
// which proves the comparison can fail.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "dispatch_invariant.h"
#include "engine_inner.h"
#include "support/kernel_harness.h"
#include "support/reference.h"
#include "support/sim_control.h"
#include "support/tc_problem.h"
#include "support/typed_values.h"

namespace tesvan::test {
namespace {

const int kSweep[] = {1, 2, 7, 31, 32, 33, 63, 64, 65, 127, 128, 129, 200, 1025};
constexpr int kMaxM = 1025;

enum class Op { Forward, Dx };

struct Config {
  const char* name;
  Op op;
  DType t;
  bool tensor_cores;
  int k, n;
  bool bias;
  bool default_varies;  // the default dispatch changes order inside the sweep
};

// Forward: out[M,N] = a[M,K] b[K,N] (+ bias).  dX: dx[M,K] = dy[M,N] w[K,N]^T.
const Config kConfigs[] = {
    // default: ultra-thin (M <= 31), split-K (32..1024), slim (1025)
    {"f32_forward_ultrathin_splitk_slim", Op::Forward, DType::F32, false, 64, 128, true, true},
    // default: ultra-thin, K-tail split-K (the reduce folds K % 32), slim
    {"f32_forward_ktail_split", Op::Forward, DType::F32, false, 72, 128, true, true},
    // default: ultra-thin, narrow-small (32..64), narrow (65+)
    {"f32_forward_ultrathin_narrow", Op::Forward, DType::F32, false, 40, 48, false, true},
    // default: GEMV tree for every M; the mode takes the chain
    {"f32_forward_gemv", Op::Forward, DType::F32, false, 64, 1, true, false},
    // default: typed ultra-thin, upcast fallback split-K, fallback slim
    {"bf16_forward_typed_fallback", Op::Forward, DType::BF16, false, 64, 128, true, true},
    // default: typed tier below 64 rows, the 64-tile tensor-core kernel above
    {"f16_forward_tc64", Op::Forward, DType::F16, true, 64, 128, false, true},
    // default: f32 gap-fill narrow below 64 rows, then the 64-tile and, at
    // 1025 rows (72 tiles of 128), the 128-tile tensor-core kernel
    {"bf16_forward_tc64_tc128", Op::Forward, DType::BF16, true, 8, 1024, false, true},
    // N < 64: the tensor-core tier never serves it; typed ultra-thin, narrow
    {"bf16_forward_tc_unserved", Op::Forward, DType::BF16, true, 40, 48, true, true},
    // default: nt_narrow (M <= 31), transpose + split-K (32..1024), nt_slim
    {"f32_dx_narrow_split_slim", Op::Dx, DType::F32, false, 64, 128, false, true},
    // default: nt_narrow, K-tail split with column GEMVs, nt_slim
    {"f32_dx_ktail_split", Op::Dx, DType::F32, false, 72, 128, false, true},
    // default: typed nt_narrow, fallback split-K, fallback nt_slim
    {"f16_dx_typed_fallback", Op::Dx, DType::F16, false, 64, 128, false, true},
    // default: typed tier below 64 rows, tensor cores above
    {"bf16_dx_tc64", Op::Dx, DType::BF16, true, 64, 128, false, true},
    // output width K < 64: typed nt_narrow for every M, already invariant
    {"f16_dx_tc_unserved", Op::Dx, DType::F16, true, 40, 128, false, false},
};

// Test names and failure messages show the configuration's name.
void PrintTo(const Config& c, std::ostream* os) { *os << c.name; }

size_t elem_size(DType t) { return t == DType::F32 ? 4 : 2; }

// Device memory in the engine's (primary) context.
class DeviceMem {
 public:
  DeviceMem(const cu::CudaApi& api, size_t bytes) : api_(api), bytes_(bytes) {
    EXPECT_EQ(api.cuMemAlloc(&ptr_, std::max<size_t>(bytes, 4)), cu::CUDA_SUCCESS);
  }
  ~DeviceMem() { (void)api_.cuMemFree(ptr_); }
  DeviceMem(const DeviceMem&) = delete;
  DeviceMem& operator=(const DeviceMem&) = delete;
  uint64_t ptr() const { return ptr_; }
  void upload(const void* host) { EXPECT_EQ(api_.cuMemcpyHtoD(ptr_, host, bytes_), 0); }
  // Every byte 0xFF: NaN in f32, bf16 and f16 alike.
  void poison() { EXPECT_EQ(api_.cuMemsetD8(ptr_, 0xFF, bytes_), 0); }

 private:
  const cu::CudaApi& api_;
  size_t bytes_;
  cu::CUdeviceptr ptr_ = 0;
};

// Host values of an operand and its stored form (f32, or 16-bit patterns
// whose widened values the f32 copy holds).
struct HostOperand {
  std::vector<float> values;
  std::vector<uint16_t> halves;
  const void* stored() const { return halves.empty() ? static_cast<const void*>(values.data())
                                                     : halves.data(); }
};

// Values that make any change of reduction order show: along the
// reduction the second half mirrors the first (in reverse, on the right
// operand negated), scaled up, so the exact sum is the bias and each element
// keeps its order's rounding of large partial sums, visible at 16 bits too
// where an f32 ulp seldom shows.  (outer, reduction) element at
// outer * outer_stride + r * red_stride.
std::vector<float> cancelling(int outer, int reduction, size_t outer_stride, size_t red_stride,
                              bool negate, uint32_t seed) {
  std::vector<float> v = random_floats(static_cast<size_t>(outer) * reduction, seed);
  for (float& x : v) x *= 64.0f;
  for (int i = 0; i < outer; ++i) {
    for (int r = 0; r < reduction / 2; ++r) {
      const float first = v[i * outer_stride + r * red_stride];
      v[i * outer_stride + (reduction - 1 - r) * red_stride] = negate ? -first : first;
    }
  }
  return v;
}

HostOperand make_operand(DType t, std::vector<float> values) {
  HostOperand o;
  o.values = std::move(values);
  if (t != DType::F32) {
    const Half h = t == DType::F16 ? Half::F16 : Half::BF16;
    o.halves = narrow(h, o.values);
    o.values = widen(h, o.halves);
  }
  return o;
}

class BatchInvariant : public testing::TestWithParam<Config> {
 protected:
  static void SetUpTestSuite() {
    if (sim().available()) {
      TvnSimConfig c;
      sim().tvnsim_get_config(&c);
      c.execute = 1;
      sim().tvnsim_set_config(&c);
    }
    for (bool mode : {false, true}) {
      auto created = EngineInner::create(0, mode);
      ASSERT_TRUE(created.ok()) << created.error().display();
      engines_[mode] = std::move(created).value().release();
    }
  }
  static void TearDownTestSuite() {
    for (EngineInner*& e : engines_) {
      delete e;
      e = nullptr;
    }
  }

  // Rows [0, M) of one call on `engine`, as stored patterns (16-bit values
  // zero-extended); fails the test when the call fails or writes a row at
  // or beyond M.
  std::vector<uint32_t> run(bool mode, int m) {
    const Config& c = GetParam();
    EngineInner& e = *engines_[mode];
    out_->poison();
    const Dims d{static_cast<uint64_t>(m), static_cast<uint64_t>(c.k), static_cast<uint64_t>(c.n)};
    const Status s =
        c.op == Op::Forward
            ? e.forward(0, out_->ptr(), left_->ptr(), right_->ptr(), c.bias ? bias_->ptr() : 0, d,
                        c.t, c.tensor_cores)
            : e.backward_dx(0, out_->ptr(), left_->ptr(), right_->ptr(), d, c.t, c.tensor_cores);
    EXPECT_TRUE(s.ok()) << "M=" << m << ": " << (s.ok() ? "" : s.error().display());
    EXPECT_TRUE(e.synchronize().ok());
    const size_t size = elem_size(c.t);
    std::vector<unsigned char> raw(static_cast<size_t>(kMaxM) * out_cols() * size);
    EXPECT_EQ(api_->cuMemcpyDtoH(raw.data(), out_->ptr(), raw.size()), 0);
    std::vector<uint32_t> rows(raw.size() / size);
    for (size_t i = 0; i < rows.size(); ++i) {
      uint32_t v = 0;
      std::memcpy(&v, raw.data() + i * size, size);
      rows[i] = v;
    }
    const size_t used = static_cast<size_t>(m) * out_cols();
    const uint32_t poison = size == 4 ? 0xFFFFFFFFu : 0xFFFFu;
    EXPECT_TRUE(std::all_of(rows.begin() + used, rows.end(), [&](uint32_t v) { return v == poison; }))
        << "M=" << m << ": a row at or beyond M was written";
    rows.resize(used);
    return rows;
  }

  int out_cols() const { return GetParam().op == Op::Forward ? GetParam().n : GetParam().k; }
  int left_cols() const { return GetParam().op == Op::Forward ? GetParam().k : GetParam().n; }

  void SetUp() override {
    const Config& c = GetParam();
    auto api = cu::cuda();
    ASSERT_TRUE(api.ok());
    api_ = api.value();
    const bool fwd = c.op == Op::Forward;
    const int red = fwd ? c.k : c.n, right_outer = fwd ? c.n : c.k;
    // Left a [M, K] or dy [M, N]: rows along the reduction.  Right b [K, N]
    // runs along the reduction by rows, w [K, N] within rows.
    left_host_ = make_operand(c.t, cancelling(kMaxM, red, red, 1, false, 1));
    right_host_ = make_operand(c.t, fwd ? cancelling(right_outer, red, 1, c.n, true, 2)
                                        : cancelling(right_outer, red, c.n, 1, true, 2));
    bias_host_ = random_floats(c.n, 3);
    const size_t size = elem_size(c.t);
    left_ = std::make_unique<DeviceMem>(*api_, left_host_.values.size() * size);
    right_ = std::make_unique<DeviceMem>(*api_, right_host_.values.size() * size);
    bias_ = std::make_unique<DeviceMem>(*api_, bias_host_.size() * 4);
    out_ = std::make_unique<DeviceMem>(*api_, static_cast<size_t>(kMaxM) * out_cols() * size);
    left_->upload(left_host_.stored());
    right_->upload(right_host_.stored());
    bias_->upload(bias_host_.data());
  }

  // The exact chain: one ascending fused multiply-add chain per element on
  // the (widened) operands, seeded with the bias, rounded once to 16 bits.
  std::vector<uint32_t> chain_reference() const {
    const Config& c = GetParam();
    const bool fwd = c.op == Op::Forward;
    const ref::Operand left{left_host_.values.data(), left_cols(), false};
    const ref::Operand right{right_host_.values.data(), c.n, fwd};
    const std::vector<float> acc =
        ref::fma_chains(left, right, kMaxM, out_cols(), 0, fwd ? c.k : c.n,
                        fwd && c.bias ? bias_host_.data() : nullptr, 16);
    std::vector<uint32_t> out(acc.size());
    for (size_t i = 0; i < acc.size(); ++i) {
      out[i] = c.t == DType::F32 ? f32_bits(acc[i])
                                 : narrow(c.t == DType::F16 ? Half::F16 : Half::BF16, acc[i]);
    }
    return out;
  }

  // Empty when the tensor-core result is within the kernels' error bound.
  std::string tensor_core_check(const std::vector<uint32_t>& out) const {
    const Config& c = GetParam();
    TcProblem p;
    p.op = c.op == Op::Forward ? TcOp::NN : TcOp::NT;
    p.elem = c.t == DType::F16 ? Half::F16 : Half::BF16;
    p.M = kMaxM;
    p.K = c.k;
    p.N = c.n;
    p.a = left_host_.halves;
    p.b = right_host_.halves;
    if (c.op == Op::Forward && c.bias) p.bias = bias_host_;
    p.out0.assign(out.size(), 0);
    return tc_check_reference(p, out);
  }

  static EngineInner* engines_[2];
  const cu::CudaApi* api_ = nullptr;
  HostOperand left_host_, right_host_;
  std::vector<float> bias_host_;
  std::unique_ptr<DeviceMem> left_, right_, bias_, out_;
};

EngineInner* BatchInvariant::engines_[2] = {nullptr, nullptr};

std::vector<uint32_t> prefix(const std::vector<uint32_t>& rows, size_t count) {
  return {rows.begin(), rows.begin() + static_cast<std::ptrdiff_t>(count)};
}

TEST_P(BatchInvariant, SharedRowsKeepTheirBitsAcrossTheSweepOnlyInTheMode) {
  const Config& c = GetParam();
  const std::vector<uint32_t> full = run(true, kMaxM);
  const InvariantOrder order = c.op == Op::Forward
                                   ? invariant_forward_order(c.t, c.tensor_cores, c.k, c.n)
                                   : invariant_backward_dx_order(c.t, c.tensor_cores, c.k, c.n);
  if (order == InvariantOrder::TensorCore) {
    EXPECT_EQ(tensor_core_check(full), "");
  } else {
    ASSERT_EQ(order, InvariantOrder::Chain);
    EXPECT_TRUE(full == chain_reference()) << "the largest batch is not the exact chain";
  }

  // Without the mode, rows are compared with the default's own largest run.
  const std::vector<uint32_t> default_full = run(false, kMaxM);
  std::vector<int> default_differs;
  for (int m : kSweep) {
    const size_t shared = static_cast<size_t>(m) * out_cols();
    EXPECT_TRUE(run(true, m) == prefix(full, shared)) << "M=" << m << " changed a shared row";
    // One difference shows what the mode changes; the rest of the default
    // sweep is left out to keep the suite fast.
    if (c.default_varies && !default_differs.empty()) continue;
    if (run(false, m) != prefix(default_full, shared)) default_differs.push_back(m);
  }
  EXPECT_EQ(!default_differs.empty(), c.default_varies)
      << default_differs.size() << " batch sizes differ without the mode";
}

INSTANTIATE_TEST_SUITE_P(Sweep, BatchInvariant, testing::ValuesIn(kConfigs),
                         [](const testing::TestParamInfo<Config>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace tesvan::test
