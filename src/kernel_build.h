// Turning the embedded kernel source into a loaded CUDA module: NVRTC options,
// the on-disk PTX cache and its key, compilation and module loading.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "driver.h"
#include "error.h"

namespace tesvan {

// A loaded module; unloaded when the last reference goes.
using ModuleRef = std::shared_ptr<cu::CUmod_st>;

// Every compilation target the engine picks (compile_target in engine.h):
// the list the cache warmer, the structure tests and the benchmarks walk.
inline constexpr const char* kCompileTargets[] = {"sm_80", "sm_86",  "sm_89",
                                                  "sm_90", "sm_100", "sm_120"};

// "8" for sm_80, sm_86 and sm_87, "16" for every other target.
int group_m_for_target(std::string_view target);

// The three program options: fmad, vectorisation and the group-M define.
std::vector<std::string> program_options(std::string_view target);

// CUDA_HOME, CUDA_PATH, CUDA_ROOT (each + "/include"), then the fixed
// toolkit folders; kept when "cuda_fp16.h" exists there, duplicates included.
// Then, when not already listed, the folders of cu::nvrtc_include_directories.
std::vector<std::string> include_directories();

// The full NVRTC option list: include paths, architecture, program options.
std::vector<std::string> nvrtc_options(std::string_view target);

// ["a", "b"]: each option quoted (and escaped), separated by ", ".
std::string render_option_list(const std::vector<std::string>& options);

// Two FNV-1a 64-bit hashes of the key text, as 32 lower-case hex digits.
std::string cache_key(std::string_view source, std::string_view target,
                      const std::vector<std::string>& program_opts, int nvrtc_major,
                      int nvrtc_minor);

// The cache folder from TESVAN_KERNEL_CACHE / XDG_CACHE_HOME / HOME, or
// nothing when the cache is switched off.  Without any of them it is
// "tesvan-<uid>/kernels" in the temporary folder, where "tesvan-<uid>" must be
// this user's alone (created with mode 0700); when it is not, nothing.
std::optional<std::filesystem::path> cache_directory();

// The cache file for a key: <dir>/tesvan-<key>.ptx.
std::filesystem::path cache_file(const std::filesystem::path& dir, std::string_view key);

// NVRTC's version, or (0, 0) when it cannot be queried.
std::pair<int, int> nvrtc_version(const cu::NvrtcApi& nvrtc);

// Compiles source for target; on failure Error::Cuda "NVRTC compile failed: "
// followed by the rendering of the failing step.
Result<std::string> compile_ptx(std::string_view source, std::string_view target);

// NVRTC's output for a target: the PTX and, when asked for, the machine code
// (cubin) it builds on the way for the real architecture the target names.
struct CompiledModule {
  std::string ptx;
  std::string cubin;  // empty unless asked for
};
// As compile_ptx; a failure to fetch the cubin renders as "GetCubinError(...)".
Result<CompiledModule> compile_module(std::string_view source, std::string_view target,
                                      bool with_cubin);

// Where the PTX for a source and target lives and how it is made.
struct KernelBuild {
  std::string source;  // the joined kernel source
  std::string target;
  std::optional<std::filesystem::path> cache_path;
  std::optional<std::filesystem::path> cubin_path;  // beside it: tesvan-<key>.<target>.cubin
};
KernelBuild plan_kernel_build(std::string source, std::string_view target);

// Cached PTX text for the plan, or nothing (missing, refused by
// read_cache_file, not UTF-8, holding a NUL byte).
std::optional<std::string> read_cached_ptx(const KernelBuild& build);

// Stores PTX with write_cache_file; a failure only costs the cache entry.
void write_cached_ptx(const KernelBuild& build, std::string_view ptx);

// The cached cubin (any bytes), or nothing when missing or unreadable.
std::optional<std::string> read_cached_cubin(const KernelBuild& build);
// Stores a cubin by the same rules as the PTX (write_cache_file).
void write_cached_cubin(const KernelBuild& build, std::string_view cubin);

// The PTX for a target, from the cache or freshly compiled (and cached).
Result<std::string> kernel_ptx(std::string_view target);

// Loads a module image: PTX text (NUL-terminated by the string) or a cubin.
// Failure: the driver result.
cu::CUresult load_module(const cu::CudaApi& api, const std::string& image, ModuleRef* out);

// Which images the driver takes.  A real driver gets the cubin first, which
// spares it the JIT; the PTX is the fallback unless NVRTC is newer than the
// driver, whose JIT would refuse it.  The simulated device runs PTX only.
struct CodePolicy {
  bool cubin_first = false;
  bool ptx = true;
};
CodePolicy code_policy(const cu::CudaApi& api);

// True for the driver results that blame a module's text (not PTX the
// driver can load) rather than the driver's state.
bool is_content_error(cu::CUresult r);

// Builds the kernel table from a loaded module.  On failure it sets
// *module_at_fault when the module itself is to blame (it lacks a kernel),
// not the driver.
using TableBuilder = std::function<Status(const ModuleRef&, bool* module_at_fault)>;

// The whole build of an engine's module from `source` (the embedded kernels,
// or a fixture): cache read, compile on a miss, cache write, module load,
// then `build_table` on the module.  A cached file whose content is at fault
// (not loadable, lacking a kernel) is deleted and replaced by a fresh
// compile; any other failure with it (out of memory, a context error) is
// returned and the file kept.  With `policy.cubin_first` the cubin entry is
// tried before the PTX, cached and fresh; a cubin the driver refuses falls
// back to the PTX.
Status build_kernel_module(const cu::CudaApi& api, std::string source, std::string_view target,
                           const TableBuilder& build_table);
Status build_kernel_module(const cu::CudaApi& api, std::string source, std::string_view target,
                           const TableBuilder& build_table, CodePolicy policy);

}  // namespace tesvan
