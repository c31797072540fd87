#include "toolkit_finder.h"

#include <link.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

namespace tesvan::cu {
namespace {

bool file_exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

std::string base_name(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string parent_dir(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// NVRTCs any library of the process (a framework, typically) has loaded.
std::vector<std::string> loaded_nvrtc_paths() {
  std::vector<std::string> paths;
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* data) {
        const char* name = info->dlpi_name;
        if (name && *name) {
          const std::string path(name);
          if (base_name(path).rfind("libnvrtc.so", 0) == 0) {
            static_cast<std::vector<std::string>*>(data)->push_back(path);
          }
        }
        return 0;
      },
      &paths);
  return paths;
}

std::mutex& roots_mutex() {
  static std::mutex m;
  return m;
}

std::vector<std::string>& roots_storage() {
  static std::vector<std::string> roots;
  return roots;
}

// The companion include folder of an NVRTC found under <prefix>/lib or
// <prefix>/lib64: <prefix>/include, when it holds the fp16 header.
std::string companion_include(const std::string& library_path) {
  const std::string lib = parent_dir(library_path);
  if (lib.empty()) return {};
  const std::string include = parent_dir(lib) + "/include";
  return file_exists(include + "/cuda_fp16.h") ? include : std::string();
}

void add_if_present(std::vector<NvrtcCandidate>* out, std::string path, std::string why,
                    std::string include_dir) {
  if (file_exists(path)) out->push_back({std::move(path), std::move(why), std::move(include_dir)});
}

// NVIDIA's wheels: CUDA 13 puts every component under nvidia/cu13; CUDA 12
// has one folder per component, the headers in the runtime's.
void add_wheel_candidates(std::vector<NvrtcCandidate>* out) {
  for (const std::string& root : python_package_roots()) {
    const std::string cu13 = root + "/cu13";
    add_if_present(out, cu13 + "/lib/libnvrtc.so.13", "Python wheel nvidia-cuda-nvrtc (" + cu13 + ")",
                   file_exists(cu13 + "/include/cuda_fp16.h") ? cu13 + "/include" : std::string());
    const std::string runtime_include = root + "/cuda_runtime/include";
    const std::string include =
        file_exists(runtime_include + "/cuda_fp16.h") ? runtime_include : std::string();
    for (const char* so : {"libnvrtc.so.13", "libnvrtc.so.12", "libnvrtc.so.11.2"}) {
      add_if_present(out, root + "/cuda_nvrtc/lib/" + so,
                     "Python wheel nvidia-cuda-nvrtc (" + root + "/cuda_nvrtc)", include);
    }
  }
}

}  // namespace

void set_python_package_roots(std::vector<std::string> roots) {
  std::lock_guard<std::mutex> lock(roots_mutex());
  roots_storage() = std::move(roots);
}

std::vector<std::string> python_package_roots() {
  std::lock_guard<std::mutex> lock(roots_mutex());
  return roots_storage();
}

std::string cuda_version_text(int version) {
  return std::to_string(version / 1000) + "." + std::to_string(version % 1000 / 10);
}

std::vector<NvrtcCandidate> nvrtc_candidates() {
  std::vector<NvrtcCandidate> out;
  if (const char* explicit_path = std::getenv("TESVAN_NVRTC"); explicit_path && *explicit_path) {
    // The user's choice stands alone: falling back elsewhere would hide a typo.
    out.push_back({explicit_path, "TESVAN_NVRTC", companion_include(explicit_path)});
    return out;
  }
  for (std::string& path : loaded_nvrtc_paths()) {
    std::string include = companion_include(path);
    out.push_back({std::move(path), "already loaded in the process", std::move(include)});
  }
  add_wheel_candidates(&out);
  for (const char* var : {"CUDA_HOME", "CUDA_PATH", "CUDA_ROOT"}) {
    const char* dir = std::getenv(var);
    if (!dir || !*dir) continue;
    for (const char* sub : {"/lib64/", "/lib/"}) {
      for (const char* so : {"libnvrtc.so.13", "libnvrtc.so.12", "libnvrtc.so"}) {
        const std::string path = std::string(dir) + sub + so;
        add_if_present(&out, path, var, companion_include(path));
      }
    }
  }
  // The dynamic loader's own search (LD_LIBRARY_PATH, ld.so.cache), then the
  // conventional toolkit folder in case neither names it.
  for (const char* so : {"libnvrtc.so.13", "libnvrtc.so.12", "libnvrtc.so.11.2", "libnvrtc.so"}) {
    out.push_back({so, "system library search", {}});
  }
  for (const char* so : {"libnvrtc.so.13", "libnvrtc.so.12"}) {
    add_if_present(&out, std::string("/usr/local/cuda/lib64/") + so, "/usr/local/cuda",
                   "/usr/local/cuda/include");
  }
  return out;
}

NvrtcVerdict choose_nvrtc(const std::vector<FoundNvrtc>& found, int driver_version,
                          bool real_driver) {
  NvrtcVerdict v;
  std::optional<size_t> newest, newest_fitting;
  for (size_t i = 0; i < found.size(); ++i) {
    const int ver = found[i].version;
    if (!newest || ver > found[*newest].version) newest = i;
    if ((driver_version == 0 || ver <= driver_version) &&
        (!newest_fitting || ver > found[*newest_fitting].version)) {
      newest_fitting = i;
    }
  }
  if (newest_fitting) {
    v.chosen = newest_fitting;
    return v;
  }
  if (!newest) {
    v.error = "no NVRTC found";
    return v;
  }
  if (real_driver) {
    // Minor-version compatibility covers machine code, not PTX.
    v.chosen = newest;
    v.form = CodeForm::Cubin;
    return v;
  }
  const std::string driver = cuda_version_text(driver_version);
  const std::string package = driver_version >= 13000 ? "nvidia-cuda-nvrtc" : "nvidia-cuda-nvrtc-cu12";
  v.error = "the driver supports CUDA " + driver + "; the newest NVRTC found is " +
            cuda_version_text(found[*newest].version) + ": install a matching " + package +
            " (pip install \"" + package + "==" + driver + ".*\"), or update the driver";
  return v;
}

std::vector<std::string> extra_include_candidates(const std::string& nvrtc_include_dir) {
  std::vector<std::string> dirs;
  auto add = [&dirs](const std::string& d) {
    if (d.empty() || !file_exists(d + "/cuda_fp16.h")) return;
    for (const std::string& have : dirs) {
      if (have == d) return;
    }
    dirs.push_back(d);
  };
  if (const char* v = std::getenv("TESVAN_CUDA_INCLUDE")) add(v);
  add(nvrtc_include_dir);
  for (const std::string& root : python_package_roots()) {
    add(root + "/cu13/include");
    add(root + "/cuda_runtime/include");
  }
  return dirs;
}

}  // namespace tesvan::cu
