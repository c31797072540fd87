#include "kernel_build.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <system_error>

#include "cache_file.h"
#include "kernel_source.h"

namespace tesvan {
namespace fs = std::filesystem;

std::string assemble_kernel_source() {
  const KernelSourceUnits& u = kernel_source_units();
  std::string s;
  s.reserve(u.prelude.size() + u.cast.size() + u.main.size() + 2);
  s.append(u.prelude).append("\n").append(u.cast).append("\n").append(u.main);
  return s;
}

int group_m_for_target(std::string_view target) {
  return (target == "sm_80" || target == "sm_86" || target == "sm_87") ? 8 : 16;
}

std::vector<std::string> program_options(std::string_view target) {
  return {"--fmad=true", "--extra-device-vectorization",
          "-DTVN_GROUP_M=" + std::to_string(group_m_for_target(target))};
}

std::vector<std::string> include_directories() {
  std::vector<std::string> candidates;
  for (const char* var : {"CUDA_HOME", "CUDA_PATH", "CUDA_ROOT"}) {
    if (const char* v = std::getenv(var)) candidates.push_back(std::string(v) + "/include");
  }
  for (const char* dir : {"/usr/local/cuda/include", "/usr/local/cuda-13.2/include",
                          "/usr/local/cuda-12.8/include", "/usr/local/cuda-12.6/include",
                          "/usr/local/cuda-12.4/include", "/opt/cuda/include"}) {
    candidates.emplace_back(dir);
  }
  std::vector<std::string> kept;
  for (const std::string& dir : candidates) {
    struct stat st;
    const std::string header = (fs::path(dir) / "cuda_fp16.h").string();
    if (::stat(header.c_str(), &st) == 0) kept.push_back(dir);
  }
  // Then the headers of the chosen NVRTC and the Python wheels, for machines
  // without a toolkit.
  for (std::string& dir : cu::nvrtc_include_directories()) {
    if (std::find(kept.begin(), kept.end(), dir) == kept.end()) kept.push_back(std::move(dir));
  }
  return kept;
}

std::vector<std::string> nvrtc_options(std::string_view target) {
  std::vector<std::string> opts;
  for (const std::string& dir : include_directories()) opts.push_back("--include-path=" + dir);
  opts.push_back("--gpu-architecture=" + std::string(target));
  for (std::string& o : program_options(target)) opts.push_back(std::move(o));
  return opts;
}

std::string render_option_list(const std::vector<std::string>& options) {
  std::string out = "[";
  for (size_t i = 0; i < options.size(); ++i) {
    if (i) out += ", ";
    out += '"';
    out += escape_quoted(options[i]);
    out += '"';
  }
  out += "]";
  return out;
}

namespace {

uint64_t fnv1a(std::string_view bytes, uint64_t basis) {
  uint64_t h = basis;
  for (unsigned char c : bytes) {
    h ^= c;
    h *= 0x100000001B3ull;
  }
  return h;
}

std::string hex16(uint64_t v) {
  char buf[17];
  std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(v));
  return buf;
}

bool is_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

std::string_view trim(std::string_view s) {
  while (!s.empty() && is_space(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && is_space(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

bool valid_utf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    if (len == 0 || i + len > s.size()) return false;
    uint32_t cp = len == 1 ? c : len == 2 ? (c & 0x1F) : len == 3 ? (c & 0x0F) : (c & 0x07);
    for (size_t k = 1; k < len; ++k) {
      unsigned char cc = static_cast<unsigned char>(s[i + k]);
      if ((cc >> 6) != 0x2) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) ||
        (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) {
      return false;
    }
    i += len;
  }
  return true;
}

std::string nvrtc_error(const char* step, cu::nvrtcResult r) {
  return std::string(step) + "(NvrtcError(" + cu::nvrtc_result_name(r) + "))";
}

Error compile_failed(std::string rendering) {
  return Error::cuda("NVRTC compile failed: " + std::move(rendering));
}

}  // namespace

std::string cache_key(std::string_view source, std::string_view target,
                      const std::vector<std::string>& program_opts, int nvrtc_major,
                      int nvrtc_minor) {
  std::string k;
  k.reserve(source.size() + 128);
  k.append(source).append("\x1f").append(target).append("\x1f");
  k.append(render_option_list(program_opts));
  k.append("\x1fnvrtc").append(std::to_string(nvrtc_major)).append(".").append(
      std::to_string(nvrtc_minor));
  return hex16(fnv1a(k, 0xCBF29CE484222325ull)) + hex16(fnv1a(k, 0x6C62272E07BB0142ull));
}

std::optional<fs::path> cache_directory() {
  if (const char* v = std::getenv("TESVAN_KERNEL_CACHE")) {
    std::string_view raw(v);
    if (valid_utf8(raw)) {
      std::string_view t = trim(raw);
      if (t == "off" || t == "OFF" || t == "0") return std::nullopt;
      if (!t.empty()) return fs::path(std::string(t));
    }
  }
  fs::path base;
  if (const char* xdg = std::getenv("XDG_CACHE_HOME")) {
    base = fs::path(xdg);
  } else if (const char* home = std::getenv("HOME")) {
    base = fs::path(home) / ".cache";
  } else {
    // The shared temporary folder: other users can write there, so the cache
    // lives in a folder of this user's own, or nowhere.
    std::error_code ec;
    fs::path tmp = fs::temp_directory_path(ec);
    if (ec) tmp = "/tmp";
    const fs::path own = tmp / ("tesvan-" + std::to_string(::geteuid()));
    if (!ensure_private_folder(own)) return std::nullopt;
    return own / "kernels";
  }
  return base / "tesvan" / "kernels";
}

fs::path cache_file(const fs::path& dir, std::string_view key) {
  return dir / ("tesvan-" + std::string(key) + ".ptx");
}

std::pair<int, int> nvrtc_version(const cu::NvrtcApi& nvrtc) {
  int major = 0, minor = 0;
  if (nvrtc.nvrtcVersion(&major, &minor) != 0) return {0, 0};
  return {major, minor};
}

Result<std::string> compile_ptx(std::string_view source, std::string_view target) {
  Result<CompiledModule> compiled = compile_module(source, target, false);
  if (!compiled.ok()) return std::move(compiled).error();
  return std::move(compiled.value().ptx);
}

Result<CompiledModule> compile_module(std::string_view source, std::string_view target,
                                      bool with_cubin) {
  auto loaded = cu::nvrtc();
  if (!loaded.ok()) return std::move(loaded).error();
  const cu::NvrtcApi& nv = *loaded.value();

  const std::string src(source);
  cu::nvrtcProgram prog = nullptr;
  cu::nvrtcResult r = nv.nvrtcCreateProgram(&prog, src.c_str(), nullptr, 0, nullptr, nullptr);
  if (r != 0) return compile_failed(nvrtc_error("CreationError", r));

  const std::vector<std::string> options = nvrtc_options(target);
  std::vector<const char*> argv;
  for (const std::string& o : options) argv.push_back(o.c_str());

  std::optional<Error> failure;
  CompiledModule out;
  std::string& ptx = out.ptx;
  r = nv.nvrtcCompileProgram(prog, static_cast<int>(argv.size()), argv.data());
  if (r != 0) {
    const cu::nvrtcResult compile_result = r;
    size_t log_size = 0;
    std::string log;
    r = nv.nvrtcGetProgramLogSize(prog, &log_size);
    if (r == 0) {
      log.assign(log_size, '\0');
      r = nv.nvrtcGetProgramLog(prog, log.data());
    }
    if (r != 0) {
      failure = compile_failed(nvrtc_error("GetLogError", r));
    } else {
      while (!log.empty() && log.back() == '\0') log.pop_back();
      failure = compile_failed("CompileError { nvrtc: NvrtcError(" +
                               cu::nvrtc_result_name(compile_result) +
                               "), options: " + render_option_list(options) + ", log: \"" +
                               escape_quoted(log) + "\" }");
    }
  } else {
    size_t ptx_size = 0;
    r = nv.nvrtcGetPTXSize(prog, &ptx_size);
    if (r == 0) {
      ptx.assign(ptx_size, '\0');
      r = nv.nvrtcGetPTX(prog, ptx.data());
    }
    if (r != 0) {
      failure = compile_failed(nvrtc_error("GetPtxError", r));
    } else {
      // The text up to, not including, its terminating NUL.
      const size_t nul = ptx.find('\0');
      if (nul != std::string::npos) ptx.resize(nul);
    }
    if (!failure && with_cubin) {
      size_t cubin_size = 0;
      r = nv.nvrtcGetCUBINSize(prog, &cubin_size);
      if (r == 0) {
        out.cubin.assign(cubin_size, '\0');
        r = nv.nvrtcGetCUBIN(prog, out.cubin.data());
      }
      if (r != 0) failure = compile_failed(nvrtc_error("GetCubinError", r));
    }
  }
  r = nv.nvrtcDestroyProgram(&prog);
  if (failure) return std::move(*failure);
  if (r != 0) return compile_failed(nvrtc_error("DestroyError", r));
  return out;
}

KernelBuild plan_kernel_build(std::string source, std::string_view target) {
  KernelBuild b;
  b.source = std::move(source);
  b.target = std::string(target);
  if (std::optional<fs::path> dir = cache_directory()) {
    int major = 0, minor = 0;
    if (auto nv = cu::nvrtc(); nv.ok()) std::tie(major, minor) = nvrtc_version(*nv.value());
    b.cache_path = cache_file(*dir, cache_key(b.source, target, program_options(target), major, minor));
    b.cubin_path = b.cache_path;
    b.cubin_path->replace_extension(b.target + ".cubin");
  }
  return b;
}

std::optional<std::string> read_cached_ptx(const KernelBuild& build) {
  if (!build.cache_path) return std::nullopt;
  std::optional<std::string> text = read_cache_file(*build.cache_path);
  // Text with a NUL cannot be handed over as a NUL-terminated image.
  if (!text || !valid_utf8(*text) || text->find('\0') != std::string::npos) return std::nullopt;
  return text;
}

void write_cached_ptx(const KernelBuild& build, std::string_view ptx) {
  if (build.cache_path) write_cache_file(*build.cache_path, ptx);
}

std::optional<std::string> read_cached_cubin(const KernelBuild& build) {
  if (!build.cubin_path) return std::nullopt;
  std::optional<std::string> bytes = read_cache_file(*build.cubin_path);
  if (bytes && bytes->empty()) return std::nullopt;
  return bytes;
}

void write_cached_cubin(const KernelBuild& build, std::string_view cubin) {
  if (build.cubin_path && !cubin.empty()) write_cache_file(*build.cubin_path, cubin);
}

Result<std::string> kernel_ptx(std::string_view target) {
  KernelBuild build = plan_kernel_build(assemble_kernel_source(), target);
  if (std::optional<std::string> cached = read_cached_ptx(build)) return std::move(*cached);
  Result<std::string> ptx = compile_ptx(build.source, target);
  if (ptx.ok()) write_cached_ptx(build, ptx.value());
  return ptx;
}

cu::CUresult load_module(const cu::CudaApi& api, const std::string& image, ModuleRef* out) {
  cu::CUmodule module = nullptr;
  cu::CUresult r = api.cuModuleLoadData(&module, image.c_str());
  if (r != cu::CUDA_SUCCESS) return r;
  auto unload = api.cuModuleUnload;
  *out = ModuleRef(module, [unload](cu::CUmodule m) { unload(m); });
  return cu::CUDA_SUCCESS;
}

bool is_content_error(cu::CUresult r) {
  const std::string name = cu::cu_result_name(r);
  return name == "CUDA_ERROR_INVALID_PTX" || name == "CUDA_ERROR_INVALID_IMAGE" ||
         name == "CUDA_ERROR_INVALID_SOURCE" || name == "CUDA_ERROR_NO_BINARY_FOR_GPU" ||
         name == "CUDA_ERROR_UNSUPPORTED_PTX_VERSION";
}

CodePolicy code_policy(const cu::CudaApi& api) {
  CodePolicy p;
  p.cubin_first = !cu::driver_is_simulated(api);
  p.ptx = cu::nvrtc_report().form == cu::CodeForm::Ptx;
  return p;
}

Status build_kernel_module(const cu::CudaApi& api, std::string source, std::string_view target,
                           const TableBuilder& build_table) {
  return build_kernel_module(api, std::move(source), target, build_table, code_policy(api));
}

Status build_kernel_module(const cu::CudaApi& api, std::string source, std::string_view target,
                           const TableBuilder& build_table, CodePolicy policy) {
  KernelBuild build = plan_kernel_build(std::move(source), target);
  // A cached image whose content is at fault (not loadable, missing kernels)
  // is deleted and rewritten by the compile below; any other failure (out of
  // memory, a lost context) is returned and the file kept.
  const auto try_cached = [&](std::optional<std::string> image,
                              const std::optional<fs::path>& file) -> std::optional<Status> {
    if (!image) return std::nullopt;
    ModuleRef module;
    const cu::CUresult loaded = load_module(api, *image, &module);
    if (loaded == cu::CUDA_SUCCESS) {
      bool module_at_fault = false;
      Status table = build_table(module, &module_at_fault);
      if (table.ok() || !module_at_fault) return table;
    } else if (!is_content_error(loaded)) {
      return cu::check(loaded, "module load failed: ");
    }
    std::error_code ec;
    fs::remove(*file, ec);
    return std::nullopt;
  };
  if (policy.cubin_first) {
    if (auto done = try_cached(read_cached_cubin(build), build.cubin_path)) return std::move(*done);
  }
  if (policy.ptx) {
    if (auto done = try_cached(read_cached_ptx(build), build.cache_path)) return std::move(*done);
  }
  const bool with_cubin = policy.cubin_first || !policy.ptx;
  Result<CompiledModule> compiled = compile_module(build.source, target, with_cubin);
  if (!compiled.ok()) return std::move(compiled).error();
  const CompiledModule& c = compiled.value();
  write_cached_ptx(build, c.ptx);
  write_cached_cubin(build, c.cubin);
  ModuleRef module;
  cu::CUresult r = with_cubin ? load_module(api, c.cubin, &module) : cu::CUDA_SUCCESS;
  // No cubin wanted, or the driver refused it (machine code for another
  // GPU): the JIT gets the PTX.
  if ((!with_cubin || is_content_error(r)) && policy.ptx) r = load_module(api, c.ptx, &module);
  TVN_TRY(cu::check(r, "module load failed: "));
  bool module_at_fault = false;
  return build_table(module, &module_at_fault);
}

}  // namespace tesvan
