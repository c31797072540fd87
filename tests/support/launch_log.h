// Reading the simulated device's launch log and comparing it with the
// launches a test expects.
#pragma once

#include <array>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace tesvan::test {

// One kernel argument as the log records it: its class and its raw bits.
struct LoggedArg {
  enum class Kind { Ptr, Int, Float, Other };
  Kind kind = Kind::Other;
  uint64_t bits = 0;

  static LoggedArg ptr(uint64_t address) { return {Kind::Ptr, address}; }
  static LoggedArg i32(int32_t v) { return {Kind::Int, static_cast<uint32_t>(v)}; }
  static LoggedArg f32(float v);

  bool operator==(const LoggedArg&) const = default;
};

// One launch: kernel, geometry, dynamic shared memory, stream, arguments.
struct LoggedLaunch {
  std::string kernel;
  std::array<unsigned, 3> grid{1, 1, 1};
  std::array<unsigned, 3> block{1, 1, 1};
  unsigned shared = 0;
  uint64_t stream = 0;
  std::vector<LoggedArg> args;

  bool operator==(const LoggedLaunch&) const = default;
};

std::ostream& operator<<(std::ostream& os, const LoggedArg& a);
std::ostream& operator<<(std::ostream& os, const LoggedLaunch& l);

// Every launch the simulated device accepted since the log was cleared, in
// acceptance order.  Pointers are 8-byte integer parameters, ints 4-byte
// integer parameters, floats f32 parameters.
std::vector<LoggedLaunch> read_launch_log();

// Equal sequences, or a failure that names the first differing launch and
// field.
testing::AssertionResult same_launches(const std::vector<LoggedLaunch>& expected,
                                       const std::vector<LoggedLaunch>& actual);

}  // namespace tesvan::test
