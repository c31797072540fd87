// The SIMT model: divergence and reconvergence, loops, exits, block
// barriers, instruction counts and blocks spread over host threads.
#include <gtest/gtest.h>

#include "harness.h"

namespace tvnsim::test {
namespace {

// out[tid] = odd ? 3 * tid : tid + 100, then (converged again) a ballot of
// "tid is odd", which faults unless the warp has reconverged.
const char* kIfElse = R"(
.visible .entry ifelse(.param .u64 out, .param .u64 ballots) {
  .reg .b32 %r<8>; .reg .b64 %rd<8>; .reg .pred %p<3>;
  ld.param.u64 %rd1, [out];
  ld.param.u64 %rd2, [ballots];
  mov.u32 %r1, %tid.x;
  and.b32 %r2, %r1, 1;
  setp.eq.s32 %p1, %r2, 0;
  @%p1 bra $EVEN;
  mul.lo.s32 %r3, %r1, 3;
  bra.uni $JOIN;
$EVEN:
  add.s32 %r3, %r1, 100;
$JOIN:
  mul.wide.u32 %rd3, %r1, 4;
  add.s64 %rd4, %rd1, %rd3;
  st.global.u32 [%rd4], %r3;
  vote.sync.ballot.b32 %r4, %p1, -1;
  shr.u32 %r5, %r1, 5;
  mul.wide.u32 %rd5, %r5, 4;
  add.s64 %rd6, %rd2, %rd5;
  st.global.u32 [%rd6], %r4;
  ret;
}

// Each thread loops tid % 7 times, then the warp must be converged for a
// shuffle that sums the trip counts of lanes t and t ^ 1.
.visible .entry loop(.param .u64 out) {
  .reg .b32 %r<10>; .reg .b64 %rd<5>; .reg .pred %p<3>;
  ld.param.u64 %rd1, [out];
  mov.u32 %r1, %tid.x;
  rem.u32 %r2, %r1, 7;
  mov.u32 %r3, 0;
  mov.u32 %r4, 0;
  setp.eq.u32 %p1, %r2, 0;
  @%p1 bra $DONE;
$TOP:
  add.s32 %r3, %r3, 1;
  add.s32 %r4, %r4, %r1;
  setp.lt.u32 %p2, %r3, %r2;
  @%p2 bra $TOP;
$DONE:
  shfl.sync.bfly.b32 %r5, %r3, 1, 31, -1;
  add.s32 %r6, %r5, %r3;
  mul.wide.u32 %rd2, %r1, 8;
  add.s64 %rd3, %rd1, %rd2;
  st.global.v2.u32 [%rd3], {%r6, %r4};
  ret;
}

// Threads at or past n leave early; the rest meet at a barrier, which counts
// only threads that have not exited.
.visible .entry early_exit(.param .u64 out, .param .u32 n) {
  .reg .b32 %r<8>; .reg .b64 %rd<6>; .reg .pred %p<2>;
  .shared .align 4 .b8 buf[512];
  ld.param.u64 %rd1, [out];
  ld.param.u32 %r1, [n];
  mov.u32 %r2, %tid.x;
  setp.ge.u32 %p1, %r2, %r1;
  @%p1 bra $OUT;
  shl.b32 %r3, %r2, 2;
  mov.u32 %r4, buf;
  add.s32 %r5, %r4, %r3;
  st.shared.u32 [%r5], %r2;
  bar.sync 0;
  sub.s32 %r6, %r1, 1;
  sub.s32 %r6, %r6, %r2;
  shl.b32 %r6, %r6, 2;
  add.s32 %r6, %r4, %r6;
  ld.shared.u32 %r7, [%r6];
  mul.wide.u32 %rd2, %r2, 4;
  add.s64 %rd3, %rd1, %rd2;
  st.global.u32 [%rd3], %r7;
$OUT:
  ret;
}

// Half of each warp waits at one barrier instruction, the other half at
// another; and a barrier that some lanes skip by predication.
.visible .entry diverged_barrier() {
  .reg .b32 %r<3>; .reg .pred %p<2>;
  mov.u32 %r1, %tid.x;
  setp.lt.u32 %p1, %r1, 16;
  @%p1 bra $SKIP;
  bar.sync 0;
$SKIP:
  bar.sync 0;
  ret;
}
.visible .entry predicated_barrier() {
  .reg .b32 %r<3>; .reg .pred %p<2>;
  mov.u32 %r1, %tid.x;
  setp.lt.u32 %p1, %r1, 16;
  @%p1 bar.sync 0;
  ret;
}

// Warp 0 waits at barrier 1, warp 1 at barrier 2: neither can complete.
.visible .entry deadlock() {
  .reg .b32 %r<3>; .reg .pred %p<2>;
  mov.u32 %r1, %tid.x;
  setp.lt.u32 %p1, %r1, 32;
  @%p1 bra $A;
  bar.sync 2;
  ret;
$A:
  bar.sync 1;
  ret;
}

// Warps 0 and 1 meet at barrier 1 counted for 64 threads while warp 2 keeps
// running and exits on its own.
.visible .entry counted(.param .u64 out) {
  .reg .b32 %r<8>; .reg .b64 %rd<4>; .reg .pred %p<2>;
  .shared .align 4 .b8 buf[256];
  ld.param.u64 %rd1, [out];
  mov.u32 %r1, %tid.x;
  setp.ge.u32 %p1, %r1, 64;
  @%p1 bra $OTHER;
  shl.b32 %r2, %r1, 2;
  mov.u32 %r3, buf;
  add.s32 %r4, %r3, %r2;
  st.shared.u32 [%r4], %r1;
  bar.sync 1, 64;
  xor.b32 %r5, %r2, 128;
  add.s32 %r5, %r3, %r5;
  ld.shared.u32 %r6, [%r5];
  mul.wide.u32 %rd2, %r1, 4;
  add.s64 %rd3, %rd1, %rd2;
  st.global.u32 [%rd3], %r6;
  ret;
$OTHER:
  mul.wide.u32 %rd2, %r1, 4;
  add.s64 %rd3, %rd1, %rd2;
  st.global.u32 [%rd3], 7;
  ret;
}

// Warp 0 spins until warp 1 raises a flag in shared memory.
.visible .entry spin(.param .u64 out) {
  .reg .b32 %r<6>; .reg .b64 %rd<2>; .reg .pred %p<3>;
  .shared .align 4 .b8 flag[4];
  ld.param.u64 %rd1, [out];
  mov.u32 %r1, %tid.x;
  mov.u32 %r2, flag;
  setp.ge.u32 %p1, %r1, 32;
  @%p1 bra $RAISE;
  mov.u32 %r4, 0;
$WAIT:
  add.s32 %r4, %r4, 1;
  ld.volatile.shared.u32 %r3, [%r2];
  setp.ne.u32 %p2, %r3, 1;
  @%p2 bra $WAIT;
  setp.eq.u32 %p2, %r1, 0;
  @%p2 st.global.u32 [%rd1], %r4;
  ret;
$RAISE:
  setp.eq.u32 %p2, %r1, 32;
  @%p2 st.volatile.shared.u32 [%r2], 1;
  ret;
}

// Every thread of every block writes its global index; block b faults when
// b >= bad (an access far outside any allocation).
.visible .entry grid(.param .u64 out, .param .u32 bad) {
  .reg .b32 %r<8>; .reg .b64 %rd<6>; .reg .pred %p<2>;
  ld.param.u64 %rd1, [out];
  ld.param.u32 %r1, [bad];
  mov.u32 %r2, %ctaid.x;
  mov.u32 %r3, %ntid.x;
  mov.u32 %r4, %tid.x;
  mad.lo.s32 %r5, %r2, %r3, %r4;
  mul.wide.u32 %rd2, %r5, 4;
  add.s64 %rd3, %rd1, %rd2;
  setp.ge.u32 %p1, %r2, %r1;
  @%p1 add.s64 %rd3, %rd3, 0x100000000;
  st.global.u32 [%rd3], %r5;
  ret;
}
)";

class Simt : public ::testing::Test {
 protected:
  Device dev;
  void SetUp() override { ASSERT_NE(dev.load(ptx_module(kIfElse)), nullptr); }
};

TEST_F(Simt, IfElseReconvergesBeforeAWarpCollective) {
  const uint64_t out = dev.alloc(64 * 4), ballots = dev.alloc(2 * 4);
  const ExecResult r = dev.launch("ifelse", {1, 1, 1}, {64, 1, 1}, {Arg::u64(out), Arg::u64(ballots)});
  ASSERT_EQ(r.result, 0) << r.message;
  const auto v = dev.download<uint32_t>(out, 64);
  for (uint32_t t = 0; t < 64; ++t) EXPECT_EQ(v[t], t % 2 ? 3 * t : t + 100) << t;
  const auto b = dev.download<uint32_t>(ballots, 2);
  EXPECT_EQ(b[0], 0x55555555u);  // even lanes
  EXPECT_EQ(b[1], 0x55555555u);
}

TEST_F(Simt, LoopsWithPerLaneTripCountsReconverge) {
  const uint64_t out = dev.alloc(32 * 8);
  const ExecResult r = dev.launch("loop", {1, 1, 1}, {32, 1, 1}, {Arg::u64(out)});
  ASSERT_EQ(r.result, 0) << r.message;
  const auto v = dev.download<uint32_t>(out, 64);
  for (uint32_t t = 0; t < 32; ++t) {
    EXPECT_EQ(v[2 * t], t % 7 + (t ^ 1) % 7) << t;
    EXPECT_EQ(v[2 * t + 1], (t % 7) * t) << t;
  }
}

TEST_F(Simt, BarriersCountOnlyThreadsThatHaveNotExited) {
  const uint64_t out = dev.alloc(128 * 4);
  const uint32_t n = 70;  // warp 2 partly exited, warp 3 entirely
  const ExecResult r = dev.launch("early_exit", {1, 1, 1}, {128, 1, 1}, {Arg::u64(out), Arg::u32(n)});
  ASSERT_EQ(r.result, 0) << r.message;
  const auto v = dev.download<uint32_t>(out, n);
  for (uint32_t t = 0; t < n; ++t) EXPECT_EQ(v[t], n - 1 - t) << t;
}

TEST_F(Simt, CountedBarrierWaitsForItsCountOnly) {
  const uint64_t out = dev.alloc(96 * 4);
  const ExecResult r = dev.launch("counted", {1, 1, 1}, {96, 1, 1}, {Arg::u64(out)});
  ASSERT_EQ(r.result, 0) << r.message;
  const auto v = dev.download<uint32_t>(out, 96);
  for (uint32_t t = 0; t < 64; ++t) EXPECT_EQ(v[t], t ^ 32) << t;
  for (uint32_t t = 64; t < 96; ++t) EXPECT_EQ(v[t], 7u) << t;
}

TEST_F(Simt, DivergedBarrierAndDeadlockAreFaults) {
  ExecResult r = dev.launch("diverged_barrier", {1, 1, 1}, {32, 1, 1}, {});
  EXPECT_EQ(r.result, 719);
  EXPECT_NE(r.message.find("diverged"), std::string::npos) << r.message;
  EXPECT_EQ(r.instruction, "bar.sync 0;");
  EXPECT_EQ(r.thread[0], 0u);  // the second group to arrive

  r = dev.launch("predicated_barrier", {1, 1, 1}, {32, 1, 1}, {});
  EXPECT_EQ(r.result, 719);
  EXPECT_EQ(r.instruction, "@%p1 bar.sync 0;");

  r = dev.launch("deadlock", {1, 1, 1}, {64, 1, 1}, {});
  EXPECT_EQ(r.result, 719);
  EXPECT_NE(r.message.find("deadlock"), std::string::npos) << r.message;
}

TEST_F(Simt, ASpinningWarpLetsTheOthersRun) {
  // Spinning on a flag without a barrier is a race; the check is off here.
  dev.options.racecheck = false;
  const uint64_t out = dev.alloc(4);
  const ExecResult r = dev.launch("spin", {1, 1, 1}, {64, 1, 1}, {Arg::u64(out)});
  ASSERT_EQ(r.result, 0) << r.message;
  EXPECT_GT(dev.download<uint32_t>(out, 1)[0], 1000u) << "warp 0 spun before warp 1 ran";
}

TEST_F(Simt, CountsThreadInstructions) {
  const uint64_t out = dev.alloc(64 * 4), ballots = dev.alloc(8);
  const ExecResult r = dev.launch("ifelse", {1, 1, 1}, {64, 1, 1}, {Arg::u64(out), Arg::u64(ballots)});
  ASSERT_EQ(r.result, 0);
  // 6 before the branch; the odd half runs 2 (mul, bra.uni), the even half 1
  // (add); 9 after the join, ret included: per warp 6*32 + 2*16 + 16 + 9*32.
  EXPECT_EQ(r.thread_instructions, 2u * (6 * 32 + 2 * 16 + 16 + 9 * 32));
}

TEST_F(Simt, BlocksOnSeveralHostThreadsGiveTheSameResultAndTheLowestFault) {
  const uint32_t blocks = 37, threads = 96;
  for (int host_threads : {1, 2, 4}) {
    SCOPED_TRACE(host_threads);
    dev.options.host_threads = host_threads;
    const uint64_t out = dev.alloc(blocks * threads * 4);
    ExecResult r = dev.launch("grid", {blocks, 1, 1}, {threads, 1, 1}, {Arg::u64(out), Arg::u32(blocks)});
    ASSERT_EQ(r.result, 0) << r.message;
    EXPECT_EQ(r.thread_instructions, uint64_t{blocks} * threads * 12);
    const auto v = dev.download<uint32_t>(out, blocks * threads);
    for (uint32_t i = 0; i < blocks * threads; ++i) ASSERT_EQ(v[i], i);

    r = dev.launch("grid", {blocks, 1, 1}, {threads, 1, 1}, {Arg::u64(out), Arg::u32(5)});
    EXPECT_EQ(r.result, 700);
    EXPECT_EQ(r.block[0], 5u);
    EXPECT_EQ(r.thread[0], 0u);
  }
}

}  // namespace
}  // namespace tvnsim::test
