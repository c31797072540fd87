// What the simulated driver needs to know about a loaded PTX module, and the
// entry point that turns PTX text into an executable program.
//
// Contract between the driver half of the simulated device (api/) and the
// PTX half (ptx/, exec/).  The PTX half owns the implementation.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tvnsim {

// Type of one kernel parameter as declared in `.param`.
enum class ParamType : uint8_t { U8, U16, U32, U64, S8, S16, S32, S64, F16, F32, F64, B8, B16, B32, B64, Array };

struct ParamInfo {
  std::string name;
  ParamType type = ParamType::U64;
  uint32_t size = 0;    // bytes (element size times count for arrays)
  uint32_t align = 0;   // bytes
  uint32_t offset = 0;  // byte offset in the parameter buffer
};

struct EntryInfo {
  std::string name;
  std::vector<ParamInfo> params;
  uint32_t param_bytes = 0;          // size of the packed parameter buffer
  uint32_t static_shared_bytes = 0;  // sum of the entry's .shared declarations
  uint32_t local_bytes = 0;          // per-thread .local (stack) bytes
  uint32_t maxntid[3] = {0, 0, 0};   // 0 when no .maxntid was given
  uint32_t reqntid[3] = {0, 0, 0};   // 0 when no .reqntid was given
  uint32_t minnctapersm = 0;         // 0 when absent
};

struct ModuleInfo {
  int version_major = 0;  // .version
  int version_minor = 0;
  int target_sm = 0;      // .target sm_XY -> XY (e.g. 80, 90, 100, 120)
  std::string target;     // the full target text, e.g. "sm_90a"
  std::vector<EntryInfo> entries;
};

class AddressSpace;

// A parsed and decoded module: immutable after loading, shared by launches.
class Program {
 public:
  virtual ~Program() = default;
  virtual const ModuleInfo& info() const = 0;
};

struct LoadResult {
  std::unique_ptr<Program> program;  // null on failure
  int result = 0;                    // CUresult on failure (e.g. 218 CUDA_ERROR_INVALID_PTX)
  std::string message;               // why it failed
};

// Parses and decodes a PTX module.  Module-scope variables (.global/.const
// with initialisers, such as assertion message strings) are allocated in
// `memory` as non-user allocations and released with the Program.
LoadResult load_program(std::string_view ptx_text, AddressSpace& memory);

}  // namespace tvnsim
