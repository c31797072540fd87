// The simulated device's configuration and the properties derived from it:
// defaults, the environment variables read at cuInit, and the answers of
// cuDeviceGetAttribute.
#pragma once

#include <optional>
#include <string>

#include "tvnsim.h"

namespace tvnsim::api {

// Defaults overridden by the TVNSIM_* environment variables.  A variable that
// does not parse keeps the default and is reported in `warnings`.
TvnSimConfig config_from_environment(std::string* warnings);

// TVNSIM_COUNTERS: the counter level (0 off, 1 per launch, 2 per site); 1 unset.
int counters_from_environment(std::string* warnings);

// Per-block shared memory a kernel may opt in to: the configured value, or
// the modelled architecture's.
int shared_per_block_optin(const TvnSimConfig& c);
// Shared memory of one multiprocessor on the modelled architecture.
int shared_per_multiprocessor(const TvnSimConfig& c);

// cuDeviceGetAttribute; nothing for an attribute the model does not know.
std::optional<int> device_attribute(const TvnSimConfig& c, int attribute);

// What cuDeviceGetName reports, e.g. "tvnsim simulated GPU (sm_80)".
std::string device_name(const TvnSimConfig& c);

}  // namespace tvnsim::api
