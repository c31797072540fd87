#include "api/device_model.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <string_view>
#include <thread>

#include "api/cuda_api.h"

namespace tvnsim::api {
namespace {

struct Architecture {
  int shared_optin;  // per block, with opt-in
  int shared_per_sm;
  int threads_per_sm;
};

// Shared-memory capacities of NVIDIA's architectures (CUDA programming guide,
// compute capability table; cuda_occupancy.h gives 11.0 the shared-memory
// configurations of 10.x).
Architecture architecture(int major, int minor) {
  switch (major) {
    case 7:
      return minor == 5 ? Architecture{65536, 65536, 1024} : Architecture{98304, 98304, 2048};
    case 8:
      if (minor == 0 || minor == 7) return {166912, 167936, minor == 0 ? 2048 : 1536};
      return {101376, 102400, 1536};
    case 9:
    case 10:
    case 11:
      return {232448, 233472, 2048};
    case 12:
      return {101376, 102400, 1536};
    default:
      return {49152, 65536, 1024};
  }
}

bool parse_int(std::string_view text, long long* out) {
  const char* end = text.data() + text.size();
  auto [p, ec] = std::from_chars(text.data(), end, *out);
  return ec == std::errc() && p == end;
}

// Reads one integer variable into `*field` when set and valid.
template <class T>
void read_int(const char* name, T* field, long long min, std::string* warnings) {
  const char* v = std::getenv(name);
  if (!v) return;
  long long x = 0;
  if (parse_int(v, &x) && x >= min) {
    *field = static_cast<T>(x);
  } else if (warnings) {
    *warnings += std::string("tvnsim: ignoring ") + name + "=" + v + "\n";
  }
}

void read_cc(TvnSimConfig* c, std::string* warnings) {
  const char* v = std::getenv("TVNSIM_CC");
  if (!v) return;
  std::string_view text(v);
  const size_t dot = text.find('.');
  long long major = 0, minor = 0;
  if (dot != std::string_view::npos && parse_int(text.substr(0, dot), &major) &&
      parse_int(text.substr(dot + 1), &minor) && major > 0 && minor >= 0 && minor < 10) {
    c->cc_major = static_cast<int>(major);
    c->cc_minor = static_cast<int>(minor);
  } else if (warnings) {
    *warnings += std::string("tvnsim: ignoring TVNSIM_CC=") + v + " (expected major.minor)\n";
  }
}

}  // namespace

int counters_from_environment(std::string* warnings) {
  int level = 1;
  read_int("TVNSIM_COUNTERS", &level, 0, warnings);
  return std::min(level, 2);
}

TvnSimConfig config_from_environment(std::string* warnings) {
  TvnSimConfig c{};
  c.cc_major = 8;
  c.cc_minor = 0;
  c.memory_pools = 1;
  c.memory_bytes = 8ull << 30;
  c.sm_count = 108;
  c.max_shared_per_block = 49152;
  c.max_shared_per_block_optin = 0;  // derived from the architecture
  c.execute = 1;
  c.racecheck = 1;
  c.fault_stderr = 0;
  const unsigned hw = std::thread::hardware_concurrency();
  c.host_threads = hw == 0 ? 1 : static_cast<int>(hw > 16 ? 16 : hw);

  read_cc(&c, warnings);
  read_int("TVNSIM_MEMPOOLS", &c.memory_pools, 0, warnings);
  read_int("TVNSIM_MEM_BYTES", &c.memory_bytes, 1, warnings);
  read_int("TVNSIM_SM_COUNT", &c.sm_count, 1, warnings);
  read_int("TVNSIM_EXECUTE", &c.execute, 0, warnings);
  read_int("TVNSIM_RACECHECK", &c.racecheck, 0, warnings);
  read_int("TVNSIM_FAULT_STDERR", &c.fault_stderr, 0, warnings);
  read_int("TVNSIM_THREADS", &c.host_threads, 1, warnings);
  c.driver_version = 13000;
  read_int("TVNSIM_DRIVER_VERSION", &c.driver_version, 1000, warnings);
  return c;
}

int shared_per_block_optin(const TvnSimConfig& c) {
  if (c.max_shared_per_block_optin > 0) return c.max_shared_per_block_optin;
  return architecture(c.cc_major, c.cc_minor).shared_optin;
}

int shared_per_multiprocessor(const TvnSimConfig& c) {
  return architecture(c.cc_major, c.cc_minor).shared_per_sm;
}

std::optional<int> device_attribute(const TvnSimConfig& c, int attribute) {
  switch (attribute) {
    case CU_DEVICE_ATTRIBUTE_MAX_THREADS_PER_BLOCK:
      return 1024;
    case CU_DEVICE_ATTRIBUTE_MAX_BLOCK_DIM_X:
    case CU_DEVICE_ATTRIBUTE_MAX_BLOCK_DIM_Y:
      return 1024;
    case CU_DEVICE_ATTRIBUTE_MAX_BLOCK_DIM_Z:
      return 64;
    case CU_DEVICE_ATTRIBUTE_MAX_GRID_DIM_X:
      return 2147483647;
    case CU_DEVICE_ATTRIBUTE_MAX_GRID_DIM_Y:
    case CU_DEVICE_ATTRIBUTE_MAX_GRID_DIM_Z:
      return 65535;
    case CU_DEVICE_ATTRIBUTE_MAX_SHARED_MEMORY_PER_BLOCK:
      return c.max_shared_per_block;
    case CU_DEVICE_ATTRIBUTE_TOTAL_CONSTANT_MEMORY:
      return 65536;
    case CU_DEVICE_ATTRIBUTE_WARP_SIZE:
      return 32;
    case CU_DEVICE_ATTRIBUTE_MAX_REGISTERS_PER_BLOCK:
    case CU_DEVICE_ATTRIBUTE_MAX_REGISTERS_PER_MULTIPROCESSOR:
      return 65536;
    case CU_DEVICE_ATTRIBUTE_MULTIPROCESSOR_COUNT:
      return c.sm_count;
    case CU_DEVICE_ATTRIBUTE_INTEGRATED:
      return 0;
    case CU_DEVICE_ATTRIBUTE_CONCURRENT_KERNELS:
    case CU_DEVICE_ATTRIBUTE_UNIFIED_ADDRESSING:
      return 1;
    case CU_DEVICE_ATTRIBUTE_MAX_THREADS_PER_MULTIPROCESSOR:
      return architecture(c.cc_major, c.cc_minor).threads_per_sm;
    case CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MAJOR:
      return c.cc_major;
    case CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MINOR:
      return c.cc_minor;
    case CU_DEVICE_ATTRIBUTE_MAX_SHARED_MEMORY_PER_MULTIPROCESSOR:
      return shared_per_multiprocessor(c);
    case CU_DEVICE_ATTRIBUTE_MAX_SHARED_MEMORY_PER_BLOCK_OPTIN:
      return shared_per_block_optin(c);
    case CU_DEVICE_ATTRIBUTE_MEMORY_POOLS_SUPPORTED:
      return c.memory_pools ? 1 : 0;
    default:
      return std::nullopt;
  }
}

std::string device_name(const TvnSimConfig& c) {
  return "tvnsim simulated GPU (sm_" + std::to_string(c.cc_major) + std::to_string(c.cc_minor) +
         ")";
}

}  // namespace tvnsim::api
