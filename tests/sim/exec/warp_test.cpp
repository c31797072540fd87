// Warp collectives: shuffles, votes, ldmatrix and mma fragment layouts as
// the PTX ISA defines them, and the faults of collectives run by a diverged
// warp.
#include <gtest/gtest.h>

#include <cmath>

#include "harness.h"

namespace tvnsim::test {
namespace {

const char* kWarp = R"(
// out[mode][lane] = shfl.mode(lane * 10 + 1, b[lane], c); pred[mode] = ballot of the
// shuffle predicates.
.visible .entry shuffles(.param .u64 out, .param .u64 bs, .param .u32 c) {
  .reg .b32 %r<12>; .reg .b64 %rd<8>; .reg .pred %p<5>;
  ld.param.u64 %rd1, [out];
  ld.param.u64 %rd2, [bs];
  ld.param.u32 %r1, [c];
  mov.u32 %r2, %laneid;
  mad.lo.s32 %r3, %r2, 10, 1;
  mul.wide.u32 %rd3, %r2, 4;
  add.s64 %rd4, %rd2, %rd3;
  ld.global.u32 %r4, [%rd4];
  shfl.sync.up.b32 %r5|%p1, %r3, %r4, %r1, -1;
  shfl.sync.down.b32 %r6|%p2, %r3, %r4, %r1, -1;
  shfl.sync.bfly.b32 %r7|%p3, %r3, %r4, %r1, -1;
  shfl.sync.idx.b32 %r8|%p4, %r3, %r4, %r1, -1;
  add.s64 %rd5, %rd1, %rd3;
  st.global.u32 [%rd5], %r5;
  st.global.u32 [%rd5+128], %r6;
  st.global.u32 [%rd5+256], %r7;
  st.global.u32 [%rd5+384], %r8;
  vote.sync.ballot.b32 %r9, %p1, -1;
  vote.sync.ballot.b32 %r10, %p2, -1;
  vote.sync.ballot.b32 %r11, %p3, -1;
  st.global.v4.u32 [%rd1+512], {%r9, %r10, %r11, %r9};
  vote.sync.ballot.b32 %r9, %p4, -1;
  st.global.u32 [%rd1+524], %r9;
  ret;
}

// Lanes below `active` run a shuffle and votes with member mask `mask`,
// reading lane `src`.
.visible .entry partial(.param .u64 out, .param .u32 active, .param .u32 mask, .param .u32 src) {
  .reg .b32 %r<12>; .reg .b64 %rd<4>; .reg .pred %p<6>;
  ld.param.u64 %rd1, [out];
  ld.param.u32 %r1, [active];
  ld.param.u32 %r2, [mask];
  ld.param.u32 %r3, [src];
  mov.u32 %r4, %laneid;
  setp.ge.u32 %p1, %r4, %r1;
  @%p1 bra $END;
  shfl.sync.idx.b32 %r5, %r4, %r3, 31, %r2;
  and.b32 %r6, %r4, 1;
  setp.eq.u32 %p2, %r6, 0;
  vote.sync.ballot.b32 %r7, %p2, %r2;
  vote.sync.any.pred %p3, %p2, %r2;
  vote.sync.all.pred %p4, %p2, %r2;
  vote.sync.uni.pred %p5, !%p1, %r2;
  selp.b32 %r8, 1, 0, %p3;
  selp.b32 %r9, 2, 0, %p4;
  selp.b32 %r10, 4, 0, %p5;
  or.b32 %r8, %r8, %r9;
  or.b32 %r8, %r8, %r10;
  activemask.b32 %r11;
  mul.wide.u32 %rd2, %r4, 16;
  add.s64 %rd3, %rd1, %rd2;
  st.global.v4.u32 [%rd3], {%r5, %r7, %r8, %r11};
$END:
  ret;
}

// Four 8x8 matrices of u16 in shared memory, matrix m row r column c holding
// m * 256 + r * 16 + c; rows are 16 bytes apart within a matrix except that
// row r sits at slot perm[r] so that row addresses are not consecutive.
// Lane l supplies the address of row l % 8 of matrix l / 8.
.visible .entry ldm(.param .u64 out, .param .u32 lanes_active) {
  .reg .b32 %r<40>; .reg .b64 %rd<8>; .reg .pred %p<3>;
  .shared .align 16 .b8 mats[512];
  ld.param.u64 %rd1, [out];
  ld.param.u32 %r30, [lanes_active];
  mov.u32 %r1, %laneid;
  // fill: lane l writes rows of matrix l / 8, row l % 8 at slot (l % 8) ^ 5
  shr.u32 %r2, %r1, 3;
  and.b32 %r3, %r1, 7;
  xor.b32 %r4, %r3, 5;
  shl.b32 %r5, %r2, 7;
  shl.b32 %r6, %r4, 4;
  add.s32 %r7, %r5, %r6;
  mov.u32 %r8, mats;
  add.s32 %r9, %r8, %r7;
  shl.b32 %r10, %r2, 8;
  shl.b32 %r11, %r3, 4;
  add.s32 %r12, %r10, %r11;
  add.s32 %r13, %r12, 1;
  add.s32 %r14, %r12, 2;
  add.s32 %r15, %r12, 3;
  shl.b32 %r16, %r13, 16;
  or.b32 %r17, %r12, %r16;
  shl.b32 %r16, %r15, 16;
  or.b32 %r18, %r14, %r16;
  add.s32 %r19, %r17, 0x00040004;
  add.s32 %r20, %r18, 0x00040004;
  st.shared.v4.u32 [%r9], {%r17, %r18, %r19, %r20};
  bar.warp.sync -1;
  setp.ge.u32 %p1, %r1, %r30;
  @%p1 bra $SKIP;
  ldmatrix.sync.aligned.m8n8.x4.shared.b16 {%r21, %r22, %r23, %r24}, [%r9];
  ldmatrix.sync.aligned.m8n8.x4.trans.shared.b16 {%r25, %r26, %r27, %r28}, [%r9];
  ldmatrix.sync.aligned.m8n8.x2.shared.b16 {%r31, %r32}, [%r9];
  ldmatrix.sync.aligned.m8n8.x1.trans.shared.b16 {%r33}, [%r9];
  mul.wide.u32 %rd2, %r1, 48;
  add.s64 %rd3, %rd1, %rd2;
  st.global.v4.u32 [%rd3], {%r21, %r22, %r23, %r24};
  st.global.v4.u32 [%rd3+16], {%r25, %r26, %r27, %r28};
  st.global.v4.u32 [%rd3+32], {%r31, %r32, %r33, %r33};
$SKIP:
  ret;
}

// A (16x16) and B (16x8, row k holds column n at k * 8 + n) as bf16 in
// global memory, staged row-major in shared and loaded with ldmatrix: .x4
// for A, .x2.trans for B; C = 0.
.visible .entry mma_via_ldmatrix(.param .u64 out, .param .u64 a, .param .u64 b) {
  .reg .b32 %r<24>; .reg .f32 %f<8>; .reg .b64 %rd<12>; .reg .pred %p<2>;
  .shared .align 16 .b8 sa[512];
  .shared .align 16 .b8 sb[256];
  ld.param.u64 %rd1, [out];
  ld.param.u64 %rd2, [a];
  ld.param.u64 %rd3, [b];
  mov.u32 %r1, %laneid;
  mul.wide.u32 %rd4, %r1, 16;
  add.s64 %rd5, %rd2, %rd4;
  ld.global.v4.u32 {%r2, %r3, %r4, %r5}, [%rd5];
  cvt.u32.u64 %r6, %rd4;
  mov.u32 %r7, sa;
  add.s32 %r8, %r7, %r6;
  st.shared.v4.u32 [%r8], {%r2, %r3, %r4, %r5};
  and.b32 %r9, %r1, 15;
  mul.wide.u32 %rd6, %r9, 16;
  add.s64 %rd7, %rd3, %rd6;
  ld.global.v4.u32 {%r2, %r3, %r4, %r5}, [%rd7];
  cvt.u32.u64 %r10, %rd6;
  mov.u32 %r11, sb;
  add.s32 %r12, %r11, %r10;
  setp.lt.u32 %p1, %r1, 16;
  @%p1 st.shared.v4.u32 [%r12], {%r2, %r3, %r4, %r5};
  bar.warp.sync -1;
  // A: lane l -> row (l % 16), column 8 * (l / 16): matrices (rows 0-7, cols 0-7),
  // (rows 8-15, cols 0-7), (rows 0-7, cols 8-15), (rows 8-15, cols 8-15)
  shr.u32 %r13, %r1, 4;
  shl.b32 %r14, %r9, 5;
  shl.b32 %r15, %r13, 4;
  add.s32 %r16, %r14, %r15;
  add.s32 %r16, %r7, %r16;
  ldmatrix.sync.aligned.m8n8.x4.shared.b16 {%r17, %r18, %r19, %r20}, [%r16];
  // B: lane l < 16 -> row k = l of the 16x8 tile
  add.s32 %r21, %r11, %r10;
  ldmatrix.sync.aligned.m8n8.x2.trans.shared.b16 {%r22, %r23}, [%r21];
  mov.f32 %f1, 0f00000000;
  mma.sync.aligned.m16n8k16.row.col.f32.bf16.bf16.f32 {%f2, %f3, %f4, %f5}, {%r17, %r18, %r19, %r20}, {%r22, %r23}, {%f1, %f1, %f1, %f1};
  mul.wide.u32 %rd8, %r1, 16;
  add.s64 %rd9, %rd1, %rd8;
  st.global.v4.f32 [%rd9], {%f2, %f3, %f4, %f5};
  ret;
}

// mma with lane 5 predicated off.
.visible .entry mma_diverged() {
  .reg .b32 %r<4>; .reg .f32 %f<4>; .reg .pred %p<2>;
  mov.u32 %r1, %laneid;
  setp.ne.u32 %p1, %r1, 5;
  mov.b32 %r2, 0;
  mov.f32 %f1, 0f00000000;
  @%p1 mma.sync.aligned.m16n8k16.row.col.f32.bf16.bf16.f32 {%f1, %f1, %f1, %f1}, {%r2, %r2, %r2, %r2}, {%r2, %r2}, {%f1, %f1, %f1, %f1};
  ret;
}
)";

// D = A * B + C with fragments loaded straight from global memory:
// frags[lane] = a0..a3, b0, b1, (2 unused), c0..c3 (12 words); d0..d3 stored
// likewise.  `d` names the destination registers: the accumulator itself
// (in place) or others.
std::string mma_kernel(const std::string& name, const std::string& type, const std::string& d) {
  return ".visible .entry " + name + R"((.param .u64 out, .param .u64 frags) {
  .reg .b32 %r<8>; .reg .f32 %f<12>; .reg .b64 %rd<8>;
  ld.param.u64 %rd1, [out];
  ld.param.u64 %rd2, [frags];
  mov.u32 %r7, %laneid;
  mul.wide.u32 %rd3, %r7, 48;
  add.s64 %rd4, %rd2, %rd3;
  ld.global.v4.u32 {%r1, %r2, %r3, %r4}, [%rd4];
  ld.global.v2.u32 {%r5, %r6}, [%rd4+16];
  ld.global.v4.f32 {%f1, %f2, %f3, %f4}, [%rd4+32];
  mma.sync.aligned.m16n8k16.row.col.f32.)" + type + "." + type + ".f32 " + d +
         R"(, {%r1, %r2, %r3, %r4}, {%r5, %r6}, {%f1, %f2, %f3, %f4};
  mul.wide.u32 %rd5, %r7, 16;
  add.s64 %rd6, %rd1, %rd5;
  st.global.v4.f32 [%rd6], )" + d + R"(;
  ret;
}
)";
}

