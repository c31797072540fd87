// ptxas's report for the engine's own PTX, made once per target and process:
// several kernel tests read it, and one run takes seconds.
#pragma once

#include <string>

#include "support/ptxas_report.h"

namespace tesvan::test {

// Null when no ptxas is installed (callers skip).
const ptxas::EngineReport* engine_resources(const std::string& target);

}  // namespace tesvan::test
