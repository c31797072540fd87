// Construction cost: NVRTC's cold compile of the kernel source per target,
// then engine construction on this machine's device (or the simulated one)
// through the engine itself: once cold (empty cache: compile, cache write,
// module load, kernel table), then warm (cache hit) as a training process
// meets it, as the first engine of a fresh process, split into its phases,
// and again within one process.  NVRTC's compile is reported with the sizes
// of the PTX and of the cubin it makes; on a GPU, the first load of the
// cached PTX (the driver's JIT) and of the cached cubin, each in a fresh
// process with the driver's JIT cache off (CUDA_CACHE_DISABLE=1).
//
//   tesvan_construction [--targets sm_80,...|device] [--repeats N] [--json FILE]
//
// The engine runs against a fresh private cache folder, removed at the end;
// the NVRTC compiles touch no cache.  The fresh processes are this program
// again, run with --child create|phases|phases-cubin.
#include <dlfcn.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "cli.h"
#include "engine.h"
#include "engine_inner.h"
#include "json_writer.h"
#include "kernel_build.h"
#include "kernel_source.h"
#include "kernels.h"

namespace {

using namespace tesvan;
using Clock = std::chrono::steady_clock;

double since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// CPU seconds of the calling thread: NVRTC and the engine's construction
// work run on it, so the split between them holds on a busy machine too.
double thread_cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

struct Compile {
  std::string target;
  double seconds = 0;
  size_t ptx_bytes = 0;
  size_t cubin_bytes = 0;
  double cpu_seconds = 0;
  std::string error;
};

struct Device {
  std::string name;
  std::string target;
  bool simulated = false;
};

// The device the engine will bind, with the target the engine picks for it.
Result<Device> probe_device() {
  auto loaded = cu::cuda();
  if (!loaded.ok()) return std::move(loaded).error();
  const cu::CudaApi& api = *loaded.value();
  TVN_TRY(cu::check(api.cuInit(0), "cuInit: "));
  cu::CUdevice dev = 0;
  TVN_TRY(cu::check(api.cuDeviceGet(&dev, 0), "cuDeviceGet: "));
  char name[256] = {};
  TVN_TRY(cu::check(api.cuDeviceGetName(name, sizeof name, dev), "cuDeviceGetName: "));
  int major = 0, minor = 0;
  TVN_TRY(cu::check(api.cuDeviceGetAttribute(&major, cu::CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MAJOR, dev), "cc: "));
  TVN_TRY(cu::check(api.cuDeviceGetAttribute(&minor, cu::CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MINOR, dev), "cc: "));
  Result<const char*> target = compile_target(static_cast<uint32_t>(major), static_cast<uint32_t>(minor));
  if (!target.ok()) return std::move(target).error();
  return Device{name, target.value(), dlsym(api.handle, "tvnsim_reset") != nullptr};
}

// The first construction in this process: seconds.
Result<double> child_create() {
  const auto start = Clock::now();
  auto engine = EngineInner::create(0);
  const double seconds = since(start);
  if (!engine.ok()) return std::move(engine).error();
  return seconds;
}

// The warm path's steps one by one, as the engine takes them, as the first
// module work of this process: source and cache key, cache read, module
// load, kernel table.  Seconds of each.  With `cubin`, the cached cubin is
// the image loaded instead of the PTX (a GPU only).
Result<std::vector<double>> child_phases(const std::string& target, bool cubin) {
  auto loaded = cu::cuda();
  if (!loaded.ok()) return std::move(loaded).error();
  EngineStream es;
  es.api = loaded.value();
  cu::CUdevice dev = 0;
  TVN_TRY(cu::check(es.api->cuInit(0), "cuInit: "));
  TVN_TRY(cu::check(es.api->cuDeviceGet(&dev, 0), "cuDeviceGet: "));
  TVN_TRY(cu::check(es.api->cuDevicePrimaryCtxRetain(&es.ctx, dev), "context: "));
  TVN_TRY(cu::check(es.api->cuCtxSetCurrent(es.ctx), "context: "));
  TVN_TRY(cu::check(es.api->cuStreamCreate(&es.stream, 1), "stream: "));

  std::vector<double> t;
  auto start = Clock::now();
  KernelBuild build = plan_kernel_build(assemble_kernel_source(), target);
  t.push_back(since(start));
  start = Clock::now();
  std::optional<std::string> ptx = cubin ? read_cached_cubin(build) : read_cached_ptx(build);
  t.push_back(since(start));
  if (!ptx) return Error::cuda(std::string("the cache holds no ") + (cubin ? "cubin" : "PTX") + " for " + target);
  ModuleRef module;
  start = Clock::now();
  TVN_TRY(cu::check(load_module(*es.api, *ptx, &module), "module load: "));
  t.push_back(since(start));
  start = Clock::now();
  Result<Kernels> table = Kernels::from_module(es, module);
  t.push_back(since(start));
  if (!table.ok()) return std::move(table).error();
  return t;
}

// Runs this program with --child `mode`; the numbers it prints, or an error.
Result<std::vector<double>> in_fresh_process(const char* mode) {
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  const std::string cmd = "'" + self + "' --child " + mode + " 2>&1";
  std::string out;
  FILE* pipe = ::popen(cmd.c_str(), "r");
  if (!pipe) return Error::cuda("cannot run " + cmd);
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
  if (::pclose(pipe) != 0) return Error::cuda(std::string(mode) + " child failed: " + out);
  std::vector<double> values;
  std::istringstream in(out);
  for (double v; in >> v;) values.push_back(v);
  return values;
}

int run_child(const char* mode) {
  Result<Device> device = probe_device();
  if (!device.ok()) {
    std::printf("%s\n", device.error().display().c_str());
    return 1;
  }
  if (!std::strcmp(mode, "create")) {
    Result<double> t = child_create();
    if (!t.ok()) return std::printf("%s\n", t.error().display().c_str()), 1;
    std::printf("%.9f\n", t.value());
    return 0;
  }
  Result<std::vector<double>> t =
      child_phases(device.value().target, !std::strcmp(mode, "phases-cubin"));
  if (!t.ok()) return std::printf("%s\n", t.error().display().c_str()), 1;
  for (double v : t.value()) std::printf("%.9f ", v);
  std::printf("\n");
  return 0;
}

int usage() {
  std::fprintf(stderr, "usage: tesvan_construction [--targets T1,T2,...|device] [--repeats N] [--json FILE]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> targets = bench::kAllTargets;
  int repeats = 5;
  std::string json_path;
  if (argc == 3 && !std::strcmp(argv[1], "--child")) return run_child(argv[2]);
  for (int i = 1; i < argc; ++i) {
    const bool has_value = i + 1 < argc;
    if (!std::strcmp(argv[i], "--targets") && has_value) {
      targets = bench::split_list(argv[++i]);
    } else if (!std::strcmp(argv[i], "--repeats") && has_value) {
      repeats = std::max(1, std::atoi(argv[++i]));
    } else if (!std::strcmp(argv[i], "--json") && has_value) {
      json_path = argv[++i];
    } else {
      return usage();
    }
  }

  Result<Device> device = probe_device();
  if (!device.ok()) {
    std::fprintf(stderr, "no device: %s\n", device.error().display().c_str());
    return 1;
  }
  const Device& dev = device.value();
  std::printf("device: %s%s, target %s\n", dev.name.c_str(), dev.simulated ? " (simulated)" : "",
              dev.target.c_str());
  if (targets == std::vector<std::string>{"device"}) targets = {dev.target};

  int status = 0;
  std::vector<Compile> compiles;
  const std::string source = assemble_kernel_source();
  std::printf("\nNVRTC cold compile (%zu bytes of source)\n  %-8s %9s %9s %10s %11s\n",
              source.size(), "target", "wall s", "CPU s", "PTX bytes", "cubin bytes");
  for (const std::string& target : targets) {
    Compile c;
    c.target = target;
    const auto start = Clock::now();
    const double cpu_start = thread_cpu_seconds();
    // NVRTC builds the machine code for the real architecture either way;
    // fetching it costs a copy.
    Result<CompiledModule> ptx = compile_module(source, target, true);
    c.seconds = since(start);
    c.cpu_seconds = thread_cpu_seconds() - cpu_start;
    if (ptx.ok()) {
      c.ptx_bytes = ptx.value().ptx.size();
      c.cubin_bytes = ptx.value().cubin.size();
      std::printf("  %-8s %9.2f %9.2f %10zu %11zu\n", target.c_str(), c.seconds, c.cpu_seconds,
                  c.ptx_bytes, c.cubin_bytes);
    } else {
      c.error = ptx.error().display();
      std::printf("  %-8s failed: %s\n", target.c_str(), c.error.c_str());
      status = 1;
    }
    compiles.push_back(std::move(c));
  }

  // The engine against an empty private cache: cold once, then warm.
  char dir_template[] = "/tmp/tesvan-construction-XXXXXX";
  if (!mkdtemp(dir_template)) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::filesystem::path cache_dir = dir_template;
  setenv("TESVAN_KERNEL_CACHE", cache_dir.c_str(), 1);

  auto start = Clock::now();
  const double cold_cpu_start = thread_cpu_seconds();
  auto cold = EngineInner::create(0);
  const double cold_seconds = since(start);
  const double cold_cpu_seconds = thread_cpu_seconds() - cold_cpu_start;
  std::vector<double> fresh, again;
  std::vector<std::vector<double>> phases(4);  // key, read, load, table
  std::string error = cold.ok() ? "" : cold.error().display();
  if (cold.ok()) cold.value().reset();
  for (int i = 0; i < repeats && error.empty(); ++i) {
    Result<std::vector<double>> total = in_fresh_process("create");
    Result<std::vector<double>> steps = in_fresh_process("phases");
    if (!total.ok() || !steps.ok()) {
      error = (total.ok() ? steps.error() : total.error()).display();
      break;
    }
    if (total.value().size() != 1 || steps.value().size() != phases.size()) {
      error = "unexpected child output";
      break;
    }
    fresh.push_back(total.value()[0]);
    for (size_t p = 0; p < phases.size(); ++p) phases[p].push_back(steps.value()[p]);
    start = Clock::now();
    auto engine = EngineInner::create(0);
    again.push_back(since(start));
    if (!engine.ok()) error = engine.error().display();
  }
  // On a GPU, the first load of each image with the driver's JIT cache off:
  // what a fresh container or a read-only home pays on every start.
  std::vector<double> first_load;  // PTX, cubin
  if (!dev.simulated && error.empty()) {
    setenv("CUDA_CACHE_DISABLE", "1", 1);
    for (const char* mode : {"phases", "phases-cubin"}) {
      Result<std::vector<double>> t = in_fresh_process(mode);
      if (!t.ok() || t.value().size() != 4) {
        error = t.ok() ? "unexpected child output" : t.error().display();
        break;
      }
      first_load.push_back(t.value()[2]);
    }
    unsetenv("CUDA_CACHE_DISABLE");
  }
  std::error_code ec;
  std::filesystem::remove_all(cache_dir, ec);
  if (!error.empty()) {
    std::printf("\nengine construction failed: %s\n", error.c_str());
    return 1;
  }

  const double plan = median(phases[0]), read = median(phases[1]), load = median(phases[2]),
               table = median(phases[3]), fresh_median = median(fresh);
  std::printf("\nengine construction, %s (medians of %d)\n", dev.target.c_str(), repeats);
  std::printf("  cold (compile, cache write, load, table)   %9.1f ms\n", 1e3 * cold_seconds);
  std::printf("    thread CPU time                          %9.1f ms\n", 1e3 * cold_cpu_seconds);
  for (const Compile& c : compiles) {
    if (c.target == dev.target && c.error.empty()) {
      std::printf("    of which NVRTC compile (CPU, timed above)%9.1f ms\n", 1e3 * c.cpu_seconds);
      std::printf("    the rest (CPU, by difference)            %9.1f ms\n",
                  1e3 * (cold_cpu_seconds - c.cpu_seconds));
    }
  }
  std::printf("  warm, first engine of a fresh process      %9.1f ms\n", 1e3 * fresh_median);
  std::printf("    source and cache key                     %9.2f ms\n", 1e3 * plan);
  std::printf("    cache read                               %9.2f ms\n", 1e3 * read);
  std::printf("    module load                              %9.2f ms\n", 1e3 * load);
  std::printf("    kernel table (42 lookups)                %9.2f ms\n", 1e3 * table);
  std::printf("    rest: driver, context, stream, events    %9.2f ms  (warm minus the above)\n",
              1e3 * (fresh_median - plan - read - load - table));
  std::printf("  warm, again in the same process            %9.1f ms\n", 1e3 * median(again));
  if (first_load.size() == 2) {
    std::printf("  first cuModuleLoadData, CUDA_CACHE_DISABLE=1: PTX %.1f ms, cubin %.1f ms\n",
                1e3 * first_load[0], 1e3 * first_load[1]);
  }

  if (!json_path.empty()) {
    bench::JsonWriter j;
    j.begin_object();
    j.key("device").value(dev.name);
    j.key("simulated").value(dev.simulated);
    j.key("target").value(dev.target);
    j.key("source_bytes").value(static_cast<long long>(source.size()));
    j.key("nvrtc_compile").begin_array();
    for (const Compile& c : compiles) {
      j.begin_object();
      j.key("target").value(c.target);
      j.key("seconds").value(c.seconds);
      j.key("ptx_bytes").value(static_cast<long long>(c.ptx_bytes));
      j.key("cubin_bytes").value(static_cast<long long>(c.cubin_bytes));
      j.key("cpu_seconds").value(c.cpu_seconds);
      j.key("error").value(c.error);
      j.end_object();
    }
    j.end_array();
    j.key("cold_construction_s").value(cold_seconds);
    j.key("cold_construction_cpu_s").value(cold_cpu_seconds);
    if (first_load.size() == 2) {
      j.key("first_load_no_jit_cache_s").begin_object();
      j.key("ptx").value(first_load[0]);
      j.key("cubin").value(first_load[1]);
      j.end_object();
    }
    j.key("warm_fresh_process_s").begin_array();
    for (double w : fresh) j.value(w);
    j.end_array();
    j.key("warm_same_process_s").begin_array();
    for (double w : again) j.value(w);
    j.end_array();
    j.key("warm_phases_median_s").begin_object();
    j.key("source_and_key").value(plan);
    j.key("cache_read").value(read);
    j.key("module_load").value(load);
    j.key("kernel_table").value(table);
    j.end_object();
    j.end_object();
    std::ofstream out(json_path);
    out << j.str() << "\n";
    if (!out) {
      std::fprintf(stderr, "cannot write %s\n", json_path.c_str());
      return 1;
    }
    std::printf("\nwritten: %s\n", json_path.c_str());
  }
  return status;
}
