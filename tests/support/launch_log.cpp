#include "support/launch_log.h"

#include <cstring>
#include <sstream>

#include "support/sim_control.h"

namespace tesvan::test {

LoggedArg LoggedArg::f32(float v) {
  uint32_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  return {Kind::Float, bits};
}

std::ostream& operator<<(std::ostream& os, const LoggedArg& a) {
  switch (a.kind) {
    case LoggedArg::Kind::Ptr:
      return os << "ptr 0x" << std::hex << a.bits << std::dec;
    case LoggedArg::Kind::Int:
      return os << static_cast<int32_t>(static_cast<uint32_t>(a.bits));
    case LoggedArg::Kind::Float: {
      float f;
      const uint32_t bits = static_cast<uint32_t>(a.bits);
      std::memcpy(&f, &bits, sizeof f);
      return os << f << "f";
    }
    case LoggedArg::Kind::Other:
      break;
  }
  return os << "other 0x" << std::hex << a.bits << std::dec;
}

std::ostream& operator<<(std::ostream& os, const LoggedLaunch& l) {
  os << l.kernel << " grid(" << l.grid[0] << "," << l.grid[1] << "," << l.grid[2] << ") block("
     << l.block[0] << "," << l.block[1] << "," << l.block[2] << ") shared " << l.shared
     << " stream 0x" << std::hex << l.stream << std::dec << " args [";
  for (size_t i = 0; i < l.args.size(); ++i) os << (i ? ", " : "") << l.args[i];
  return os << "]";
}

namespace {

LoggedArg decode(const TvnSimArg& a) {
  if ((a.kind == TVNSIM_ARG_U64 || a.kind == TVNSIM_ARG_OTHER) && a.size == 8) {
    return {LoggedArg::Kind::Ptr, a.bits};
  }
  if ((a.kind == TVNSIM_ARG_S32 || a.kind == TVNSIM_ARG_U32) && a.size == 4) {
    return {LoggedArg::Kind::Int, a.bits & 0xffffffffu};
  }
  if (a.kind == TVNSIM_ARG_F32 && a.size == 4) return {LoggedArg::Kind::Float, a.bits & 0xffffffffu};
  return {LoggedArg::Kind::Other, a.bits};
}

}  // namespace

std::vector<LoggedLaunch> read_launch_log() {
  std::vector<LoggedLaunch> out;
  const SimControl& s = sim();
  const size_t n = s.tvnsim_launch_count();
  for (size_t i = 0; i < n; ++i) {
    TvnSimLaunch raw{};
    if (s.tvnsim_launch_get(i, &raw) != 0) break;
    LoggedLaunch l;
    l.kernel = raw.kernel;
    for (int d = 0; d < 3; ++d) {
      l.grid[d] = raw.grid[d];
      l.block[d] = raw.block[d];
    }
    l.shared = raw.dynamic_shared;
    l.stream = raw.stream;
    for (int a = 0; a < raw.num_args && a < TVNSIM_MAX_ARGS; ++a) l.args.push_back(decode(raw.args[a]));
    out.push_back(std::move(l));
  }
  return out;
}

testing::AssertionResult same_launches(const std::vector<LoggedLaunch>& expected,
                                       const std::vector<LoggedLaunch>& actual) {
  const size_t common = std::min(expected.size(), actual.size());
  for (size_t i = 0; i < common; ++i) {
    if (expected[i] == actual[i]) continue;
    std::ostringstream os;
    os << "launch " << i << " differs\n  expected: " << expected[i] << "\n  actual:   " << actual[i];
    return testing::AssertionFailure() << os.str();
  }
  if (expected.size() != actual.size()) {
    std::ostringstream os;
    os << expected.size() << " launches expected, " << actual.size() << " logged";
    for (size_t i = common; i < actual.size(); ++i) os << "\n  extra:   " << actual[i];
    for (size_t i = common; i < expected.size(); ++i) os << "\n  missing: " << expected[i];
    return testing::AssertionFailure() << os.str();
  }
  return testing::AssertionSuccess();
}

}  // namespace tesvan::test