class Warp : public ::testing::Test {
 protected:
  Device dev;
  void SetUp() override {
    const std::string kernels = std::string(kWarp) +
                                mma_kernel("mma_bf16", "bf16", "{%f1, %f2, %f3, %f4}") +
                                mma_kernel("mma_f16", "f16", "{%f5, %f6, %f7, %f8}");
    ASSERT_NE(dev.load(ptx_module(kernels)), nullptr);
  }
};

uint16_t bf16(float v) { return static_cast<uint16_t>(std::bit_cast<uint32_t>(v) >> 16); }

TEST_F(Warp, ShufflesInEveryModeWithSegments) {
  struct Setup {
    const char* what;
    uint32_t c;
    int width;  // segment width the c operand describes
  };
  for (const Setup& s : {Setup{"whole warp", 0x1F, 32}, Setup{"segments of 8", 0x181F, 8}}) {
    SCOPED_TRACE(s.what);
    // Varied deltas and sources; within a segment of 8 the butterfly partner
    // stays inside it (PTX bounds only the upper end).
    std::vector<uint32_t> b(32);
    for (uint32_t l = 0; l < 32; ++l) b[l] = (l * 7 + 3) % (s.width == 32 ? 11 : 8);
    const uint64_t bs = dev.upload(b), out = dev.alloc(528);
    // up uses c with the clamp field 0 (as __shfl_up_sync does).
    const uint32_t c = s.c;
    ExecResult r = dev.launch("shuffles", {1, 1, 1}, {32, 1, 1}, {Arg::u64(out), Arg::u64(bs), Arg::u32(c)});
    ASSERT_EQ(r.result, 0) << r.message;
    const auto v = dev.download<uint32_t>(out, 132);
    const uint32_t w = static_cast<uint32_t>(s.width);
    uint32_t ballot_down = 0, ballot_bfly = 0, ballot_idx = 0;
    for (uint32_t l = 0; l < 32; ++l) {
      SCOPED_TRACE(l);
      const uint32_t seg = l / w * w, delta = b[l] % 32;
      auto value = [](uint32_t lane) { return lane * 10 + 1; };
      // down: lanes past the end of the segment keep their own value
      const bool down_ok = l + delta < seg + w;
      EXPECT_EQ(v[32 + l], value(down_ok ? l + delta : l));
      ballot_down |= uint32_t{down_ok} << l;
      // bfly: the partner must lie within the segment
      const uint32_t partner = l ^ delta;
      const bool bfly_ok = partner / w == l / w;
      EXPECT_EQ(v[64 + l], value(bfly_ok ? partner : l));
      ballot_bfly |= uint32_t{bfly_ok} << l;
      // idx: source lane within the segment
      const uint32_t src = seg + delta % w;
      const bool idx_ok = delta < w || w == 32;
      EXPECT_EQ(v[96 + l], value(idx_ok ? src : l)) << "delta " << delta;
      ballot_idx |= uint32_t{idx_ok} << l;
    }
    EXPECT_EQ(v[129], ballot_down);
    EXPECT_EQ(v[130], ballot_bfly);
    EXPECT_EQ(v[131], ballot_idx);
    if (s.width == 32) {
      // up with c = 31 clamps every lane to itself; see the next case for 0.
      for (uint32_t l = 0; l < 32; ++l) EXPECT_EQ(v[l], l * 10 + 1);
    }
  }
  // shfl.up with c = 0: lanes below delta keep their own value.
  std::vector<uint32_t> b(32, 3);
  const uint64_t bs = dev.upload(b), out = dev.alloc(528);
  ASSERT_EQ(dev.launch("shuffles", {1, 1, 1}, {32, 1, 1}, {Arg::u64(out), Arg::u64(bs), Arg::u32(0)}).result, 0);
  const auto v = dev.download<uint32_t>(out, 132);
  for (uint32_t l = 0; l < 32; ++l) EXPECT_EQ(v[l], (l < 3 ? l : l - 3) * 10 + 1) << l;
  EXPECT_EQ(v[128], 0xFFFFFFF8u);
}

