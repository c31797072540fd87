// Performance counters on hand-written kernels whose wavefronts, sectors and
// instruction counts are known: bank conflicts by access width, broadcasts,
// ldmatrix with and without row padding, coalesced, strided and misaligned
// global loads, cp.async, the instruction classes, and the sum over blocks
// and host threads.
#include <gtest/gtest.h>

#include <algorithm>

#include "harness.h"

namespace tvnsim::test {
namespace {

const char* kKernels = R"(
// Lane t reads shared memory at t * stride, 4, 8 or 16 bytes.
.visible .entry shared_ld(.param .u32 stride, .param .u32 width) {
  .reg .pred %p<3>; .reg .b32 %r<12>;
  .shared .align 16 .b8 buf[8192];
  ld.param.u32 %r1, [stride];
  ld.param.u32 %r2, [width];
  mov.u32 %r3, %tid.x;
  mul.lo.u32 %r4, %r3, %r1;
  mov.u32 %r5, buf;
  add.u32 %r6, %r5, %r4;
  setp.eq.u32 %p1, %r2, 8;
  setp.eq.u32 %p2, %r2, 16;
  @%p1 bra W8;
  @%p2 bra W16;
  ld.shared.u32 %r7, [%r6];
  ret;
W8:
  ld.shared.v2.u32 {%r7, %r8}, [%r6];
  ret;
W16:
  ld.shared.v4.u32 {%r7, %r8, %r9, %r10}, [%r6];
  ret;
}

// Lane t writes shared memory at t * stride through a generic address.
.visible .entry shared_st_generic(.param .u32 stride) {
  .reg .b32 %r<8>; .reg .b64 %rd<6>;
  .shared .align 16 .b8 buf[8192];
  ld.param.u32 %r1, [stride];
  mov.u32 %r2, %tid.x;
  mul.lo.u32 %r3, %r2, %r1;
  mov.u64 %rd1, buf;
  cvta.shared.u64 %rd2, %rd1;
  cvt.u64.u32 %rd3, %r3;
  add.s64 %rd4, %rd2, %rd3;
  st.u32 [%rd4], %r2;
  ret;
}

// Lane t loads 4 bytes at in + offset + t * stride.
.visible .entry global_ld(.param .u64 in, .param .u32 stride, .param .u32 offset) {
  .reg .b32 %r<8>; .reg .b64 %rd<6>;
  ld.param.u64 %rd1, [in];
  ld.param.u32 %r1, [stride];
  ld.param.u32 %r2, [offset];
  mov.u32 %r3, %tid.x;
  mad.lo.u32 %r4, %r3, %r1, %r2;
  cvt.u64.u32 %rd2, %r4;
  add.s64 %rd3, %rd1, %rd2;
  ld.global.u32 %r5, [%rd3];
  ret;
}

// ldmatrix .x4 of four 8x8 b16 matrices side by side in rows of `pitch`
// bytes: lane t gives row t % 8 of matrix t / 8.
.visible .entry ldmatrix_rows(.param .u32 pitch) {
  .reg .b32 %r<16>;
  .shared .align 16 .b8 tile[4096];
  ld.param.u32 %r1, [pitch];
  mov.u32 %r2, %tid.x;
  and.b32 %r3, %r2, 7;
  shr.u32 %r4, %r2, 3;
  mul.lo.u32 %r5, %r3, %r1;
  shl.b32 %r6, %r4, 4;
  add.u32 %r7, %r5, %r6;
  mov.u32 %r8, tile;
  add.u32 %r9, %r8, %r7;
  ldmatrix.sync.aligned.m8n8.x4.shared.b16 {%r10, %r11, %r12, %r13}, [%r9];
  ret;
}

// Lane t copies 16 bytes from in + 16t to shared memory at 16t.
.visible .entry copy_async(.param .u64 in) {
  .reg .b32 %r<6>; .reg .b64 %rd<6>;
  .shared .align 16 .b8 buf[512];
  ld.param.u64 %rd1, [in];
  mov.u32 %r1, %tid.x;
  shl.b32 %r2, %r1, 4;
  mov.u32 %r3, buf;
  add.u32 %r4, %r3, %r2;
  mul.wide.u32 %rd2, %r1, 16;
  add.s64 %rd3, %rd1, %rd2;
  cp.async.cg.shared.global [%r4], [%rd3], 16;
  cp.async.wait_all;
  bar.sync 0;
  ret;
}

// `n` loop trips of one fma, guarded off in the odd lanes, then a barrier.
.visible .entry fma_loop(.param .u32 n) {
  .reg .pred %p<3>; .reg .b32 %r<8>; .reg .f32 %f<4>;
  ld.param.u32 %r1, [n];
  mov.u32 %r2, %tid.x;
  and.b32 %r3, %r2, 1;
  setp.eq.u32 %p1, %r3, 0;
  mov.f32 %f1, 0f3F800000;
  mov.u32 %r4, 0;
LOOP:
  @%p1 fma.rn.f32 %f1, %f1, %f1, %f1;
  add.u32 %r4, %r4, 1;
  setp.lt.u32 %p2, %r4, %r1;
  @%p2 bra LOOP;
  bar.sync 0;
  ret;
}
)";

class Counters : public ::testing::Test {
 protected:
  void SetUp() override {
    dev.options.counters = 2;
    ASSERT_NE(dev.load(ptx_module(kKernels)), nullptr);
  }

