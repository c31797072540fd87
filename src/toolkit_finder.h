// Where NVRTC and the CUDA headers come from.  A machine may hold several
// NVRTCs at once (a toolkit, NVIDIA's Python wheels, the one a framework has
// already loaded); the driver can only JIT PTX from a compiler no newer than
// itself, so the choice follows the driver's version.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tesvan::cu {

// One NVRTC library that may be loaded, and why it is considered.
struct NvrtcCandidate {
  std::string path;         // a file path, or a bare soname for the system search
  std::string why;          // "TESVAN_NVRTC", "already loaded in the process", ...
  std::string include_dir;  // headers that ship with it, or empty
};

// Candidates in order of preference: TESVAN_NVRTC alone when it is set;
// otherwise the NVRTCs already loaded in the process, NVIDIA's Python wheels
// under the registered package roots, CUDA_HOME / CUDA_PATH / CUDA_ROOT, and
// the system's library search.
std::vector<NvrtcCandidate> nvrtc_candidates();

// The folders of the interpreter's `nvidia` namespace package (where NVIDIA's
// wheels install).  The Python module registers them at import; the C++
// engine alone has none.  Takes effect for an NVRTC not loaded yet.
void set_python_package_roots(std::vector<std::string> roots);
std::vector<std::string> python_package_roots();

// NVRTC X.Y in the driver's encoding (1000 * X + 10 * Y).
inline int cuda_version_number(int major, int minor) { return major * 1000 + minor * 10; }
// "12.8" for 12080.
std::string cuda_version_text(int version);

struct FoundNvrtc {
  int version = 0;  // cuda_version_number of nvrtcVersion
};

enum class CodeForm {
  Ptx,    // the driver JIT-compiles the PTX (a cached cubin may be tried first)
  Cubin,  // NVRTC is newer than the driver: only its machine code can run
};

struct NvrtcVerdict {
  std::optional<size_t> chosen;  // index into the found list
  CodeForm form = CodeForm::Ptx;
  std::string error;             // set when nothing is chosen
};

// Picks the newest NVRTC not newer than the driver (the first such in
// candidate order on a tie).  When all are newer, a real driver gets the
// newest, compiled to cubin; the simulated device, which runs only PTX, gets
// an error naming both versions.  driver_version 0 (no driver) takes the
// newest.
NvrtcVerdict choose_nvrtc(const std::vector<FoundNvrtc>& found, int driver_version,
                          bool real_driver);

// Part of every loader failure message: where to look next.
inline constexpr const char* kInfoHint = "; run `python -m tesvan info` to see what was found";

// Header folders beyond the fixed candidates: TESVAN_CUDA_INCLUDE, the
// chosen NVRTC's own headers, then every wheel's include folder.
std::vector<std::string> extra_include_candidates(const std::string& nvrtc_include_dir);

}  // namespace tesvan::cu
