// Brute force over a grid of shapes around every bucket boundary.  The f32
// tier must launch the kernels that a transcription of its bucket tables,
// written here independently of the dispatch code, names; and the typed tier
// must run natively exactly where the f32 tier runs the f32 twin of a typed
// kernel, declining every split, slim and gap-fill shape.
#include <algorithm>
#include <string>
#include <vector>

#include "dispatch.h"
#include "dispatch_fixture.h"
#include "support/sim_control.h"

namespace tesvan::test {
namespace {

constexpr uint64_t kSplitk = 8388608, kTranspose = 4194304;

uint64_t cdiv(uint64_t x, uint64_t d) { return (x + d - 1) / d; }

// What the f32 tier does with a shape: its kernels in launch order (empty
// for no bucket) and the base name of the typed twin of that bucket's
// kernel, or "" where the typed tier has to decline.
struct F32Choice {
  std::vector<std::string> kernels;
  std::string twin;
};

F32Choice one(const char* kernel, const char* twin) { return {{kernel}, twin}; }
F32Choice split(std::vector<std::string> kernels) { return {std::move(kernels), ""}; }

F32Choice forward_model(uint64_t m, uint64_t k, uint64_t n) {
  const uint64_t t = cdiv(m, 128) * cdiv(n, 64);
  const bool split_common = m >= 32 && m <= 1024 && n >= 64 && n <= 2048 && n % 4 == 0 &&
                            t <= 141 && m * n * (k / 32) <= kSplitk;
  const std::vector<std::string> k32 = {"tesvan_nn_splitk32_partial", "tesvan_splitk_reduce"};
  if (m >= 1 && m <= 31 && k >= 32 && k <= 2048 && n >= 32) {
    return one("tesvan_nn_ultra_thin", "tesvan_nn_ultra_thin");
  }
  if (n == 1 && m >= 1 && k >= 32) return one("tesvan_nn_gemv", "tesvan_nn_gemv");
  if (n >= 2 && n <= 127 && m >= 1 && m <= 64 && k >= 1) {
    return one("tesvan_nn_narrow_small", "tesvan_nn_narrow_small");
  }
  if (n >= 2 && n <= 127 && m >= 65 && k >= 1) return one("tesvan_nn_narrow", "tesvan_nn_narrow");
  if (m <= 31 && n >= 128 && k >= 1) return one("tesvan_nn_narrow", "");
  if (split_common && k >= 33 && k % 32 != 0) return split(k32);
  if (split_common && k >= 32 && k % 32 == 0) return split(k32);
  if (m >= 32 && m <= 127 && n >= 128 && k >= 1) return one("tesvan_nn_narrow", "");
  const uint64_t f = cdiv(k, 64);
  if (m >= 1025 && n >= 128 && n <= 512 && k % 32 == 0 && k >= 64 && f >= 6 &&
      f * m * n <= kSplitk && t <= 425) {
    return split({"tesvan_nn_splitk_slim_partial", "tesvan_splitk_reduce"});
  }
  if (m >= 512 && n >= 513 && k >= 1) return one("tesvan_nn", "tesvan_nn_big");
  if (m >= 128 && n >= 128 && k >= 1) return one("tesvan_nn_slim", "");
  // The typed big kernel also serves an empty reduction (it writes the
  // bias), where the f32 tier has no bucket.
  if (m >= 512 && n >= 513 && k == 0) return {{}, "tesvan_nn_big"};
  return {};
}

F32Choice backward_dw_model(uint64_t m, uint64_t k, uint64_t n) {
  if (n == 1 && m >= 32 && k >= 4) return one("tesvan_tn_gemv", "tesvan_tn_gemv");
  if (n <= 1) return {};
  if (n <= 127 && k >= 1 && m >= 1) return one("tesvan_tn_narrow", "tesvan_tn_narrow");
  if (m >= 256 && k >= 128 && n >= 128) {
    const uint64_t t = cdiv(k, 128) * cdiv(n, 128);
    if (t >= 1 && t <= 283) {
      const uint64_t want = cdiv(284, t);
      const uint64_t cap = k * n <= kSplitk ? kSplitk / (k * n) : 0;
      const uint64_t f = std::max<uint64_t>(std::min(want, cap), 1);
      const uint64_t chunk = cdiv(cdiv(m, f), 16) * 16;
      if (cdiv(m, chunk) >= 2) return split({"tesvan_tn_splitm_partial", "tesvan_splitm_reduce"});
    }
  }
  if (n >= 513 && k >= 512) return one("tesvan_tn", "tesvan_tn_big");
  if (n >= 128 && k >= 1) return one("tesvan_tn_slim", "");
  return {};
}

F32Choice backward_dx_model(uint64_t m, uint64_t k, uint64_t n) {
  const uint64_t t = cdiv(k, 64) * cdiv(m, 128);
  const uint64_t k_main = k / 32 * 32;
  if (n == 1 && k >= 1 && m >= 1) return one("tesvan_nt_gemv", "tesvan_nt_gemv");
  if (n >= 2 && n <= 127 && k >= 1 && m >= 1) return one("tesvan_nt_narrow", "tesvan_nt_narrow");
  if (n >= 128 && k >= 1 && m <= 31) return one("tesvan_nt_narrow", "");
  const bool mid = m >= 32 && m <= 1024 && k >= 64 && k <= 4096 && n >= 32 && n <= 2048;
  if (mid && k % 32 != 0 && n % 32 == 0 && t <= 141 && k_main * n <= kTranspose &&
      k_main * m * (n / 32) <= kSplitk) {
    F32Choice c =
        split({"tesvan_transpose_f32_2d", "tesvan_nn_splitk32_partial", "tesvan_splitk_reduce"});
    for (uint64_t i = k_main; i < k; ++i) c.kernels.push_back("tesvan_dx_col_gemv");
    return c;
  }
  if (mid && k % 32 == 0 && n * k <= kTranspose && t <= 141 && k * m * (n / 32) <= kSplitk) {
    return split({"tesvan_transpose_f32_2d", "tesvan_nn_splitk32_partial", "tesvan_splitk_reduce"});
  }
  const uint64_t f = cdiv(n, 64);
  if (m >= 1025 && k >= 128 && k <= 768 && n >= 64 && n % 32 == 0 && f >= 2 &&
      n * k <= kTranspose && f * k * m <= kSplitk && t <= 425) {
    return split(
        {"tesvan_transpose_f32_2d", "tesvan_nn_splitk_slim_partial", "tesvan_splitk_reduce"});
  }
  if (m >= 32 && m <= 127 && n >= 128 && k >= 1) return one("tesvan_nt_narrow", "");
  if (m >= 512 && k >= 513) return one("tesvan_nt", "tesvan_nt_big");
  if (m >= 128 && k >= 1) return one("tesvan_nt_slim", "");
  return {};
}

// Values on and beside every bound of the tables, including tile counts on
// their limits (141 and 425 for dX, 140 against 144 for forward) and
// ceilings that push a tile count past its limit.
const std::vector<uint64_t> kM = {0,    1,    2,    31,   32,   33,   63,    64,    65,    127,
                                  128,  129,  255,  256,  257,  300,  511,   512,   513,   640,
                                  1024, 1025, 1536, 2048, 4096, 8961, 10000, 10753, 16384, 20000};
const std::vector<uint64_t> kK = {0,    1,    3,    4,    5,    16,   31,   32,   33,   63,   64,
                                  65,   95,   100,  127,  128,  129,  130,  256,  257,  320,  321,
                                  352,  400,  511,  512,  513,  640,  768,  769,  1024, 1056, 1088,
                                  1152, 2048, 2049, 2976, 2977, 3040, 4095, 4096, 4097};
const std::vector<uint64_t> kN = {0,    1,    2,    31,   32,   33,    63,   64,   65,
                                  96,   100,  127,  128,  129,  160,   250,  256,  300,
                                  320,  352,  512,  513,  1022, 1024,  1088, 1092, 1792,
                                  1856, 2048, 2049, 2052, 4096, 16384, 20000};

using Model = F32Choice (*)(uint64_t, uint64_t, uint64_t);
using TypedCall = Status (*)(const EngineStream&, Kernels&, Dims);

class BucketRegions : public DispatchTest {
 protected:
  static std::vector<std::string> launched_kernels() {
    std::vector<std::string> names;
    for (const LoggedLaunch& l : read_launch_log()) names.push_back(l.kernel);
    return names;
  }

