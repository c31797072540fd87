// The control API of tvnsim.h: configuration, launch log, fault injection,
// resource accounting and fault reports, for tests.
#include <cstring>

#include "api/simulator.h"

using tvnsim::api::Simulator;

namespace {

// The control API takes the global lock but, unlike driver calls, is neither
// counted nor subject to injection.
struct Locked {
  Locked() : sim(tvnsim::api::simulator()), lock(sim.mu) { sim.ensure_config(); }
  Simulator& sim;
  std::lock_guard<std::mutex> lock;
};

// The counters of the launch log's entry `index`, if it ran with them.
const Simulator::Counted* counted_launch(Simulator& sim, size_t index) {
  if (index >= sim.launches.size()) return nullptr;
  const auto it = sim.counted.find(sim.launches[index].sequence);
  return it == sim.counted.end() ? nullptr : &it->second;
}

}  // namespace

extern "C" {

void tvnsim_get_config(TvnSimConfig* out) try {
  Locked l;
  if (out) *out = l.sim.config;
} TVNSIM_CONTROL_CATCH()

void tvnsim_set_config(const TvnSimConfig* cfg) try {
  Locked l;
  if (cfg) l.sim.apply_config(*cfg);
} TVNSIM_CONTROL_CATCH()

void tvnsim_reset(void) try {
  Locked l;
  l.sim.reset_all();
} TVNSIM_CONTROL_CATCH()

size_t tvnsim_launch_count(void) try {
  Locked l;
  return l.sim.launches.size();
} TVNSIM_CONTROL_CATCH(0)

int tvnsim_launch_get(size_t index, TvnSimLaunch* out) try {
  Locked l;
  if (!out || index >= l.sim.launches.size()) return -1;
  *out = l.sim.launches[index];
  return 0;
} TVNSIM_CONTROL_CATCH(-1)

void tvnsim_launch_clear(void) try {
  Locked l;
  l.sim.launches.clear();
  l.sim.counted.clear();
  l.sim.launch_base = l.sim.next_launch;
} TVNSIM_CONTROL_CATCH()

void tvnsim_set_counters(int level) try {
  Locked l;
  l.sim.counters_level = level < 0 ? 0 : level > 2 ? 2 : level;
} TVNSIM_CONTROL_CATCH()

int tvnsim_get_counters(void) try {
  Locked l;
  return l.sim.counters_level;
} TVNSIM_CONTROL_CATCH(0)

void tvnsim_set_block_limit(uint64_t blocks) try {
  Locked l;
  l.sim.block_limit = blocks;
} TVNSIM_CONTROL_CATCH()

int tvnsim_launch_counters(size_t index, TvnSimCounters* out) try {
  Locked l;
  const Simulator::Counted* c = counted_launch(l.sim, index);
  if (!out || !c) return -1;
  *out = c->totals;
  return 0;
} TVNSIM_CONTROL_CATCH(-1)

size_t tvnsim_launch_site_count(size_t index) try {
  Locked l;
  const Simulator::Counted* c = counted_launch(l.sim, index);
  return c ? c->sites.size() : 0;
} TVNSIM_CONTROL_CATCH(0)

int tvnsim_launch_site(size_t index, size_t site, TvnSimSiteCounters* out) try {
  Locked l;
  const Simulator::Counted* c = counted_launch(l.sim, index);
  if (!out || !c || site >= c->sites.size()) return -1;
  *out = c->sites[site];
  return 0;
} TVNSIM_CONTROL_CATCH(-1)

void tvnsim_inject(const char* function, unsigned nth, int result) try {
  Locked l;
  const auto f = function ? tvnsim::api::function_by_name(function) : std::nullopt;
  if (!f) {
    l.sim.last_error = std::string("tvnsim_inject: no exported driver function named ") +
                       (function ? function : "(null)");
    return;
  }
  l.sim.calls.inject(*f, nth, result);
} TVNSIM_CONTROL_CATCH()

void tvnsim_inject_exception(const char* function, unsigned nth) try {
  Locked l;
  const auto f = function ? tvnsim::api::function_by_name(function) : std::nullopt;
  if (!f) {
    l.sim.last_error = std::string("tvnsim_inject_exception: no exported driver function named ") +
                       (function ? function : "(null)");
    return;
  }
  l.sim.calls.inject_exception(*f, nth);
} TVNSIM_CONTROL_CATCH()

void tvnsim_clear_injections(void) try {
  Locked l;
  l.sim.calls.clear_injections();
} TVNSIM_CONTROL_CATCH()

uint64_t tvnsim_call_count(const char* function) try {
  Locked l;
  const auto f = function ? tvnsim::api::function_by_name(function) : std::nullopt;
  return f ? l.sim.calls.count(*f) : 0;
} TVNSIM_CONTROL_CATCH(0)

void tvnsim_resources(TvnSimResources* out) try {
  Locked l;
  if (!out) return;
  out->allocations = l.sim.memory.user_allocations();
  out->allocated_bytes = l.sim.memory.user_bytes();
  out->streams = l.sim.scheduler.live_streams();
  out->events = l.sim.events.size();
  out->modules = l.sim.modules.size();
  out->primary_ctx_refs = static_cast<uint64_t>(l.sim.ctx_refs);
} TVNSIM_CONTROL_CATCH()

int tvnsim_last_fault(TvnSimFault* out) try {
  Locked l;
  if (!l.sim.has_fault) return -1;
  if (out) *out = l.sim.fault;
  return 0;
} TVNSIM_CONTROL_CATCH(-1)

const char* tvnsim_last_error_message(void) try {
  Locked l;
  l.sim.last_error_copy = l.sim.last_error;
  return l.sim.last_error_copy.c_str();
} TVNSIM_CONTROL_CATCH("")

void tvnsim_drain(void) try {
  Locked l;
  l.sim.sync_all();
} TVNSIM_CONTROL_CATCH()

}  // extern "C"
