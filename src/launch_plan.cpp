#include "launch_plan.h"

#include <cinttypes>
#include <cstdio>
#include <string>


namespace tesvan {
namespace {

// The bytes a wide operand moves at a time, and how many leading arguments
// are its matrices (the bias after them is read one element at a time).
// Every other kernel (gemv, ultra-thin, split reduces, transpose, typed,
// casts) accesses single elements, and the tensor-core kernels choose their
// staging from the operands' actual alignment, with the same bits either way.
constexpr unsigned kVectorBytes = 16;
constexpr size_t kVectorArgs = 3;

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

void LaunchPlan::launch(const Kernel& k, std::initializer_list<KernelArg> args) {
  if (refused_ || !k.shape.wide_operands) return;
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
          std::to_string(kVectorBytes) + "-byte aligned, which " + k.name +
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