  // Every shape of the grid through the f32 dispatch and the typed dispatch.
  void compare(Model model, const Call& f32, TypedCall typed) {
    splitk_scratch();
    transpose_scratch();
    int failures = 0;
    for (uint64_t m : kM) {
      for (uint64_t k : kK) {
        for (uint64_t n : kN) {
          const Dims d{m, k, n};
          const F32Choice want = model(m, k, n);
          sim().tvnsim_launch_clear();
          const Status f32_st = f32(es(), table(), d);
          const std::vector<std::string> f32_log = launched_kernels();
          sim().tvnsim_launch_clear();
          const Status typed_st = typed(es(), table(), d);
          const std::vector<std::string> typed_log = launched_kernels();

          // With M = 0 a bucket whose grid counts row tiles launches an
          // empty grid, which the driver refuses.
          const bool refused_empty = m == 0 && !f32_st.ok() &&
                                     f32_st.error().kind() == Error::Kind::Cuda && f32_log.empty();
          const bool f32_ok = want.kernels.empty()
                                  ? !f32_st.ok() && f32_st.error().is_no_bucket()
                                  : (f32_st.ok() && f32_log == want.kernels) || refused_empty;
          const std::vector<std::string> typed_want =
              want.twin.empty() ? std::vector<std::string>{}
                                : std::vector<std::string>{want.twin + "_bf16"};
          const bool typed_ok = typed_want.empty()
                                    ? !typed_st.ok() && typed_st.error().is_no_bucket()
                                    : typed_st.ok();
          if (f32_ok && typed_ok && typed_log == typed_want) continue;
          ADD_FAILURE() << "M=" << m << " K=" << k << " N=" << n << ": f32 launched "
                        << testing::PrintToString(f32_log) << ", expected "
                        << testing::PrintToString(want.kernels) << "; typed launched "
                        << testing::PrintToString(typed_log) << ", expected "
                        << testing::PrintToString(typed_want);
          if (++failures == 20) return;
        }
      }
    }
  }
};

TEST_F(BucketRegions, Forward) {
  compare(
      forward_model,
      [](const EngineStream& es, Kernels& k, Dims d) {
        return tesvan_forward(es, k, kOut, kA, kB, kBias, d);
      },
      [](const EngineStream& es, Kernels& k, Dims d) {
        return tesvan_forward_typed(es, k, {kOut, DType::BF16}, {kA, DType::BF16},
                                    {kB, DType::BF16}, kBias, d);
      });
}

TEST_F(BucketRegions, BackwardDw) {
  compare(
      backward_dw_model,
      [](const EngineStream& es, Kernels& k, Dims d) {
        return tesvan_backward_dw(es, k, kDw, kDy, kX, d);
      },
      [](const EngineStream& es, Kernels& k, Dims d) {
        return tesvan_backward_dw_typed(es, k, kDw, {kDy, DType::BF16}, {kX, DType::BF16}, d);
      });
}

TEST_F(BucketRegions, BackwardDx) {
  compare(
      backward_dx_model,
      [](const EngineStream& es, Kernels& k, Dims d) {
        return tesvan_backward_dx(es, k, kDx, kDy, kW, d);
      },
      [](const EngineStream& es, Kernels& k, Dims d) {
        return tesvan_backward_dx_typed(es, k, {kDx, DType::BF16}, {kDy, DType::BF16},
                                        {kW, DType::BF16}, d);
      });
}

}  // namespace
}  // namespace tesvan::test
