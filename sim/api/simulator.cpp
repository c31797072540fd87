#include "api/simulator.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <pthread.h>

#include "api/device_model.h"
#include "exec/executor.h"

namespace tvnsim::api {
namespace {

// The generation at which this thread made the primary context current.
thread_local uint64_t t_current_generation = 0;

template <size_t N>
void copy_text(char (&dst)[N], std::string_view src) {
  const size_t n = std::min(N - 1, src.size());
  std::memcpy(dst, src.data(), n);
  dst[n] = '\0';
}

}  // namespace

Simulator& simulator() {
  // Never destroyed: handles held by static objects elsewhere may still be
  // released during process exit.
  static Simulator* s = [] {
    auto* sim = new Simulator;
    // fork() waits for the call in progress, so that a child never starts
    // with the lock held by a thread it does not have.
    pthread_atfork([] { simulator().mu.lock(); }, [] { simulator().mu.unlock(); },
                   [] { simulator().mu.unlock(); });
    return sim;
  }();
  return *s;
}

void Simulator::ensure_config() {
  if (config_loaded_) return;
  std::string warnings;
  apply_config(config_from_environment(&warnings));
  counters_level = counters_from_environment(&warnings);
  block_limit = 0;
  if (!warnings.empty()) std::fputs(warnings.c_str(), stderr);
}

void Simulator::apply_config(const TvnSimConfig& c) {
  config = c;
  memory.set_capacity(c.memory_bytes);
  config_loaded_ = true;
}

CUcontext Simulator::context_handle() const {
  return make_handle<CUcontext>((static_cast<uint64_t>(HandleKind::Context) << 48) | 1);
}

bool Simulator::is_current() const { return t_current_generation == generation_; }

void Simulator::set_current(bool current) { t_current_generation = current ? generation_ : 0; }

CUresult Simulator::require_context() {
  if (!is_current() || ctx_refs == 0) {
    return fail(CUDA_ERROR_INVALID_CONTEXT, "no active context is current on this thread");
  }
  return sticky;
}

CUresult Simulator::fail(CUresult r, std::string why) {
  last_error = std::move(why);
  return r;
}

Stream* Simulator::stream(CUstream h) {
  const uint64_t v = handle_value(h);
  if (v == 0 || h == CU_STREAM_LEGACY || h == CU_STREAM_PER_THREAD) return &scheduler.legacy();
  return scheduler.find_live(v);
}

CUresult Simulator::settle(int r) {
  if (r == 0) return CUDA_SUCCESS;
  sticky = static_cast<CUresult>(r);
  scheduler.drop_pending();
  pending_frees.clear();
  return sticky;
}

CUresult Simulator::sync_stream(uint64_t stream, uint64_t seq) {
  return settle(scheduler.run_through(stream, seq, *this));
}

CUresult Simulator::sync_all() { return settle(scheduler.run_all(*this)); }

TvnSimLaunch* Simulator::launch_entry(uint64_t sequence) {
  if (sequence < launch_base || sequence - launch_base >= launches.size()) return nullptr;
  return &launches[sequence - launch_base];
}

void Simulator::reset_context() {
  scheduler.clear();
  events.clear();
  functions.clear();
  modules.clear();  // module globals go with their programs
  memory.release_all();
  pending_frees.clear();
  stream_ordered.clear();
  captures.clear();
  sticky = CUDA_SUCCESS;
}

void Simulator::reset_all() {
  reset_context();
  ctx_refs = 0;
  initialized = false;
  ++generation_;
  launches.clear();
  counted.clear();
  launch_base = next_launch = 0;
  calls.reset();
  has_fault = false;
  fault = TvnSimFault{};
  last_error.clear();
  config_loaded_ = false;
  ensure_config();
}

int Simulator::run(Op& op) {
  try {
    return std::visit([this](auto& w) { return run_work(w); }, op.work);
  } catch (...) {
    // A host failure part-way through (a block's scratch memory could not be
    // had) leaves device memory as undefined as a device fault does.
    const char* what = "";
    TvnSimFault f{};
    f.result = classify_exception(&what);
    std::snprintf(f.message, sizeof f.message, "host failure while running queued work: %s", what);
    record_fault(f);
    return f.result;
  }
}

int Simulator::run_work(LaunchWork& w) {
  LaunchSpec spec;
  spec.program = w.program.get();
  spec.entry = w.entry;
  spec.grid = w.grid;
  spec.block = w.block;
  spec.dynamic_shared = w.dynamic_shared;
  spec.params = w.params.data();
  ExecOptions options;
  options.racecheck = config.racecheck != 0;
  options.host_threads = std::max(1, config.host_threads);
  options.cc_major = config.cc_major;
  options.cc_minor = config.cc_minor;
  options.counters = counters_level;
  options.block_limit = block_limit;
  ExecResult r = execute(spec, memory, options);

  if (TvnSimLaunch* entry = launch_entry(w.sequence)) {
    entry->executed = 1;
    entry->thread_instructions = r.thread_instructions;
    if (r.counted) counted[w.sequence] = Counted{r.counters, std::move(r.sites)};
  }
  if (r.result == 0) return 0;
  TvnSimFault f{};
  f.result = r.result;
  copy_text(f.kernel, w.program->info().entries[w.entry].name);
  std::copy(std::begin(r.block), std::end(r.block), f.block);
  std::copy(std::begin(r.thread), std::end(r.thread), f.thread);
  copy_text(f.instruction, r.instruction);
  f.address = r.address;
  copy_text(f.message, r.message);
  record_fault(f);
  return r.result;
}

int Simulator::memory_fault(const char* what, uint64_t address, uint64_t bytes) {
  TvnSimFault f{};
  f.result = CUDA_ERROR_ILLEGAL_ADDRESS;
  f.address = address;
  std::snprintf(f.message, sizeof f.message,
                "%s of %llu bytes at 0x%llx touches memory that is no longer allocated", what,
                static_cast<unsigned long long>(bytes), static_cast<unsigned long long>(address));
  record_fault(f);
  return CUDA_ERROR_ILLEGAL_ADDRESS;
}

int Simulator::run_work(MemsetWork& w) {
  uint8_t* p = memory.resolve(w.dst, w.count * w.width);
  if (!p) return memory_fault("memset", w.dst, w.count * w.width);
  if (w.width == 1) {
    std::memset(p, static_cast<int>(w.value & 0xFF), w.count);
  } else {
    for (uint64_t i = 0; i < w.count; ++i) std::memcpy(p + 4 * i, &w.value, 4);
  }
  return 0;
}

int Simulator::run_work(CopyWork& w) {
  const uint8_t* from = nullptr;
  uint8_t* to = nullptr;
  if (w.host_dst) {
    to = static_cast<uint8_t*>(w.host_dst);
  } else if (!(to = memory.resolve(w.dst, w.bytes))) {
    return memory_fault("memcpy destination", w.dst, w.bytes);
  }
  if (!w.snapshot.empty()) {
    from = w.snapshot.data();
  } else if (!(from = memory.resolve(w.src, w.bytes))) {
    return memory_fault("memcpy source", w.src, w.bytes);
  }
  std::memmove(to, from, w.bytes);
  return 0;
}

int Simulator::run_work(FreeWork& w) {
  pending_frees.erase(w.base);
  stream_ordered.erase(w.base);
  memory.release(w.base);
  return 0;
}

void Simulator::record_fault(TvnSimFault f) {
  fault = f;
  has_fault = true;
  if (config.fault_stderr) std::fprintf(stderr, "tvnsim: device fault: %s\n", f.message);
}

Entry::Entry(Fn f, Need need) : sim(simulator()), lock_(sim.mu) {
  if (std::optional<int> injected = sim.calls.enter(f)) {
    result_ = sim.fail(static_cast<CUresult>(*injected),
                       "injected result for " + std::string(function_name(f)));
    return;
  }
  if (need == Need::Nothing) return;
  if (!sim.initialized) {
    result_ = sim.fail(CUDA_ERROR_NOT_INITIALIZED, "cuInit has not been called");
    return;
  }
  if (need == Need::Context) result_ = sim.require_context();
}

}  // namespace tvnsim::api
