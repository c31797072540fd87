// A dry run of one engine call.  The call's dispatch runs once with every
// launch and every scratch creation handed to a LaunchPlan instead of the
// driver; the plan checks each launch's pointers against what its kernel
// needs and counts the scratch the call would create.  Only a call whose
// plan passes is then run for real, so a refused call enqueues nothing.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>

#include "driver.h"
#include "error.h"
#include "launch.h"
#include "types.h"

namespace tesvan {

// One caller operand of a call, as its shape and dtype describe it.
struct OperandSpan {
  const char* name;  // as in messages: "out", "a", "dy", ...
  uint64_t address;  // 0 with no elements: an absent bias
  DType type;
  uint64_t elements;
  bool written;  // the call's output
  uint64_t bytes() const { return elements * dtype_size(type); }
};

// Checks that need no plan: every operand aligned to its element size, and
// no output overlapping an input.  `op` names the operation in the error.
Status check_operands(const char* op, std::span<const OperandSpan> operands);

class LaunchPlan {
 public:
  // Whether scratch the call needs is created while planning (preparing a
  // later capture) or only counted (the dry run before a call).
  enum class Scratch { Count, Create };

  LaunchPlan(const char* op, std::span<const OperandSpan> operands, Scratch scratch)
      : op_(op), operands_(operands), scratch_(scratch) {}

  // A launch the call would make: each pointer argument inside a caller
  // operand is checked against the kernel's alignment need.
  void launch(const Kernel& k, std::initializer_list<KernelArg> args);
  // Scratch the call would create; true when it is to be created now.
  bool create_scratch() {
    ++scratch_needed_;
    return scratch_ == Scratch::Create;
  }

  // Scratch creations a real run of the call would make.
  int scratch_needed() const { return scratch_ == Scratch::Count ? scratch_needed_ : 0; }
  // The first launch that would receive a pointer its kernel cannot take.
  Status verdict() const;

 private:
  const char* op_;
  std::span<const OperandSpan> operands_;
  Scratch scratch_;
  int scratch_needed_ = 0;
  std::optional<Error> refused_;
};

// Runs `body` under `plan` on the engine stream: the stream hands its
// launches and scratch creation to the plan until the guard goes.
class PlanScope {
 public:
  PlanScope(EngineStream& es, LaunchPlan& plan) : es_(es) { es_.plan = &plan; }
  ~PlanScope() { es_.plan = nullptr; }
  PlanScope(const PlanScope&) = delete;
  PlanScope& operator=(const PlanScope&) = delete;

 private:
  EngineStream& es_;
};

}  // namespace tesvan
