#include "support/stub_kernels.h"

#include <algorithm>

namespace tesvan::test {
namespace {

struct Family {
  const char* params;
  std::vector<std::string> names;
};

// Parameter lists by family; p = pointer, i = int, f = float.
const std::vector<Family>& families() {
  static const std::vector<Family> f = {
      // C, A, B, bias, alpha, beta, M, N, K, lda, ldb, ldc
      {"pppp ff iiiiii",
       {"tesvan_nn", "tesvan_nn_slim", "tesvan_nn_ultra_thin", "tesvan_nn_ultra_thin_bf16",
        "tesvan_nn_ultra_thin_f16", "tesvan_nn_big_bf16", "tesvan_nn_big_f16", "tesvan_nn_tc_bf16",
        "tesvan_nn_tc_f16", "tesvan_nn_tc64_bf16", "tesvan_nn_tc64_f16"}},
      // ... plus post_op
      {"pppp ff iiiiiii",
       {"tesvan_nn_narrow", "tesvan_nn_narrow_small", "tesvan_nn_narrow_bf16",
        "tesvan_nn_narrow_f16", "tesvan_nn_narrow_small_bf16", "tesvan_nn_narrow_small_f16"}},
      // C, A, B, alpha, three ints (TN: M_red, K_out, N; NT: M, N, K_out)
      {"ppp f iii",
       {"tesvan_tn", "tesvan_nt", "tesvan_tn_slim", "tesvan_nt_slim", "tesvan_tn_narrow",
        "tesvan_nt_narrow", "tesvan_tn_narrow_bf16", "tesvan_tn_narrow_f16",
        "tesvan_nt_narrow_bf16", "tesvan_nt_narrow_f16", "tesvan_tn_big_bf16", "tesvan_tn_big_f16",
        "tesvan_nt_big_bf16", "tesvan_nt_big_f16", "tesvan_tn_tc_bf16", "tesvan_tn_tc_f16",
        "tesvan_nt_tc_bf16", "tesvan_nt_tc_f16", "tesvan_tn_tc64_bf16", "tesvan_tn_tc64_f16",
        "tesvan_nt_tc64_bf16", "tesvan_nt_tc64_f16"}},
      // Y, X, W, bias, alpha, beta, M, K, lda, ldy
      {"pppp ff iiii", {"tesvan_nn_gemv", "tesvan_nn_gemv_bf16", "tesvan_nn_gemv_f16"}},
      // out, in, vector, alpha, four ints
      {"ppp f iiii",
       {"tesvan_tn_gemv", "tesvan_nt_gemv", "tesvan_tn_gemv_bf16", "tesvan_tn_gemv_f16",
        "tesvan_nt_gemv_bf16", "tesvan_nt_gemv_f16"}},
      {"ppp iiii", {"tesvan_nn_splitk32_partial", "tesvan_tn_splitm_partial", "tesvan_dx_col_gemv"}},
      {"ppp iiiiii", {"tesvan_nn_splitk_slim_partial"}},
      // C, partial, bias, x_tail, w_tail, alpha, M, N, K_CHUNKS, x_tail_stride, out_col_stride, tail_cnt
      {"ppppp f iiiiii", {"tesvan_splitk_reduce"}},
      {"pp f iii", {"tesvan_splitm_reduce"}},
      {"pp ii", {"tesvan_transpose_f32_2d"}},
      {"pp i",
       {"tvn_cast_f32_to_bf16", "tvn_cast_bf16_to_f32", "tvn_cast_f32_to_f16",
        "tvn_cast_f16_to_f32"}},
  };
  return f;
}

}  // namespace

const std::vector<std::string>& engine_kernel_names() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> v = {
        "tesvan_nn", "tesvan_tn", "tesvan_nt", "tesvan_nn_slim", "tesvan_tn_slim",
        "tesvan_nt_slim", "tesvan_nn_gemv", "tesvan_tn_gemv", "tesvan_nt_gemv",
        "tesvan_nn_ultra_thin", "tesvan_nn_narrow", "tesvan_nn_narrow_small", "tesvan_tn_narrow",
        "tesvan_nt_narrow", "tesvan_nn_splitk32_partial", "tesvan_nn_splitk_slim_partial",
        "tesvan_tn_splitm_partial", "tesvan_splitk_reduce", "tesvan_splitm_reduce",
        "tesvan_dx_col_gemv", "tesvan_transpose_f32_2d"};
    for (const char* base :
         {"tesvan_nn_gemv", "tesvan_tn_gemv", "tesvan_nt_gemv", "tesvan_nn_ultra_thin",
          "tesvan_nn_narrow", "tesvan_nn_narrow_small", "tesvan_tn_narrow", "tesvan_nt_narrow",
          "tesvan_nn_big", "tesvan_tn_big", "tesvan_nt_big", "tesvan_nn_tc", "tesvan_tn_tc",
          "tesvan_nt_tc", "tesvan_nn_tc64", "tesvan_tn_tc64", "tesvan_nt_tc64"}) {
      v.push_back(std::string(base) + "_bf16");
      v.push_back(std::string(base) + "_f16");
    }
    for (const char* c : {"tvn_cast_f32_to_bf16", "tvn_cast_bf16_to_f32", "tvn_cast_f32_to_f16",
                          "tvn_cast_f16_to_f32"}) {
      v.emplace_back(c);
    }
    return v;
  }();
  return names;
}

std::string stub_kernel_source(const std::vector<std::string>& omit) {
  std::string src;
  for (const Family& fam : families()) {
    std::string params;
    int index = 0;
    for (const char* c = fam.params; *c; ++c) {
      const char* type = *c == 'p' ? "float*" : *c == 'i' ? "int" : *c == 'f' ? "float" : nullptr;
      if (!type) continue;
      if (index) params += ", ";
      params += std::string(type) + " a" + std::to_string(index++);
    }
    for (const std::string& name : fam.names) {
      if (std::find(omit.begin(), omit.end(), name) != omit.end()) continue;
      src += "extern \"C\" __global__ void " + name + "(" + params + ") {}\n";
    }
  }
  return src;
}

}  // namespace tesvan::test