TEST_F(Warp, PartialMemberMasksAndVotes) {
  const uint64_t out = dev.alloc(32 * 16);
  ExecResult r = dev.launch("partial", {1, 1, 1}, {32, 1, 1},
                            {Arg::u64(out), Arg::u32(12), Arg::u32(0x0FFF), Arg::u32(7)});
  ASSERT_EQ(r.result, 0) << r.message;
  const auto v = dev.download<uint32_t>(out, 12 * 4);
  for (uint32_t l = 0; l < 12; ++l) {
    SCOPED_TRACE(l);
    EXPECT_EQ(v[4 * l], 7u);                // value of lane 7
    EXPECT_EQ(v[4 * l + 1], 0x0555u);       // even lanes among 0..11
    EXPECT_EQ(v[4 * l + 2], 1u | 4u);       // any, not all, uniform
    EXPECT_EQ(v[4 * l + 3], 0x0FFFu);       // activemask
  }
  struct Bad {
    const char* what;
    uint32_t active, mask, src;
    int lane;  // reported thread
  };
  for (const Bad& b : {Bad{"mask names idle lanes", 12, 0xFFFFFFFF, 0, 0},
                       Bad{"source outside the mask", 12, 0x0FFF, 20, 0}}) {
    SCOPED_TRACE(b.what);
    r = dev.launch("partial", {1, 1, 1}, {32, 1, 1},
                   {Arg::u64(out), Arg::u32(b.active), Arg::u32(b.mask), Arg::u32(b.src)});
    EXPECT_EQ(r.result, 719);
    EXPECT_EQ(r.thread[0], static_cast<uint32_t>(b.lane));
    EXPECT_NE(r.instruction.find("shfl.sync.idx"), std::string::npos) << r.instruction;
  }
}

