// What every entry point checks before it enqueues anything: element
// alignment, 16-byte alignment for the kernels that move four f32 at a
// time, outputs overlapping inputs; and the refusal to create scratch while
// the engine stream is being captured.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "engine_fixture.h"

namespace tesvan::test {
namespace {

// Far apart: no operand of these shapes reaches the next.
constexpr uint64_t kSpan = uint64_t{1} << 36;
constexpr uint64_t kP0 = 1 * kSpan, kP1 = 2 * kSpan, kP2 = 3 * kSpan, kP3 = 4 * kSpan;

enum class Op { Forward, BackwardDx, BackwardDw };

// One entry point called with operands p[0..2] (the output first) and, for
// forward, the bias p[3]; f32 or bf16 (dw and bias stay f32).
Status call(Tesvan& e, Op op, DType t, const uint64_t* p, Dims d, bool tensor_cores = false) {
  if (t == DType::F32) {
    switch (op) {
      case Op::Forward: return e.forward_f32(p[0], p[1], p[2], p[3], d);
      case Op::BackwardDx: return e.backward_dx_f32(p[0], p[1], p[2], d);
      case Op::BackwardDw: return e.backward_dw_f32(p[0], p[1], p[2], d);
    }
  }
  const Operand a{p[1], t}, b{p[2], t};
  switch (op) {
    case Op::Forward:
      return tensor_cores ? e.forward_tc({p[0], t}, a, b, p[3], d) : e.forward({p[0], t}, a, b, p[3], d);
    case Op::BackwardDx:
      return tensor_cores ? e.backward_dx_tc({p[0], t}, a, b, d) : e.backward_dx({p[0], t}, a, b, d);
    case Op::BackwardDw:
      return tensor_cores ? e.backward_dw_tc(p[0], a, b, d) : e.backward_dw(p[0], a, b, d);
  }
  return {};
}

struct Misaligned {
  Op op;
  Dims d;
  const char* kernel;  // the vectorised kernel the shape reaches
  // The operands (output, first, second input) it receives; the split
  // paths write the output through a reduce and the transposing ones read
  // W through the transpose, both one element at a time.
  bool gets[3] = {true, true, true};
};

// Every f32 kernel that moves 16 bytes at a time, by a shape that reaches it.
const Misaligned kVectorised[] = {
    {Op::Forward, {512, 16, 640}, "tesvan_nn"},
    {Op::Forward, {128, 16, 128}, "tesvan_nn_slim"},
    {Op::Forward, {65, 8, 8}, "tesvan_nn_narrow"},
    {Op::Forward, {8, 8, 8}, "tesvan_nn_narrow_small"},
    {Op::Forward, {64, 64, 128}, "tesvan_nn_splitk32_partial", {false, true, true}},
    {Op::Forward, {1025, 384, 128}, "tesvan_nn_splitk_slim_partial", {false, true, true}},
    {Op::BackwardDx, {512, 545, 130}, "tesvan_nt"},
    {Op::BackwardDx, {128, 65, 130}, "tesvan_nt_slim"},
    {Op::BackwardDx, {8, 8, 8}, "tesvan_nt_narrow"},
    {Op::BackwardDx, {64, 64, 128}, "tesvan_nn_splitk32_partial", {false, true, false}},
    {Op::BackwardDx, {1025, 128, 128}, "tesvan_nn_splitk_slim_partial", {false, true, false}},
    {Op::BackwardDw, {64, 512, 640}, "tesvan_tn"},
    {Op::BackwardDw, {64, 128, 128}, "tesvan_tn_slim"},
    {Op::BackwardDw, {8, 8, 8}, "tesvan_tn_narrow"},
    {Op::BackwardDw, {256, 128, 128}, "tesvan_tn_splitm_partial", {false, true, true}},
};

const char* const kNames[3][3] = {{"out", "a", "b"}, {"dx", "dy", "w"}, {"dw", "dy", "x"}};

class OperandCheck : public StubEngineTest {};

TEST_F(OperandCheck, F32OperandOffFourteenBytesIsRefusedBeforeAnyLaunch) {
  for (const Misaligned& c : kVectorised) {
    const char* const* names = kNames[static_cast<int>(c.op)];
    // Aligned, the shape reaches the kernel named.
    const uint64_t good[4] = {kP0, kP1, kP2, 0};
    sim().tvnsim_launch_clear();
    ASSERT_TRUE(call(e(), c.op, DType::F32, good, c.d).ok()) << c.kernel;
    const std::vector<std::string> ran = launched_kernels();
    EXPECT_NE(std::find(ran.begin(), ran.end(), c.kernel), ran.end()) << c.kernel;
    // Each operand the kernel gets 4-byte aligned but not 16: refused,
    // nothing launched.  The others may be off 16.
    for (int i = 0; i < 3; ++i) {
      uint64_t p[4] = {kP0, kP1, kP2, 0};
      p[i] += 4;
      sim().tvnsim_launch_clear();
      const Status s = call(e(), c.op, DType::F32, p, c.d);
      if (!c.gets[i]) {
        EXPECT_TRUE(s.ok()) << c.kernel << " operand " << i;
        continue;
      }
      ASSERT_FALSE(s.ok()) << c.kernel << " operand " << i;
      EXPECT_EQ(s.error().kind(), Error::Kind::Operand);
      const std::string text = s.error().display();
      EXPECT_NE(text.find(std::string("operand '") + names[i] + "' at 0x"), std::string::npos)
          << text;
      EXPECT_NE(text.find("16-byte aligned, which " + std::string(c.kernel)), std::string::npos)
          << text;
      EXPECT_TRUE(launches().empty()) << c.kernel;
    }
  }
}

TEST_F(OperandCheck, SixteenByteOperandsOnlyWhereAVectorisedKernelReadsThem) {
  // A bias is read one element at a time: 4-byte aligned is enough.
  const uint64_t biased[4] = {kP0, kP1, kP2, kP3 + 4};
  EXPECT_TRUE(call(e(), Op::Forward, DType::F32, biased, {512, 16, 640}).ok());
  // The GEMV kernels take any f32 address.
  const uint64_t gemv[4] = {kP0 + 4, kP1 + 4, kP2 + 4, 0};
  sim().tvnsim_launch_clear();
  EXPECT_TRUE(call(e(), Op::Forward, DType::F32, gemv, {64, 64, 1}).ok());
  EXPECT_EQ(launched_kernels(), std::vector<std::string>{"tesvan_nn_gemv"});
  // bf16 operands: the typed kernels read elements, the upcast fallback
  // computes on the engine's own scratch, the tensor-core kernels stage by
  // the actual alignment.  Only the f32 dW of the fallback is vectorised.
  for (const Misaligned& c : kVectorised) {
    const uint64_t p[4] = {kP0 + 2, kP1 + 2, kP2 + 2, 0};
    const uint64_t dw_first[4] = {kP0, kP1 + 2, kP2 + 2, 0};
    const bool dw = c.op == Op::BackwardDw;
    EXPECT_TRUE(call(e(), c.op, DType::BF16, dw ? dw_first : p, c.d).ok()) << c.kernel;
    const Status tc = call(e(), c.op, DType::BF16, dw ? dw_first : p, c.d, true);
    EXPECT_TRUE(tc.ok() || tc.error().is_no_bucket()) << c.kernel;
  }
  // (64, 128, 128): no typed bucket; the f32 tier's slim tile accumulates
  // into dW.
  const uint64_t dw_off[4] = {kP0 + 4, kP1, kP2, 0};
  const Status s = call(e(), Op::BackwardDw, DType::BF16, dw_off, {64, 128, 128});
  ASSERT_FALSE(s.ok());
  EXPECT_NE(s.error().display().find("operand 'dw'"), std::string::npos) << s.error().display();
}

TEST_F(OperandCheck, AddressOffItsElementSizeIsRefusedOnEveryPath) {
  const struct {
    DType t;
    uint64_t off;
    bool tensor_cores;
    const char* size;
  } cases[] = {{DType::F32, 2, false, "(4 bytes)"},
               {DType::BF16, 1, false, "(2 bytes)"},
               {DType::BF16, 1, true, "(2 bytes)"}};
  for (const auto& c : cases) {
    for (Op op : {Op::Forward, Op::BackwardDx, Op::BackwardDw}) {
      for (int i = 0; i < 3; ++i) {
        uint64_t p[4] = {kP0, kP1, kP2, 0};
        p[i] += c.off;
        // dW is f32 on every path.
        const bool f32_dw = op == Op::BackwardDw && i == 0;
        sim().tvnsim_launch_clear();
        const Status s = call(e(), op, c.t, p, {8, 8, 8}, c.tensor_cores);
        ASSERT_FALSE(s.ok());
        const std::string text = s.error().display();
        EXPECT_NE(text.find("is not aligned to its element size " +
                            std::string(f32_dw ? "(4 bytes)" : c.size)),
                  std::string::npos)
            << text;
        EXPECT_TRUE(launches().empty());
      }
    }
  }
  const uint64_t bias_off[4] = {kP0, kP1, kP2, kP3 + 2};
  EXPECT_FALSE(call(e(), Op::Forward, DType::F32, bias_off, {8, 8, 8}).ok());
}

TEST_F(OperandCheck, OutputOverlappingAnInputIsRefused) {
  const Dims d{64, 64, 64};  // every operand 16 KiB in f32, 8 KiB in bf16
  const struct {
    DType t;
    uint64_t out, in;
    bool overlaps;
  } cases[] = {
      {DType::F32, kP1, kP1, true},                  // out is a
      {DType::F32, kP1 + 16384 - 16, kP1, true},     // last bytes of a
      {DType::F32, kP1 - 16384 + 16, kP1, true},     // out ends inside a
      {DType::F32, kP1 + 16384, kP1, false},         // just past a
      {DType::F32, kP1 - 16384, kP1, false},         // ends where a starts
      {DType::BF16, kP1 + 8192 - 16, kP1, true},
      {DType::BF16, kP1 + 8192, kP1, false},
  };
  for (const auto& c : cases) {
    for (Op op : {Op::Forward, Op::BackwardDx}) {
      for (int input = 1; input < 3; ++input) {
        uint64_t p[4] = {c.out, kP2, kP3, 0};
        p[input] = c.in;
        sim().tvnsim_launch_clear();
        const Status s = call(e(), op, c.t, p, d);
        EXPECT_EQ(!s.ok(), c.overlaps) << (s.ok() ? "ok" : s.error().display());
        if (s.ok()) continue;
        const char* const* names = kNames[static_cast<int>(op)];
        EXPECT_NE(s.error().display().find(std::string("output '") + names[0] + "'"),
                  std::string::npos);
        EXPECT_NE(s.error().display().find(std::string("overlaps input '") + names[input] + "'"),
                  std::string::npos)
            << s.error().display();
        EXPECT_TRUE(launches().empty());
      }
    }
  }
  // dw (f32) against a bf16 x, and the bias of forward.
  const uint64_t dw_on_x[4] = {kP1 + 4096, kP2, kP1, 0};
  EXPECT_FALSE(call(e(), Op::BackwardDw, DType::BF16, dw_on_x, d).ok());
  const uint64_t out_on_bias[4] = {kP0, kP1, kP2, kP0 + 256};
  EXPECT_FALSE(call(e(), Op::Forward, DType::F32, out_on_bias, d).ok());
  // Inputs may share memory.
  const uint64_t shared_inputs[4] = {kP0, kP1, kP1, 0};
  EXPECT_TRUE(call(e(), Op::Forward, DType::F32, shared_inputs, d).ok());
}

// Scratch creation under a capture of the engine stream: refused before
// anything is enqueued; prepare() beforehand makes the call allocate nothing.
TEST_F(OperandCheck, CaptureNeedsTheScratchPreparedBeforehand) {
  const cu::CudaApi& api = *cu::cuda().value();
  const cu::CUstream stream = e().stream().stream;
  const auto begin = [&] {
    return api.cuStreamBeginCapture(stream, cu::CU_STREAM_CAPTURE_MODE_GLOBAL);
  };
  const auto end = [&] {
    cu::CUgraph graph = nullptr;
    return api.cuStreamEndCapture(stream, &graph);
  };
  const uint64_t p[4] = {kP0, kP1, kP2, 0};
  const struct {
    Op op;
    DType t;
    Dims d;
  } needs_scratch[] = {
      {Op::Forward, DType::F32, {64, 64, 128}},      // split-K scratch
      {Op::BackwardDx, DType::F32, {64, 64, 128}},   // transpose and split-K
      {Op::Forward, DType::BF16, {63, 64, 4096}},    // upcast cells
  };
  for (const auto& c : needs_scratch) {
    ASSERT_EQ(begin(), 0);
    const uint64_t allocs = calls("cuMemAllocAsync") + calls("cuMemAlloc_v2");
    sim().tvnsim_launch_clear();
    const Status s = call(e(), c.op, c.t, p, c.d);
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().kind(), Error::Kind::Usage);
    EXPECT_NE(s.error().display().find("captured into a CUDA graph; call prepare_capture"),
              std::string::npos)
        << s.error().display();
    EXPECT_TRUE(launches().empty());
    EXPECT_EQ(calls("cuMemAllocAsync") + calls("cuMemAlloc_v2"), allocs);
    ASSERT_EQ(end(), 0);

    // Preparing inside the capture would allocate into it: refused too.
    ASSERT_EQ(begin(), 0);
    const Status inside = e().prepare([&](Tesvan& t) { return call(t, c.op, c.t, p, c.d); });
    EXPECT_FALSE(inside.ok());
    EXPECT_EQ(calls("cuMemAllocAsync") + calls("cuMemAlloc_v2"), allocs);
    ASSERT_EQ(end(), 0);

    // Prepared (launching nothing), the same call inside a capture
    // allocates nothing and succeeds.
    ASSERT_TRUE(e().prepare([&](Tesvan& t) { return call(t, c.op, c.t, p, c.d); }).ok());
    EXPECT_TRUE(launches().empty());
    ASSERT_EQ(begin(), 0);
    const uint64_t prepared = calls("cuMemAllocAsync") + calls("cuMemAlloc_v2");
    EXPECT_TRUE(call(e(), c.op, c.t, p, c.d).ok());
    EXPECT_FALSE(launches().empty());
    EXPECT_EQ(calls("cuMemAllocAsync") + calls("cuMemAlloc_v2"), prepared);
    ASSERT_EQ(end(), 0);
  }
}

TEST_F(OperandCheck, EngineFromAnotherProcessRefusesEveryCall) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // No gtest assertions here: the child reports through its exit code.
    const Status s = inner_->synchronize();
    const bool refused = !s.ok() && s.error().kind() == Error::Kind::Usage &&
                         s.error().display().find("after fork()") != std::string::npos;
    const bool forward_refused =
        !inner_->forward(0, kP0, kP1, kP2, 0, {8, 8, 8}, DType::F32, false).ok();
    inner_.reset();  // leaves the parent's objects alone
    _exit(refused && forward_refused ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(inner_->synchronize().ok());
}

}  // namespace
}  // namespace tesvan::test
