// Evaluates host-model intrinsics on raw bit patterns read from stdin, one
// "name a b c" line (hex) per call, printing the result bits in hex: the
// probe through which check_oracle.py compares host_model.h with its exact
// rational model.
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <type_traits>

#include "host_model.h"

using fuzz_host::bits32;
using fuzz_host::bits64;
using fuzz_host::from32;
using fuzz_host::from64;
using Fn = std::function<uint64_t(uint64_t, uint64_t, uint64_t)>;

int main() {
  std::map<std::string, Fn> ops;
#define F1(name) ops[#name] = [](uint64_t a, uint64_t, uint64_t) { return uint64_t{bits32(name(from32(a)))}; };
#define F2(name) ops[#name] = [](uint64_t a, uint64_t b, uint64_t) { return uint64_t{bits32(name(from32(a), from32(b)))}; };
#define D1(name) ops[#name] = [](uint64_t a, uint64_t, uint64_t) { return bits64(name(from64(a))); };
#define D2(name) ops[#name] = [](uint64_t a, uint64_t b, uint64_t) { return bits64(name(from64(a), from64(b))); };
#define CV(name, T, from)                                                      \
  ops[#name] = [](uint64_t a, uint64_t, uint64_t) {                            \
    const auto r = name(static_cast<T>(from(a)));                              \
    return static_cast<uint64_t>(static_cast<std::make_unsigned_t<decltype(r)>>(r)); \
  };
#define MODE(sfx, mode)                                                                                  \
  F2(__fadd_##sfx) F2(__fsub_##sfx) F2(__fmul_##sfx) F2(__fdiv_##sfx) F1(__frcp_##sfx) F1(__fsqrt_##sfx) \
  D2(__dadd_##sfx) D2(__dsub_##sfx) D2(__dmul_##sfx) D2(__ddiv_##sfx) D1(__drcp_##sfx) D1(__dsqrt_##sfx) \
  ops["__fmaf_" #sfx] = [](uint64_t a, uint64_t b, uint64_t c) { return uint64_t{bits32(__fmaf_##sfx(from32(a), from32(b), from32(c)))}; }; \
  ops["__fma_" #sfx] = [](uint64_t a, uint64_t b, uint64_t c) { return bits64(__fma_##sfx(from64(a), from64(b), from64(c))); }; \
  CV(__float2int_##sfx, float, from32) CV(__float2uint_##sfx, float, from32) CV(__float2ll_##sfx, float, from32)         \
  CV(__float2ull_##sfx, float, from32) CV(__double2int_##sfx, double, from64) CV(__double2uint_##sfx, double, from64)    \
  CV(__double2ll_##sfx, double, from64) CV(__double2ull_##sfx, double, from64)                                          \
  ops["__int2float_" #sfx] = [](uint64_t a, uint64_t, uint64_t) { return uint64_t{bits32(__int2float_##sfx(static_cast<int>(a)))}; }; \
  ops["__uint2float_" #sfx] = [](uint64_t a, uint64_t, uint64_t) { return uint64_t{bits32(__uint2float_##sfx(static_cast<unsigned>(a)))}; }; \
  ops["__ll2float_" #sfx] = [](uint64_t a, uint64_t, uint64_t) { return uint64_t{bits32(__ll2float_##sfx(static_cast<long long>(a)))}; }; \
  ops["__ull2float_" #sfx] = [](uint64_t a, uint64_t, uint64_t) { return uint64_t{bits32(__ull2float_##sfx(a))}; }; \
  ops["__ll2double_" #sfx] = [](uint64_t a, uint64_t, uint64_t) { return bits64(__ll2double_##sfx(static_cast<long long>(a))); }; \
  ops["__ull2double_" #sfx] = [](uint64_t a, uint64_t, uint64_t) { return bits64(__ull2double_##sfx(a)); }; \
  ops["__double2float_" #sfx] = [](uint64_t a, uint64_t, uint64_t) { return uint64_t{bits32(__double2float_##sfx(from64(a)))}; };
  FH_MODES(MODE)
  F1(__saturatef)
  char name[64];
  unsigned long long a, b, c;
  while (std::scanf("%63s %llx %llx %llx", name, &a, &b, &c) == 4) {
    auto it = ops.find(name);
    if (it == ops.end()) {
      std::printf("unknown\n");
      continue;
    }
    std::printf("%llx\n", static_cast<unsigned long long>(it->second(a, b, c)));
  }
}
