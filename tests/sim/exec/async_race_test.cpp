// cp.async (zero fill, data visible only at the covering wait, faults) and
// the shared-memory race check.
#include <gtest/gtest.h>

#include "harness.h"

namespace tvnsim::test {
namespace {

constexpr uint32_t kPoison = 0xFFC0DEADu;

const char* kAsync = R"(
// Thread t copies in[t] (16 bytes) three times into its 48 bytes of shared
// memory: whole, the first `part` bytes, nothing; the first two form group
// one, the third group two.  out[t] receives 9 snapshots of 16 bytes.
.visible .entry copies(.param .u64 out, .param .u64 in, .param .u32 part) {
  .reg .b32 %r<20>; .reg .b64 %rd<8>;
  .shared .align 16 .b8 buf[1536];
  ld.param.u64 %rd1, [out];
  ld.param.u64 %rd2, [in];
  ld.param.u32 %r1, [part];
  mov.u32 %r2, %tid.x;
  mul.wide.u32 %rd3, %r2, 16;
  add.s64 %rd4, %rd2, %rd3;
  mul.lo.s32 %r3, %r2, 48;
  mov.u32 %r4, buf;
  add.s32 %r5, %r4, %r3;
  cp.async.ca.shared.global [%r5], [%rd4], 16, 16;
  cp.async.cg.shared.global [%r5+16], [%rd4], 16, %r1;
  cp.async.commit_group;
  cp.async.ca.shared.global [%r5+32], [%rd4], 16, 0;
  cp.async.commit_group;
  mul.wide.u32 %rd5, %r2, 144;
  add.s64 %rd6, %rd1, %rd5;
  ld.shared.v4.u32 {%r6, %r7, %r8, %r9}, [%r5];
  st.global.v4.u32 [%rd6], {%r6, %r7, %r8, %r9};
  cp.async.wait_group 1;
  ld.shared.v4.u32 {%r6, %r7, %r8, %r9}, [%r5];
  st.global.v4.u32 [%rd6+16], {%r6, %r7, %r8, %r9};
  ld.shared.v4.u32 {%r6, %r7, %r8, %r9}, [%r5+16];
  st.global.v4.u32 [%rd6+32], {%r6, %r7, %r8, %r9};
  ld.shared.v4.u32 {%r6, %r7, %r8, %r9}, [%r5+32];
  st.global.v4.u32 [%rd6+48], {%r6, %r7, %r8, %r9};
  cp.async.wait_all;
  ld.shared.v4.u32 {%r6, %r7, %r8, %r9}, [%r5+32];
  st.global.v4.u32 [%rd6+64], {%r6, %r7, %r8, %r9};
  ret;
}

// Small copies: 4 and 8 bytes, and the ignore-src form.
.visible .entry small(.param .u64 out, .param .u64 in) {
  .reg .b32 %r<12>; .reg .b64 %rd<4>; .reg .pred %p<3>;
  .shared .align 16 .b8 s[16];
  ld.param.u64 %rd1, [out];
  ld.param.u64 %rd2, [in];
  mov.u32 %r1, s;
  setp.eq.u32 %p1, %r1, %r1;
  setp.ne.u32 %p2, %r1, %r1;
  cp.async.ca.shared.global [%r1], [%rd2], 4;
  cp.async.ca.shared.global [%r1+8], [%rd2+8], 8;
  cp.async.ca.shared.global [%r1+4], [%rd2+4], 4, %p1;
  cp.async.wait_all;
  ld.shared.v4.u32 {%r2, %r3, %r4, %r5}, [%r1];
  st.global.v4.u32 [%rd1], {%r2, %r3, %r4, %r5};
  cp.async.ca.shared.global [%r1+4], [%rd2+4], 4, %p2;
  cp.async.wait_all;
  ld.shared.u32 %r6, [%r1+4];
  st.global.u32 [%rd1+16], %r6;
  ret;
}

// One 16-byte copy from `src` with `size` source bytes into shared offset `dst`.
.visible .entry one(.param .u64 src, .param .u32 size, .param .u32 dst) {
  .reg .b32 %r<4>; .reg .b64 %rd<2>;
  .shared .align 16 .b8 s[64];
  ld.param.u64 %rd1, [src];
  ld.param.u32 %r1, [size];
  ld.param.u32 %r2, [dst];
  mov.u32 %r3, s;
  add.s32 %r3, %r3, %r2;
  cp.async.ca.shared.global [%r3], [%rd1], 16, %r1;
  cp.async.wait_all;
  ret;
}

// Warp 0 copies into s[0..15]; warp 1 reads s[0] after a barrier.  With
// wait_first the copy completes before the barrier; otherwise after it,
// and without `wait` never.
.visible .entry handoff(.param .u64 out, .param .u64 in, .param .u32 mode) {
  .reg .b32 %r<8>; .reg .b64 %rd<4>; .reg .pred %p<4>;
  .shared .align 16 .b8 s[16];
  ld.param.u64 %rd1, [out];
  ld.param.u64 %rd2, [in];
  ld.param.u32 %r1, [mode];
  mov.u32 %r2, %tid.x;
  mov.u32 %r3, s;
  setp.ne.u32 %p1, %r2, 0;
  setp.eq.u32 %p2, %r1, 0;
  setp.eq.u32 %p3, %r1, 1;
  @%p1 bra $BARRIER;
  cp.async.ca.shared.global [%r3], [%rd2], 16;
  @%p2 cp.async.wait_all;
$BARRIER:
  bar.sync 0;
  @%p1 bra $READER;
  @%p3 cp.async.wait_all;
  ret;
$READER:
  setp.ne.u32 %p1, %r2, 32;
  @%p1 bra $END;
  ld.shared.u32 %r4, [%r3];
  st.global.u32 [%rd1], %r4;
$END:
  ret;
}
)";

class Async : public ::testing::Test {
 protected:
  Device dev;
  void SetUp() override { ASSERT_NE(dev.load(ptx_module(kAsync)), nullptr); }
};

TEST_F(Async, DataArrivesOnlyAtTheCoveringWaitWithZeroFill) {
  const uint32_t threads = 32;
  std::vector<uint32_t> in(threads * 4);
  for (uint32_t i = 0; i < in.size(); ++i) in[i] = 0x01010101u * (i % 200 + 1);
  const uint64_t src = dev.upload(in), out = dev.alloc(threads * 144);
  ExecResult r = dev.launch("copies", {1, 1, 1}, {threads, 1, 1}, {Arg::u64(out), Arg::u64(src), Arg::u32(8)});
  ASSERT_EQ(r.result, 0) << r.message;
  const auto v = dev.download<uint32_t>(out, threads * 36);
  for (uint32_t t = 0; t < threads; ++t) {
    SCOPED_TRACE(t);
    const uint32_t* o = &v[36 * t];
    const uint32_t* x = &in[4 * t];
    for (int i = 0; i < 4; ++i) {
      EXPECT_EQ(o[i], kPoison) << "read before any wait";
      EXPECT_EQ(o[4 + i], x[i]) << "group one complete";
      EXPECT_EQ(o[8 + i], i < 2 ? x[i] : 0u) << "8 source bytes, 8 zeros";
      EXPECT_EQ(o[12 + i], kPoison) << "group two still pending";
      EXPECT_EQ(o[16 + i], 0u) << "zero source bytes";
    }
  }
}

TEST_F(Async, SmallCopiesAndIgnoreSource) {
  const uint64_t src = dev.upload(std::vector<uint32_t>{11, 22, 33, 44}), out = dev.alloc(20);
  ExecResult r = dev.launch("small", {1, 1, 1}, {1, 1, 1}, {Arg::u64(out), Arg::u64(src)});
  ASSERT_EQ(r.result, 0) << r.message;
  const auto v = dev.download<uint32_t>(out, 5);
  EXPECT_EQ(v[0], 11u);
  EXPECT_EQ(v[1], 0u);  // ignore-src set: zeros
  EXPECT_EQ(v[2], 33u);
  EXPECT_EQ(v[3], 44u);
  EXPECT_EQ(v[4], 22u);  // ignore-src clear: copied
}

TEST_F(Async, BadCopiesFault) {
  const uint64_t buf = dev.alloc(40);
  const struct {
    const char* what;
    uint64_t src;
    uint32_t size, dst;
    int result;
  } cases[] = {
      {"in bounds", buf, 16, 0, 0},
      {"last shared bytes", buf + 16, 16, 48, 0},
      {"source size above the copy size", buf, 17, 0, 719},
      {"source past the allocation", buf + 48, 4, 0, 700},
      {"no source bytes: address unused", buf + 4096, 0, 0, 0},
      {"partial source up to the end", buf + 32, 8, 0, 0},
      {"partial source straddling the end", buf + 32, 12, 0, 700},
      {"misaligned source", buf + 8, 16, 0, 716},
      {"misaligned destination", buf, 16, 8, 716},
      {"destination past shared memory", buf, 16, 64, 700},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const ExecResult r = dev.launch("one", {1, 1, 1}, {1, 1, 1}, {Arg::u64(c.src), Arg::u32(c.size), Arg::u32(c.dst)});
    EXPECT_EQ(r.result, c.result) << r.message;
    if (c.result) EXPECT_NE(r.instruction.find("cp.async"), std::string::npos);
  }
}

TEST_F(Async, ACopyIsAWriteUntilItsWait) {
  const uint64_t src = dev.upload(std::vector<uint32_t>{77, 0, 0, 0}), out = dev.alloc(4);
  // Waited before the barrier: the reader sees the data.
  ExecResult r = dev.launch("handoff", {1, 1, 1}, {64, 1, 1}, {Arg::u64(out), Arg::u64(src), Arg::u32(0)});
  ASSERT_EQ(r.result, 0) << r.message;
  EXPECT_EQ(dev.download<uint32_t>(out, 1)[0], 77u);
  // Waited after the barrier: the copy still writes while the reader reads.
  r = dev.launch("handoff", {1, 1, 1}, {64, 1, 1}, {Arg::u64(out), Arg::u64(src), Arg::u32(1)});
  EXPECT_EQ(r.result, 719);
  EXPECT_NE(r.message.find("race"), std::string::npos) << r.message;
  EXPECT_NE(r.message.find("(32,0,0)"), std::string::npos) << r.message;
  // Never waited: the reader sees the poison instead of the data.
  r = dev.launch("handoff", {1, 1, 1}, {64, 1, 1}, {Arg::u64(out), Arg::u64(src), Arg::u32(2)});
  ASSERT_EQ(r.result, 0) << r.message;
  EXPECT_EQ(dev.download<uint32_t>(out, 1)[0], kPoison);
}

const char* kRace = R"(
// Thread `a` does access kind ka and then thread `b` kind kb (0 read,
// 1 write) on the shared word at byte `offset` (per thread, offset_a /
// offset_b for sub-word stores); `sync` = 1 puts a block barrier between,
// 2 a bar.warp.sync, 3 a shuffle.
.visible .entry pair(.param .u32 a, .param .u32 ka, .param .u32 b, .param .u32 kb,
                     .param .u32 sync, .param .u32 offset_a, .param .u32 offset_b) {
  .reg .b32 %r<16>; .reg .pred %p<8>;
  .shared .align 4 .b8 s[64];
  ld.param.u32 %r1, [a];
  ld.param.u32 %r2, [ka];
  ld.param.u32 %r3, [b];
  ld.param.u32 %r4, [kb];
  ld.param.u32 %r5, [sync];
  ld.param.u32 %r6, [offset_a];
  ld.param.u32 %r7, [offset_b];
  mov.u32 %r8, %tid.x;
  mov.u32 %r9, s;
  setp.eq.u32 %p1, %r8, %r1;
  setp.eq.u32 %p2, %r8, %r3;
  setp.ne.u32 %p3, %r2, 0;
  setp.ne.u32 %p4, %r4, 0;
  add.s32 %r10, %r9, %r6;
  add.s32 %r11, %r9, %r7;
  and.pred %p5, %p1, %p3;
  @%p5 st.shared.u16 [%r10], %r8;
  not.pred %p6, %p3;
  and.pred %p5, %p1, %p6;
  @%p5 ld.shared.u16 %r12, [%r10];
  setp.eq.u32 %p7, %r5, 1;
  @%p7 bar.sync 0;
  setp.eq.u32 %p7, %r5, 2;
  @%p7 bar.warp.sync -1;
  setp.eq.u32 %p7, %r5, 3;
  @%p7 shfl.sync.idx.b32 %r13, %r8, 0, 31, -1;
  and.pred %p5, %p2, %p4;
  @%p5 st.shared.u16 [%r11], %r8;
  not.pred %p6, %p4;
  and.pred %p5, %p2, %p6;
  @%p5 ld.shared.u16 %r12, [%r11];
  ret;
}

// Every lane stores to the same word at once.
.visible .entry same_word() {
  .reg .b32 %r<3>;
  .shared .align 4 .b8 s[4];
  mov.u32 %r1, %tid.x;
  mov.u32 %r2, s;
  st.shared.u32 [%r2], %r1;
  ret;
}
)";

