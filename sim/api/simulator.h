// The simulated device's state, shared by every exported function: the
// configuration, the one device with its primary context, the objects the
// context owns, the launch log, call counts and injected faults.  One global
// lock guards all of it; every exported function holds it for its whole run
// (an Entry), including the execution of the work a synchronising call runs.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "api/cuda_api.h"
#include "api/exports.h"
#include "api/scheduler.h"
#include "core/address_space.h"
#include "ptx/module.h"
#include "tvnsim.h"

namespace tvnsim::api {

// Handle values carry a kind tag in their top bits and a serial number that
// is never reused, so a stale handle, or one of the wrong kind, is refused
// instead of reaching another object.
enum class HandleKind : uint64_t {
  Context = 0xC7,
  Stream = 0x57,
  Event = 0xE7,
  Module = 0x3D,
  Function = 0xF7
};

template <class H>
uint64_t handle_value(H h) {
  return reinterpret_cast<uint64_t>(h);
}
template <class H>
H make_handle(uint64_t value) {
  return reinterpret_cast<H>(value);
}

struct Event {
  unsigned flags = 0;
  bool recorded = false;
  uint64_t stream = 0;  // where the last record was queued
  uint64_t seq = 0;     // its marker
  uint64_t capture = 0; // the capture its last record was made in (0: none)
};

struct Function {
  std::shared_ptr<const Program> program;
  uint32_t entry = 0;
  int max_threads = 1024;      // per block, from .maxntid / .reqntid
  int max_dynamic_shared = 0;  // CU_FUNC_ATTRIBUTE_MAX_DYNAMIC_SHARED_SIZE_BYTES
  int carveout = -1;           // CU_FUNC_ATTRIBUTE_PREFERRED_SHARED_MEMORY_CARVEOUT
  const EntryInfo& info() const { return program->info().entries[entry]; }
};

struct Module {
  std::shared_ptr<const Program> program;
  std::vector<uint64_t> functions;  // handle per entry; 0 until looked up
};

// What an exported function needs before it may act.
enum class Need { Nothing, Init, Context };

class Simulator final : public OpRunner {
 public:
  std::mutex mu;

  TvnSimConfig config{};
  bool initialized = false;
  int ctx_refs = 0;
  CUresult sticky = CUDA_SUCCESS;  // a device fault poisons the context

  AddressSpace memory;
  Scheduler scheduler;
  std::unordered_map<uint64_t, Event> events;
  std::unordered_map<uint64_t, Module> modules;
  std::unordered_map<uint64_t, Function> functions;
  std::unordered_set<uint64_t> pending_frees;  // queued by cuMemFreeAsync, not yet run
  std::unordered_set<uint64_t> stream_ordered;  // live allocations made by cuMemAllocAsync
  // Streams being captured, each with the capture it belongs to: the id of
  // the stream cuStreamBeginCapture was called on.  No graph is built; the
  // work still runs as queued.
  std::unordered_map<uint64_t, uint64_t> captures;

  std::vector<TvnSimLaunch> launches;  // the log; launches[i].sequence == launch_base + i
  uint64_t launch_base = 0;
  uint64_t next_launch = 0;
  // Counters of logged launches that ran with them on, by sequence.
  struct Counted {
    TvnSimCounters totals{};
    std::vector<TvnSimSiteCounters> sites;
  };
  std::unordered_map<uint64_t, Counted> counted;
  int counters_level = 1;    // tvnsim_set_counters
  uint64_t block_limit = 0;  // tvnsim_set_block_limit

  CallLog calls;
  bool has_fault = false;
  TvnSimFault fault{};
  std::string last_error;
  std::string last_error_copy;  // what tvnsim_last_error_message handed out

  // Loads the configuration from the environment unless it is loaded.
  void ensure_config();
  void apply_config(const TvnSimConfig& c);

  uint64_t new_handle(HandleKind kind) {
    return (static_cast<uint64_t>(kind) << 48) | next_serial_++;
  }
  CUcontext context_handle() const;
  bool is_current() const;
  void set_current(bool current);
  CUresult require_context();

  // Records why a call failed (tvnsim_last_error_message) and returns r.
  CUresult fail(CUresult r, std::string why);

  // The stream a handle names: the legacy stream for 0, CU_STREAM_LEGACY and
  // CU_STREAM_PER_THREAD; nullptr for anything else that is not live.
  Stream* stream(CUstream h);

  // Runs work through the scheduler; a fault becomes the context's sticky
  // error and drops everything still queued.
  CUresult sync_stream(uint64_t stream, uint64_t seq);
  CUresult sync_all();

  // The log entry of a launch, or nullptr once the log was cleared.
  TvnSimLaunch* launch_entry(uint64_t sequence);

  // Everything the primary context owns goes, as when it is released to zero.
  void reset_context();
  // Back to the state of a freshly loaded library.
  void reset_all();

  int run(Op& op) override;

 private:
  int run_work(LaunchWork& w);
  int run_work(MemsetWork& w);
  int run_work(CopyWork& w);
  int run_work(FreeWork& w);
  int run_work(MarkerWork&) { return 0; }
  int run_work(WaitWork&) { return 0; }
  int memory_fault(const char* what, uint64_t address, uint64_t bytes);
  void record_fault(TvnSimFault f);
  CUresult settle(int r);

  bool config_loaded_ = false;
  uint64_t generation_ = 1;  // bumped by reset_all: every thread loses its current context
  uint64_t next_serial_ = 1;
};

Simulator& simulator();

// The start of every exported function: takes the global lock, counts the
// call, returns an injected result if one is due, then checks that the driver
// is initialised and, for calls that need one, that a usable context is
// current (a device fault leaves its error sticky on the context).
class Entry {
 public:
  Entry(Fn f, Need need);
  bool failed() const { return result_ != CUDA_SUCCESS; }
  CUresult result() const { return result_; }
  Simulator& sim;

 private:
  std::lock_guard<std::mutex> lock_;
  CUresult result_ = CUDA_SUCCESS;
};

}  // namespace tvnsim::api