TEST_F(Warp, LdmatrixLayoutsAsThePtxIsaDefines) {
  const uint64_t out = dev.alloc(32 * 48);
  ExecResult r = dev.launch("ldm", {1, 1, 1}, {32, 1, 1}, {Arg::u64(out), Arg::u32(32)});
  ASSERT_EQ(r.result, 0) << r.message;
  const auto v = dev.download<uint32_t>(out, 32 * 12);
  auto elem = [](uint32_t m, uint32_t row, uint32_t col) { return m * 256 + row * 16 + col; };
  auto pair = [](uint32_t lo, uint32_t hi) { return lo | (hi << 16); };
  for (uint32_t t = 0; t < 32; ++t) {
    SCOPED_TRACE(t);
    const uint32_t row = t / 4, col = 2 * (t % 4);
    for (uint32_t m = 0; m < 4; ++m) {
      // lane t: row t/4, columns 2(t%4), 2(t%4)+1
      EXPECT_EQ(v[12 * t + m], pair(elem(m, row, col), elem(m, row, col + 1))) << "x4 matrix " << m;
      // .trans: rows 2(t%4), 2(t%4)+1 of column t/4
      EXPECT_EQ(v[12 * t + 4 + m], pair(elem(m, col, row), elem(m, col + 1, row))) << "x4.trans " << m;
    }
    EXPECT_EQ(v[12 * t + 8], pair(elem(0, row, col), elem(0, row, col + 1)));
    EXPECT_EQ(v[12 * t + 9], pair(elem(1, row, col), elem(1, row, col + 1)));
    EXPECT_EQ(v[12 * t + 10], pair(elem(0, col, row), elem(0, col + 1, row)));
  }
  r = dev.launch("ldm", {1, 1, 1}, {32, 1, 1}, {Arg::u64(out), Arg::u32(31)});
  EXPECT_EQ(r.result, 719);
  EXPECT_NE(r.message.find("diverged"), std::string::npos) << r.message;
}

