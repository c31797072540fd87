// Loads and stores in every state space, generic addressing, and the faults
// a GPU raises for bad addresses.
#include <gtest/gtest.h>

#include "harness.h"

namespace tvnsim::test {
namespace {

const char* kMemory = R"(
// Widths, vectors and sign extension: out[0..5] from in.
.visible .entry widths(.param .u64 out, .param .u64 in) {
  .reg .b16 %h<3>; .reg .b32 %r<12>; .reg .b64 %rd<8>; .reg .f32 %f<5>; .reg .f64 %fd<2>;
  ld.param.u64 %rd1, [out];
  ld.param.u64 %rd2, [in];
  ld.global.s8 %r1, [%rd2];
  ld.global.u8 %r2, [%rd2];
  ld.global.s16 %r3, [%rd2];
  ld.global.u16 %h1, [%rd2+2];
  ld.global.v2.u32 {%r4, %r5}, [%rd2+8];
  ld.global.v4.f32 {%f1, %f2, %f3, %f4}, [%rd2+16];
  ld.global.f64 %fd1, [%rd2+32];
  ld.global.s32 %rd3, [%rd2+40];
  st.global.v4.u32 [%rd1], {%r1, %r2, %r3, %r4};
  cvt.u32.u16 %r6, %h1;
  st.global.v2.u32 [%rd1+16], {%r5, %r6};
  st.global.v4.f32 [%rd1+32], {%f4, %f3, %f2, %f1};
  st.global.f64 [%rd1+48], %fd1;
  st.global.u64 [%rd1+56], %rd3;
  st.global.u8 [%rd1+64], %r2;
  st.global.u16 [%rd1+66], %h1;
  ret;
}

// Static and dynamic shared memory, local memory and generic addresses.
.extern .shared .align 16 .b8 dyn[];
.visible .entry spaces(.param .u64 out, .param .align 8 .b8 pair[16]) {
  .local .align 8 .b8 __local_depot0[16];
  .reg .b32 %r<12>; .reg .b64 %rd<16>; .reg .b64 %SP; .reg .b64 %SPL;
  .shared .align 4 .b8 stat[36];
  mov.u64 %SPL, __local_depot0;
  cvta.local.u64 %SP, %SPL;
  ld.param.u64 %rd1, [out];
  ld.param.u32 %r1, [pair];
  ld.param.u32 %r2, [pair+12];
  mov.u32 %r3, %tid.x;
  // local: each thread keeps its own value
  add.s32 %r4, %r3, %r1;
  st.local.u32 [%SPL+4], %r4;
  // static and dynamic shared, through state-space and generic addresses
  shl.b32 %r5, %r3, 2;
  mov.u32 %r6, stat;
  add.s32 %r7, %r6, %r5;
  st.shared.u32 [%r7], %r3;
  mov.u64 %rd2, dyn;
  cvta.shared.u64 %rd3, %rd2;
  cvt.u64.u32 %rd4, %r5;
  add.s64 %rd5, %rd3, %rd4;
  add.s32 %r8, %r3, %r2;
  st.u32 [%rd5], %r8;
  bar.sync 0;
  // read back: local through a generic pointer, shared neighbours
  ld.u32 %r9, [%SP+4];
  xor.b32 %r10, %r5, 4;
  add.s32 %r11, %r6, %r10;
  ld.shared.u32 %r10, [%r11];
  cvta.to.shared.u64 %rd6, %rd5;
  cvt.u32.u64 %r11, %rd6;
  ld.shared.u32 %r11, [%r11];
  mul.wide.u32 %rd7, %r3, 16;
  add.s64 %rd8, %rd1, %rd7;
  cvta.global.u64 %rd9, %rd8;
  st.v2.u32 [%rd9], {%r9, %r10};
  st.global.u32 [%rd8+8], %r11;
  mov.u32 %r4, %dynamic_smem_size;
  st.global.u32 [%rd8+12], %r4;
  ret;
}

// One access of the given kind at base + offset.
.visible .entry load32(.param .u64 base, .param .u64 offset) {
  .reg .b32 %r<2>; .reg .b64 %rd<4>;
  ld.param.u64 %rd1, [base];
  ld.param.u64 %rd2, [offset];
  add.s64 %rd3, %rd1, %rd2;
  ld.global.u32 %r1, [%rd3];
  ret;
}
.visible .entry store_v4(.param .u64 base, .param .u64 offset) {
  .reg .f32 %f<2>; .reg .b64 %rd<4>;
  ld.param.u64 %rd1, [base];
  ld.param.u64 %rd2, [offset];
  add.s64 %rd3, %rd1, %rd2;
  mov.f32 %f1, 0f3F800000;
  st.global.v4.f32 [%rd3], {%f1, %f1, %f1, %f1};
  ret;
}
.visible .entry shared_at(.param .u32 offset) {
  .reg .b32 %r<3>;
  .shared .align 4 .b8 small[64];
  ld.param.u32 %r1, [offset];
  mov.u32 %r2, small;
  add.s32 %r2, %r2, %r1;
  st.shared.u32 [%r2], %r1;
  ret;
}
.visible .entry local_at(.param .u32 offset) {
  .local .align 4 .b8 __local_depot1[8];
  .reg .b32 %r<3>; .reg .b64 %rd<3>;
  ld.param.u32 %r1, [offset];
  mov.u64 %rd1, __local_depot1;
  cvt.u64.u32 %rd2, %r1;
  add.s64 %rd1, %rd1, %rd2;
  st.local.u32 [%rd1], %r1;
  ret;
}
.visible .entry param_at(.param .u32 offset) {
  .reg .b32 %r<3>; .reg .b64 %rd<3>;
  ld.param.u32 %r1, [offset];
  mov.u64 %rd1, offset;
  cvt.u64.u32 %rd2, %r1;
  add.s64 %rd1, %rd1, %rd2;
  ld.param.u32 %r2, [%rd1];
  ret;
}
)";

class Memory : public ::testing::Test {
 protected:
  Device dev;
  void SetUp() override { ASSERT_NE(dev.load(ptx_module(kMemory)), nullptr); }
};

TEST_F(Memory, ScalarAndVectorWidthsWithSignExtension) {
  std::vector<uint8_t> in(48, 0);
  const uint8_t head[] = {0x85, 0xFF, 0x34, 0x92};
  std::memcpy(in.data(), head, 4);
  const uint32_t v2[] = {11, 22};
  std::memcpy(in.data() + 8, v2, 8);
  const float v4[] = {1.5f, -2.5f, 3.5f, 4.5f};
  std::memcpy(in.data() + 16, v4, 16);
  const double dv = -0.1;
  std::memcpy(in.data() + 32, &dv, 8);
  const int32_t neg = -7;
  std::memcpy(in.data() + 40, &neg, 4);
  const uint64_t src = dev.upload(in), out = dev.alloc(72);
  const ExecResult r = dev.launch("widths", {1, 1, 1}, {1, 1, 1}, {Arg::u64(out), Arg::u64(src)});
  ASSERT_EQ(r.result, 0) << r.message;
  const auto o = dev.download<uint8_t>(out, 72);
  auto u32 = [&](size_t at) {
    uint32_t v;
    std::memcpy(&v, o.data() + at, 4);
    return v;
  };
  EXPECT_EQ(u32(0), 0xFFFFFF85u);  // s8, sign-extended
  EXPECT_EQ(u32(4), 0x85u);        // u8
  EXPECT_EQ(u32(8), 0xFFFFFF85u);  // s16 0xFF85
  EXPECT_EQ(u32(12), 11u);
  EXPECT_EQ(u32(16), 22u);
  EXPECT_EQ(u32(20), 0x9234u);
  float f[4];
  std::memcpy(f, o.data() + 32, 16);
  EXPECT_EQ(f[0], 4.5f);
  EXPECT_EQ(f[3], 1.5f);
  double dd;
  std::memcpy(&dd, o.data() + 48, 8);
  EXPECT_EQ(dd, -0.1);
  int64_t wide;
  std::memcpy(&wide, o.data() + 56, 8);
  EXPECT_EQ(wide, -7);  // s32 into a 64-bit register
  EXPECT_EQ(o[64], 0x85);
  EXPECT_EQ(o[66], 0x34);
  EXPECT_EQ(o[67], 0x92);
  EXPECT_EQ(o[65], 0xFF) << "bytes between stores stay untouched";
}

TEST_F(Memory, SharedLocalParamAndGenericSpaces) {
  const uint32_t threads = 9;
  const uint64_t out = dev.alloc(threads * 16);
  // `pair` is a 16-byte array parameter at offset 8 holding u32 values at
  // its bytes 0 and 12.
  std::vector<uint8_t> params(24, 0);
  std::memcpy(params.data(), &out, 8);
  const uint32_t a = 1000, b = 5000;
  std::memcpy(params.data() + 8, &a, 4);
  std::memcpy(params.data() + 20, &b, 4);
  const ExecResult r = dev.launch_packed("spaces", {1, 1, 1}, {threads, 1, 1}, params, 64);
  ASSERT_EQ(r.result, 0) << r.message;
  const auto o = dev.download<uint32_t>(out, threads * 4);
  for (uint32_t t = 0; t < threads; ++t) {
    SCOPED_TRACE(t);
    EXPECT_EQ(o[4 * t + 0], t + 1000);                       // local, via a generic pointer
    EXPECT_EQ(o[4 * t + 1], (t ^ 1) < threads ? (t ^ 1) : 0xFFFFFFFFu);  // static shared
    EXPECT_EQ(o[4 * t + 2], t + 5000);                       // dynamic shared, no overlap
    EXPECT_EQ(o[4 * t + 3], 64u);
  }
}

TEST_F(Memory, BadAddressesFaultWithAFullReport) {
  const uint64_t buf = dev.alloc(64);
  const uint64_t freed = dev.alloc(64);
  ASSERT_TRUE(dev.memory.release(freed));
  const struct {
    const char* what;
    const char* entry;
    uint64_t base, offset;
    int result;
    const char* instruction;
  } cases[] = {
      {"last word", "load32", buf, 60, 0, nullptr},
      {"one past the end", "load32", buf, 64, 700, "ld.global.u32 %r1, [%rd3];"},
      {"before the start", "load32", buf, static_cast<uint64_t>(-4), 700, nullptr},
      {"after free", "load32", freed, 0, 700, nullptr},
      {"host pointer", "load32", 0x7ffd00001000ull, 0, 700, nullptr},
      {"null", "load32", 0, 0, 700, nullptr},
      {"misaligned word", "load32", buf, 2, 716, nullptr},
      {"vector in bounds", "store_v4", buf, 48, 0, nullptr},
      {"vector straddling the end", "store_v4", buf, 56, 716, nullptr},
      {"vector past the end", "store_v4", buf, 64, 700, "st.global.v4.f32 [%rd3], {%f1, %f1, %f1, %f1};"},
      {"vector aligned to 8 only", "store_v4", buf, 8, 716, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const ExecResult r = dev.launch(c.entry, {2, 1, 1}, {1, 1, 1}, {Arg::u64(c.base), Arg::u64(c.offset)});
    EXPECT_EQ(r.result, c.result) << r.message;
    if (c.result == 0) continue;
    EXPECT_EQ(r.address, c.base + c.offset);
    EXPECT_EQ(r.block[0], 0u);
    if (c.instruction) EXPECT_EQ(r.instruction, c.instruction);
    EXPECT_NE(r.message.find(std::string("kernel ") + c.entry), std::string::npos) << r.message;
    EXPECT_NE(r.message.find("block (0,0,0)"), std::string::npos) << r.message;
    EXPECT_NE(r.message.find("thread (0,0,0)"), std::string::npos) << r.message;
  }
  const ExecResult ok = dev.launch("load32", {1, 1, 1}, {1, 1, 1}, {Arg::u64(buf), Arg::u64(0)});
  EXPECT_EQ(ok.result, 0) << "a fault leaves nothing behind";
}

TEST_F(Memory, SharedAndLocalAccessesAreBoundsChecked) {
  const struct {
    const char* entry;
    uint32_t offset;
    int result;
    const char* named = nullptr;  // the report must say this
  } cases[] = {
      {"shared_at", 60, 0},
      {"shared_at", 64, 700, "outside the 64 bytes of shared memory"},
      {"shared_at", 0xFFFFFFFC, 700},
      {"shared_at", 2, 716},
      {"local_at", 4, 0},
      {"local_at", 8, 700, "outside the 8 bytes of local memory"},
      {"local_at", 6, 716},
      {"param_at", 0, 0},
      {"param_at", 4, 700, "outside the 4 bytes of param memory"},
      {"param_at", 2, 716},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.entry) + " " + std::to_string(c.offset));
    const ExecResult r = dev.launch(c.entry, {1, 1, 1}, {1, 1, 1}, {Arg::u32(c.offset)});
    EXPECT_EQ(r.result, c.result) << r.message;
    if (c.named) EXPECT_NE(r.message.find(c.named), std::string::npos) << r.message;
  }
}

}  // namespace
}  // namespace tvnsim::test