  ExecResult run(const std::string& entry, std::initializer_list<Arg> args, Dim3 grid = {},
                 Dim3 block = {32, 1, 1}) {
    ExecResult r = dev.launch(entry, grid, block, args);
    EXPECT_EQ(r.result, 0) << r.message;
    EXPECT_TRUE(r.counted);
    return r;
  }

  // The one request of a single-warp launch: {wavefronts or sectors, ideal}.
  std::pair<uint64_t, uint64_t> one_request(const ExecResult& r, int kind) {
    const TvnSimMemoryCounters& m = r.counters.memory[kind];
    EXPECT_EQ(m.requests, 1u) << "kind " << kind;
    return {m.wavefronts, m.ideal};
  }

  Device dev;
};

using Pair = std::pair<uint64_t, uint64_t>;

TEST_F(Counters, SharedLoadWavefrontsByStrideAndWidth) {
  struct Case { uint32_t stride, width; Pair expected; };
  const Case cases[] = {
      {4, 4, {1, 1}},    // conflict-free
      {8, 4, {2, 1}},    // 2-way: lanes t and t + 16 share a bank
      {128, 4, {32, 1}}, // 32-way: every lane in bank 0
      {0, 4, {1, 1}},    // broadcast of one word
      {8, 8, {2, 2}},    // 64-bit, conflict-free per half-warp
      {16, 8, {4, 2}},   // 64-bit, lanes t and t + 8 of a half-warp collide
      {16, 16, {4, 4}},  // 128-bit, conflict-free per quarter-warp
      {32, 16, {8, 4}},  // 128-bit, lanes t and t + 4 of a quarter-warp collide
      {0, 16, {4, 4}},   // 128-bit broadcast
  };
  for (const Case& c : cases) {
    const ExecResult r = run("shared_ld", {Arg::u32(c.stride), Arg::u32(c.width)});
    EXPECT_EQ(one_request(r, TVNSIM_MEM_SHARED_LOAD), c.expected)
        << "stride " << c.stride << ", width " << c.width;
  }
}

TEST_F(Counters, GenericStoreToSharedCountsAsSharedStore) {
  const ExecResult r = run("shared_st_generic", {Arg::u32(64)});  // 16-way
  EXPECT_EQ(one_request(r, TVNSIM_MEM_SHARED_STORE), Pair(16, 1));
  EXPECT_EQ(r.counters.memory[TVNSIM_MEM_GLOBAL_STORE].requests, 0u);
}

TEST_F(Counters, GlobalSectorsAgainstIdeal) {
  const uint64_t in = dev.alloc(8192);
  ASSERT_EQ(in % 128, 0u);
  struct Case { uint32_t stride, offset; Pair expected; };
  const Case cases[] = {
      {4, 0, {4, 4}},    // coalesced
      {8, 0, {8, 4}},    // every other word
      {128, 0, {32, 4}}, // a sector per lane
      {4, 4, {5, 4}},    // misaligned by 4: one sector more
      {0, 0, {1, 1}},    // one word for all
  };
  for (const Case& c : cases) {
    const ExecResult r = run("global_ld", {Arg::u64(in), Arg::u32(c.stride), Arg::u32(c.offset)});
    EXPECT_EQ(one_request(r, TVNSIM_MEM_GLOBAL_LOAD), c.expected)
        << "stride " << c.stride << ", offset " << c.offset;
  }
}

TEST_F(Counters, LdmatrixPhasesPerMatrix) {
  // Rows 128 bytes apart all start in bank 0 (8-way per matrix); 64 bytes
  // apart alternate between banks 0 and 16 (4-way); padding a 128-byte row
  // by 16 bytes puts the 8 rows in distinct banks.
  const std::pair<uint32_t, Pair> cases[] = {{128, {32, 4}}, {64, {16, 4}}, {144, {4, 4}}, {16, {4, 4}}};
  for (const auto& [pitch, expected] : cases) {
    const ExecResult r = run("ldmatrix_rows", {Arg::u32(pitch)});
    EXPECT_EQ(one_request(r, TVNSIM_MEM_LDMATRIX), expected) << "pitch " << pitch;
  }
}

TEST_F(Counters, CpAsyncCountsBothSides) {
  const uint64_t in = dev.alloc(512);
  const ExecResult r = run("copy_async", {Arg::u64(in)});
  EXPECT_EQ(one_request(r, TVNSIM_MEM_CP_ASYNC_SHARED), Pair(4, 4));
  EXPECT_EQ(one_request(r, TVNSIM_MEM_CP_ASYNC_GLOBAL), Pair(16, 16));
  EXPECT_EQ(r.counters.memory[TVNSIM_MEM_SHARED_STORE].requests, 0u);
}

TEST_F(Counters, InstructionClassesAndSites) {
  const uint32_t trips = 5;
  const ExecResult r = run("fma_loop", {Arg::u32(trips)}, {}, {64, 1, 1});
  const TvnSimCounters& t = r.counters;
  // Two warps; a guarded-off lane still issues with its warp.
  EXPECT_EQ(t.by_class[TVNSIM_CLASS_FMA_F32], 2u * trips);
  EXPECT_EQ(t.by_class[TVNSIM_CLASS_BARRIER], 2u);
  EXPECT_EQ(t.by_class[TVNSIM_CLASS_CONTROL], 2u * (trips + 1));  // the branch and ret
  EXPECT_EQ(t.by_class[TVNSIM_CLASS_MEMORY], 2u);                 // ld.param
  // mov.u32, mov.f32 / and, setp, mov / add, setp per trip
  EXPECT_EQ(t.by_class[TVNSIM_CLASS_CONVERT], 2u * 3);
  EXPECT_EQ(t.by_class[TVNSIM_CLASS_INTEGER], 2u * (2 + 2 * trips));
  uint64_t sum = 0;
  for (uint64_t c : t.by_class) sum += c;
  EXPECT_EQ(sum, t.warp_instructions);
  // One site per instruction of the entry; the fma line carries the trips.
  ASSERT_EQ(r.sites.size(), 12u);
  const auto fma = std::find_if(r.sites.begin(), r.sites.end(),
                                [](const TvnSimSiteCounters& s) { return std::string(s.instruction).find("fma") != std::string::npos; });
  ASSERT_NE(fma, r.sites.end());
  EXPECT_EQ(fma->warp_instructions, 2u * trips);
  EXPECT_EQ(fma->instruction_class, TVNSIM_CLASS_FMA_F32);
}

TEST_F(Counters, BlocksAddUpOverHostThreadsAndStopAtTheLimit) {
  dev.options.host_threads = 3;
  const ExecResult all = run("shared_ld", {Arg::u32(8), Arg::u32(4)}, {7, 1, 1});
  EXPECT_EQ(all.counters.blocks, 7u);
  EXPECT_EQ(all.counters.memory[TVNSIM_MEM_SHARED_LOAD].requests, 7u);
  EXPECT_EQ(all.counters.memory[TVNSIM_MEM_SHARED_LOAD].wavefronts, 14u);
  dev.options.block_limit = 2;
  const ExecResult two = run("shared_ld", {Arg::u32(8), Arg::u32(4)}, {7, 1, 1});
  EXPECT_EQ(two.counters.blocks, 2u);
  EXPECT_EQ(two.counters.warp_instructions * 7, all.counters.warp_instructions * 2);
  dev.options.counters = 0;
  EXPECT_FALSE(dev.launch("shared_ld", {7, 1, 1}, {32, 1, 1}, {Arg::u32(8), Arg::u32(4)}).counted);
}

}  // namespace
}  // namespace tvnsim::test