// Fragments of A (16x16), B (16x8) and C (16x8) per lane, from the PTX ISA
// layout of m16n8k16: lane L, g = L / 4, t = L % 4.
struct Fragments {
  std::vector<uint32_t> words;  // 12 words per lane: a0..a3, b0, b1, unused, c0..c3
};

Fragments pack(const float a[16][16], const float b[16][8], const float c[16][8],
               uint16_t (*to16)(float)) {
  Fragments f;
  f.words.resize(32 * 12);
  for (int lane = 0; lane < 32; ++lane) {
    const int g = lane / 4, t = lane % 4;
    uint32_t* w = &f.words[static_cast<size_t>(lane) * 12];
    for (int i = 0; i < 8; ++i) {
      const int row = g + 8 * ((i / 2) % 2), col = 2 * t + i % 2 + 8 * (i >= 4);
      w[i / 2] |= uint32_t{to16(a[row][col])} << (16 * (i % 2));
    }
    for (int i = 0; i < 4; ++i) {
      const int k = 2 * t + i % 2 + 8 * (i >= 2);
      w[4 + i / 2] |= uint32_t{to16(b[k][g])} << (16 * (i % 2));
    }
    for (int i = 0; i < 4; ++i) {
      w[8 + i] = std::bit_cast<uint32_t>(c[g + 8 * (i >= 2)][2 * t + i % 2]);
    }
  }
  return f;
}

uint16_t half_bits(float v) {
  // Small integers and halves: exact in f16.
  const _Float16 h = static_cast<_Float16>(v);
  return std::bit_cast<uint16_t>(h);
}

