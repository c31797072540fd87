// What the driver checks before it hands a PTX text to the JIT: that the text
// is PTX at all, that its ISA version is one this driver knows, and that its
// target can be compiled for the device.
#pragma once

#include <string>
#include <string_view>

namespace tvnsim::api {

struct PtxIsa {
  int major = 0;
  int minor = 0;
};

// The newest PTX ISA a driver of this cuDriverGetVersion value accepts.
PtxIsa newest_ptx_isa(int driver_version);

// True for an ELF image (a cubin): the simulated device runs PTX only.
bool is_machine_code(const void* image);

struct PtxHeader {
  int version_major = 0;
  int version_minor = 0;
  int target_sm = 0;       // sm_90a -> 90
  char target_suffix = 0;  // 'a' (architecture-specific), 'f' (family) or 0
  std::string target;      // as written
};

// Reads the leading `.version` and `.target` directives (comments and blank
// space before them are skipped).  False with `why` when they are missing or
// malformed, i.e. the text is not PTX.
bool read_ptx_header(std::string_view text, PtxHeader* out, std::string* why);

// 0 when the module can be loaded by a driver of `driver_version` on a device
// of compute capability major.minor, else the CUresult the driver reports,
// with `why`.
int check_ptx_compatibility(const PtxHeader& h, int driver_version, int cc_major, int cc_minor,
                            std::string* why);

}  // namespace tvnsim::api
