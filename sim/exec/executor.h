// Running one kernel launch on the simulated device.
//
// Contract between the driver half (api/) and the execution half (exec/).
// The execution half owns the implementation.
#pragma once

#include <cstdint>
#include <string>

#include <vector>

#include "ptx/module.h"
#include "tvnsim.h"

namespace tvnsim {

class AddressSpace;

struct Dim3 {
  uint32_t x = 1, y = 1, z = 1;
};

struct LaunchSpec {
  const Program* program = nullptr;
  uint32_t entry = 0;              // index into program->info().entries
  Dim3 grid;
  Dim3 block;
  uint32_t dynamic_shared = 0;     // bytes
  const uint8_t* params = nullptr; // packed as EntryInfo::params describes
};

struct ExecOptions {
  bool racecheck = true;
  int host_threads = 1;  // blocks are spread over this many threads
  int cc_major = 8;      // selects the tensor-core numeric model
  int cc_minor = 0;
  int counters = 0;         // 0 off, 1 per launch, 2 also per instruction site
  uint64_t block_limit = 0; // run only the first blocks (0: all)
};

// Outcome of one launch.  result is 0 (CUDA_SUCCESS) or the CUresult the
// fault surfaces as: 700 CUDA_ERROR_ILLEGAL_ADDRESS, 716
// CUDA_ERROR_MISALIGNED_ADDRESS, 710 CUDA_ERROR_ASSERT, 719
// CUDA_ERROR_LAUNCH_FAILED (trap, race, diverged collective, ...), 715
// CUDA_ERROR_ILLEGAL_INSTRUCTION.
struct ExecResult {
  int result = 0;
  uint64_t thread_instructions = 0;
  // Filled on a fault:
  uint32_t block[3] = {0, 0, 0};
  uint32_t thread[3] = {0, 0, 0};
  std::string instruction;  // PTX text of the faulting instruction
  uint64_t address = 0;
  std::string message;      // full report: kernel, block, thread, instruction, address, reason
  // With counters on:
  bool counted = false;
  TvnSimCounters counters{};
  std::vector<TvnSimSiteCounters> sites;  // executed sites, at level 2
};

// Runs the launch to completion (or to its first fault).  Global memory is
// reached only through `memory`; it is not modified concurrently during the
// call.
ExecResult execute(const LaunchSpec& launch, AddressSpace& memory, const ExecOptions& options);

}  // namespace tvnsim