TEST_F(Warp, MmaFragmentLayoutsGiveTheMatrixProduct) {
  // Small integers: every model computes them exactly.
  float a[16][16], b[16][8], c[16][8];
  for (int i = 0; i < 16; ++i) {
    for (int k = 0; k < 16; ++k) a[i][k] = static_cast<float>((i * 3 + k * 5) % 9 - 4);
  }
  for (int k = 0; k < 16; ++k) {
    for (int j = 0; j < 8; ++j) b[k][j] = static_cast<float>((k * 7 + j * 2) % 7 - 3);
  }
  for (int i = 0; i < 16; ++i) {
    for (int j = 0; j < 8; ++j) c[i][j] = static_cast<float>(i * 8 + j) * 0.5f;
  }
  const struct {
    const char* entry;
    uint16_t (*to16)(float);
  } kinds[] = {{"mma_bf16", bf16}, {"mma_f16", half_bits}};
  for (const auto& k : kinds) {
    SCOPED_TRACE(k.entry);
    const Fragments f = pack(a, b, c, k.to16);
    const uint64_t frags = dev.upload(f.words), out = dev.alloc(32 * 16);
    ExecResult r = dev.launch(k.entry, {1, 1, 1}, {32, 1, 1}, {Arg::u64(out), Arg::u64(frags)});
    ASSERT_EQ(r.result, 0) << r.message;
    const auto d = dev.download<float>(out, 128);
    for (int lane = 0; lane < 32; ++lane) {
      const int g = lane / 4, t = lane % 4;
      for (int i = 0; i < 4; ++i) {
        const int row = g + 8 * (i >= 2), col = 2 * t + i % 2;
        double want = c[row][col];
        for (int kk = 0; kk < 16; ++kk) want += static_cast<double>(a[row][kk]) * b[kk][col];
        EXPECT_EQ(d[static_cast<size_t>(lane) * 4 + i], static_cast<float>(want))
            << "row " << row << " col " << col;
      }
    }
  }
}

TEST_F(Warp, LdmatrixFeedsMmaFragmentsDirectly) {
  std::vector<uint16_t> a(256), b(128);
  float fa[16][16], fb[16][8];
  for (int i = 0; i < 16; ++i) {
    for (int k = 0; k < 16; ++k) {
      fa[i][k] = static_cast<float>((i + 2 * k) % 5 - 2);
      a[static_cast<size_t>(i) * 16 + k] = bf16(fa[i][k]);
    }
  }
  for (int k = 0; k < 16; ++k) {
    for (int j = 0; j < 8; ++j) {
      fb[k][j] = static_cast<float>((3 * k + j) % 4 - 1);
      b[static_cast<size_t>(k) * 8 + j] = bf16(fb[k][j]);
    }
  }
  const uint64_t da = dev.upload(a), db = dev.upload(b), out = dev.alloc(32 * 16);
  ExecResult r = dev.launch("mma_via_ldmatrix", {1, 1, 1}, {32, 1, 1}, {Arg::u64(out), Arg::u64(da), Arg::u64(db)});
  ASSERT_EQ(r.result, 0) << r.message;
  const auto d = dev.download<float>(out, 128);
  for (int lane = 0; lane < 32; ++lane) {
    const int g = lane / 4, t = lane % 4;
    for (int i = 0; i < 4; ++i) {
      const int row = g + 8 * (i >= 2), col = 2 * t + i % 2;
      float want = 0;
      for (int k = 0; k < 16; ++k) want += fa[row][k] * fb[k][col];
      EXPECT_EQ(d[static_cast<size_t>(lane) * 4 + i], want) << "row " << row << " col " << col;
    }
  }
}

TEST_F(Warp, MmaModelFollowsTheSimulatedComputeCapability) {
  // C = 1 and two products of 2^-24, at k = 0 and k = 8.  Adding in two
  // truncated steps of 8 (Ampere) loses both; one step of 16 on a finer grid
  // (Hopper) keeps their sum, 2^-23.
  float a[16][16] = {}, b[16][8] = {}, c[16][8] = {};
  const float tiny = std::ldexp(1.0f, -12);
  a[0][0] = a[0][8] = tiny;
  b[0][0] = b[8][0] = tiny;
  c[0][0] = 1.0f;
  const Fragments f = pack(a, b, c, bf16);
  const uint64_t frags = dev.upload(f.words), out = dev.alloc(32 * 16);
  for (const auto& [major, want] : {std::pair{8, 1.0f}, std::pair{9, 1.0f + std::ldexp(1.0f, -23)},
                                    std::pair{12, 1.0f + std::ldexp(1.0f, -23)}}) {
    SCOPED_TRACE(major);
    dev.options.cc_major = major;
    ASSERT_EQ(dev.launch("mma_bf16", {1, 1, 1}, {32, 1, 1}, {Arg::u64(out), Arg::u64(frags)}).result, 0);
    EXPECT_EQ(dev.download<float>(out, 1)[0], want);
  }
}

TEST_F(Warp, MmaByADivergedWarpIsAFault) {
  const ExecResult r = dev.launch("mma_diverged", {1, 1, 1}, {32, 1, 1}, {});
  EXPECT_EQ(r.result, 719);
  EXPECT_NE(r.message.find("mma.sync"), std::string::npos) << r.message;
}

}  // namespace
}  // namespace tvnsim::test
