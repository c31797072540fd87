#include "launch_plan.h"

#include <cinttypes>
#include <cstdio>
#include <string>

#include "kernels.h"

namespace tesvan {
namespace {

// The kernels that move four f32 at a time through global memory (16-byte
// cp.async, ld.global.v4, float4 stores): the matrices they receive, their
// first three arguments (output or partial slab, then the two operands),
// must start 16-byte aligned, because they pick the vector form from the
// leading dimension and the tile position only.  A bias is read one
// element at a time.  Every other kernel (gemv,
// ultra-thin, split reduces, transpose, typed, casts) accesses single
// elements, and the tensor-core kernels choose their staging from the
// operands' actual alignment, with the same bits either way.
struct Vectorised {
  Kernel Kernels::*member;
  const char* name;
};
constexpr unsigned kVectorBytes = 16;
constexpr size_t kVectorArgs = 3;
constexpr Vectorised kVectorised[] = {
    {&Kernels::nn, "tesvan_nn"},
    {&Kernels::tn, "tesvan_tn"},
    {&Kernels::nt, "tesvan_nt"},
    {&Kernels::nn_slim, "tesvan_nn_slim"},
    {&Kernels::tn_slim, "tesvan_tn_slim"},
    {&Kernels::nt_slim, "tesvan_nt_slim"},
    {&Kernels::nn_narrow, "tesvan_nn_narrow"},
    {&Kernels::nn_narrow_small, "tesvan_nn_narrow_small"},
    {&Kernels::tn_narrow, "tesvan_tn_narrow"},
    {&Kernels::nt_narrow, "tesvan_nt_narrow"},
    {&Kernels::nn_splitk32_partial, "tesvan_nn_splitk32_partial"},
    {&Kernels::nn_splitk_slim_partial, "tesvan_nn_splitk_slim_partial"},
    {&Kernels::tn_splitm_partial, "tesvan_tn_splitm_partial"},
};

std::string hex(uint64_t v) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%" PRIx64, v);
  return buf;
}

// [address, address + bytes) of two non-empty operands share a byte.
bool overlap(const OperandSpan& x, const OperandSpan& y) {
  if (x.bytes() == 0 || y.bytes() == 0) return false;
  return x.address <= y.address ? y.address - x.address < x.bytes()
                                : x.address - y.address < y.bytes();
}

std::string range(const OperandSpan& o) {
  return hex(o.address) + " + " + std::to_string(o.bytes()) + " bytes";
}

}  // namespace

Status check_operands(const char* op, std::span<const OperandSpan> operands) {
  for (const OperandSpan& o : operands) {
    const size_t size = dtype_size(o.type);
    if (o.address % size != 0) {
      return Error::operand(std::string(op) + ": operand '" + o.name + "' at " + hex(o.address) +
                            " is not aligned to its element size (" + std::to_string(size) +
                            " bytes)");
    }
  }
  for (const OperandSpan& out : operands) {
    if (!out.written) continue;
    for (const OperandSpan& in : operands) {
      if (&in == &out || !overlap(out, in)) continue;
      return Error::operand(std::string(op) + ": output '" + out.name + "' (" + range(out) +
                            ") overlaps input '" + in.name + "' (" + range(in) +
                            "); the output must not share memory with an input");
    }
  }
  return {};
}

void LaunchPlan::launch(cu::CUfunction f, std::initializer_list<KernelArg> args) {
  if (refused_) return;
  const Vectorised* kernel = nullptr;
  for (const Vectorised& v : kVectorised) {
    if ((kernels_.*v.member).fn == f) kernel = &v;
  }
  if (!kernel) return;
  size_t index = 0;
  for (const KernelArg& arg : args) {
    if (index++ == kVectorArgs) break;
    if (!arg.is_pointer() || arg.bits() % kVectorBytes == 0) continue;
    for (const OperandSpan& o : operands_) {
      // A pointer into an operand (a tail or a sub-block of it) counts as
      // that operand; scratch pointers are the engine's own and aligned.
      if (arg.bits() - o.address >= o.bytes()) continue;
      refused_ = Error::operand(
          std::string(op_) + ": operand '" + o.name + "' at " + hex(arg.bits()) + " is not " +
          std::to_string(kVectorBytes) + "-byte aligned, which " + kernel->name +
          " (the kernel this shape takes) needs; pass a buffer that starts on a " +
          std::to_string(kVectorBytes) + "-byte boundary");
      return;
    }
  }
}

Status LaunchPlan::verdict() const {
  if (refused_) return *refused_;
  return {};
}

}  // namespace tesvan
