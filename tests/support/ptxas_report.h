// What ptxas makes of a PTX text: registers, spills, stack and static shared
// memory per function, as `ptxas -v` reports them.  Shared by the kernel
// tests and the resource report in bench/; needs NVRTC and ptxas, no device.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tesvan::ptxas {

// One function of ptxas's verbose report.  Byte counts; -1 where ptxas
// printed no value.
struct FunctionResources {
  std::string name;
  bool entry = false;  // a kernel (ptxas compiled it as an entry function)
  int registers = -1;  // per thread
  int barriers = -1;
  int stack = -1;      // stack frame
  int spill_stores = -1;
  int spill_loads = -1;
  int shared = 0;      // static shared memory; dynamic shared memory is not counted
  int constant = 0;    // constant bank 0: the parameters and driver constants

  bool spills() const { return spill_stores > 0 || spill_loads > 0; }
};

// The functions of a `ptxas -v` log, entries in the order ptxas compiled
// them and non-inlined device functions where their properties appear.
std::vector<FunctionResources> parse_verbose_log(std::string_view log);

// Names of the entry functions of a PTX text, in text order.
std::vector<std::string> ptx_entries(std::string_view ptx);

// ptxas under CUDA_HOME, CUDA_PATH or CUDA_ROOT (each + "/bin"), else
// /usr/local/cuda/bin; empty when none exists.
std::string find_ptxas();

// ptxas's "--version" line naming the release, e.g. "Cuda compilation tools,
// release 13.0, V13.0.88"; empty when it cannot be run.
std::string version(const std::string& ptxas);

struct Report {
  std::string error;  // empty on success, else what failed and ptxas's output
  std::vector<FunctionResources> functions;
  double seconds = 0;  // wall time of the ptxas run

  // The function called `name`, or null.
  const FunctionResources* find(std::string_view name) const;
};

// Assembles `ptx` for `target` with `ptxas -v` (code discarded), plus any
// extra options, and parses the report.
Report assemble(const std::string& ptxas, std::string_view ptx, std::string_view target,
                const std::vector<std::string>& extra_options = {});

// The engine's own PTX for a target (tesvan::kernel_ptx: the engine's source,
// options and cache) and ptxas's report of it.
struct EngineReport {
  std::string target;
  std::vector<std::string> entries;  // the PTX's entry functions, text order
  Report ptxas;                      // ptxas.error also carries an NVRTC failure
  double ptx_seconds = 0;            // cache read or NVRTC compile
};
EngineReport engine_report(const std::string& ptxas, const std::string& target);

}  // namespace tesvan::ptxas
