// ptxas's report for the engine's own PTX, assembled once per target and
// process: several kernel tests read it, and one run takes seconds.
#pragma once

#include <string>
#include <vector>

#include "support/ptxas_report.h"

namespace tesvan::test {

struct EngineResources {
  std::vector<std::string> entries;  // the PTX's entry functions, text order
  ptxas::Report report;              // report.error also carries NVRTC failures
};

// Null when no ptxas is installed (callers skip).
const EngineResources* engine_resources(const std::string& target);

}  // namespace tesvan::test