TEST(RaceCheck, ConflictingAccessesBetweenTheSameBarriers) {
  Device dev;
  ASSERT_NE(dev.load(ptx_module(kRace)), nullptr);
  enum { R = 0, W = 1 };
  const struct {
    const char* what;
    uint32_t a, ka, b, kb, sync, offset_a, offset_b;
    bool race;
  } cases[] = {
      {"write then write, two warps", 0, W, 32, W, 0, 0, 0, true},
      {"write then read, two warps", 0, W, 33, R, 0, 0, 0, true},
      {"read then write, two warps", 1, R, 40, W, 0, 0, 0, true},
      {"read then read", 0, R, 32, R, 0, 0, 0, false},
      {"write, barrier, read", 0, W, 32, R, 1, 0, 0, false},
      {"write, barrier, write", 5, W, 63, W, 1, 0, 0, false},
      {"other words", 0, W, 32, W, 0, 0, 4, false},
      {"same word, other half", 0, W, 32, W, 0, 0, 2, false},
      {"overlapping halves", 0, W, 32, R, 0, 2, 2, true},
      {"same thread", 7, W, 7, R, 0, 0, 0, false},
      {"lanes of a warp, unsynchronised", 0, W, 1, R, 0, 0, 0, true},
      {"lanes of a warp, bar.warp.sync", 0, W, 1, R, 2, 0, 0, false},
      {"lanes of a warp, shuffle", 3, R, 9, W, 3, 0, 0, false},
      {"warp-synchronous point does not order warps", 0, W, 32, R, 2, 0, 0, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    for (bool check : {true, false}) {
      dev.options.racecheck = check;
      const ExecResult r = dev.launch("pair", {1, 1, 1}, {64, 1, 1},
                                      {Arg::u32(c.a), Arg::u32(c.ka), Arg::u32(c.b), Arg::u32(c.kb),
                                       Arg::u32(c.sync), Arg::u32(c.offset_a), Arg::u32(c.offset_b)});
      if (!check || !c.race) {
        EXPECT_EQ(r.result, 0) << r.message;
        continue;
      }
      EXPECT_EQ(r.result, 719);
      // Both threads are named; the fault is the second access.
      EXPECT_NE(r.message.find("thread (" + std::to_string(c.a) + ",0,0) " + (c.ka ? "wrote" : "read")),
                std::string::npos) << r.message;
      EXPECT_NE(r.message.find("thread (" + std::to_string(c.b) + ",0,0) " + (c.kb ? "writes" : "reads")),
                std::string::npos) << r.message;
      EXPECT_EQ(r.thread[0], c.b);
    }
  }
  dev.options.racecheck = true;
  const ExecResult r = dev.launch("same_word", {1, 1, 1}, {32, 1, 1}, {});
  EXPECT_EQ(r.result, 719) << "lanes storing to one word in one instruction race";
  EXPECT_EQ(r.thread[0], 1u);
}

}  // namespace
}  // namespace tvnsim::test
