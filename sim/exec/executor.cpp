// execute(): the blocks of a launch, spread over host threads.  Blocks are
// independent, so any order gives the same memory for a correct kernel; a
// faulting launch reports the fault of the lowest-numbered faulting block,
// which is what running the blocks one after another would report.
#include "exec/executor.h"

#include <atomic>
#include <cstdio>
#include <mutex>

#include "exec/block.h"
#include "exec/worker_pool.h"
#include "numeric/fp_env.h"

namespace tvnsim {

using exec::BlockOutcome;
using exec::BlockScratch;
using exec::LaunchPlan;

namespace {

constexpr int kInvalidValue = 1;
constexpr int kInvalidHandle = 400;

ExecResult refuse(int code, std::string message) {
  ExecResult r;
  r.result = code;
  r.message = std::move(message);
  return r;
}

void describe_fault(const LaunchPlan& plan, uint64_t block, const exec::Fault& f, ExecResult* r) {
  const LaunchSpec& L = *plan.launch;
  r->result = f.result;
  r->block[0] = static_cast<uint32_t>(block % L.grid.x);
  r->block[1] = static_cast<uint32_t>((block / L.grid.x) % L.grid.y);
  r->block[2] = static_cast<uint32_t>(block / (static_cast<uint64_t>(L.grid.x) * L.grid.y));
  exec::thread_coords(L, f.thread, r->thread);
  r->instruction = plan.entry->text(plan.entry->code[f.pc].text);
  r->address = f.address;
  char where[200];
  std::snprintf(where, sizeof where, "kernel %s, block (%u,%u,%u), thread (%u,%u,%u)",
                plan.info->name.c_str(), r->block[0], r->block[1], r->block[2], r->thread[0],
                r->thread[1], r->thread[2]);
  char addr[40];
  std::snprintf(addr, sizeof addr, "0x%llx", static_cast<unsigned long long>(f.address));
  r->message = std::string(where) + ", instruction '" + r->instruction + "', address " + addr +
               ": " + f.reason;
}

}  // namespace

ExecResult execute(const LaunchSpec& launch, AddressSpace& memory, const ExecOptions& options) {
  const auto* program = dynamic_cast<const ptx::ProgramImpl*>(launch.program);
  if (program == nullptr || launch.entry >= program->info().entries.size()) {
    return refuse(kInvalidHandle, "launch of an unknown kernel");
  }
  const Dim3 g = launch.grid, b = launch.block;
  const uint64_t threads = static_cast<uint64_t>(b.x) * b.y * b.z;
  if (g.x == 0 || g.y == 0 || g.z == 0 || threads == 0 || threads > 1024) {
    return refuse(kInvalidValue, "invalid launch dimensions");
  }
  LaunchPlan plan;
  plan.entry = &program->entry(launch.entry);
  plan.constants = &program->constants(launch.entry);
  plan.info = &program->info().entries[launch.entry];
  plan.launch = &launch;
  plan.memory = &memory;
  plan.mma_model = num::mma_model_for(options.cc_major, options.cc_minor);
  plan.racecheck = options.racecheck;
  plan.counters = options.counters > 0;
  plan.shared_size = launch.dynamic_shared
                         ? plan.entry->dynamic_shared_offset + launch.dynamic_shared
                         : plan.entry->static_shared;
  if (launch.params == nullptr && plan.info->param_bytes != 0) {
    return refuse(kInvalidValue, "launch without its parameter buffer");
  }

  uint64_t blocks = static_cast<uint64_t>(g.x) * g.y * g.z;
  if (options.block_limit) blocks = std::min(blocks, options.block_limit);
  std::atomic<uint64_t> next{0};
  std::atomic<uint64_t> first_fault{UINT64_MAX};
  std::atomic<uint64_t> instructions{0};
  std::mutex fault_mutex;
  exec::Fault fault;
  std::vector<exec::SiteCount> sites;  // under fault_mutex

  // Runs on the calling thread and on pool helpers alike.
  auto work = [&](BlockScratch& scratch) {
    const num::DefaultFpEnv fp_env;
    BlockOutcome out;
    uint64_t count = 0;
    if (plan.counters) scratch.counters.begin(plan.entry->code.size());
    for (;;) {
      const uint64_t i = next.fetch_add(1);
      if (i >= blocks || i > first_fault.load()) break;
      run_block(plan, i, scratch, &out);
      count += out.instructions;
      if (out.faulted) {
        std::lock_guard<std::mutex> lk(fault_mutex);
        if (i < first_fault.load()) {
          first_fault.store(i);
          fault = std::move(out.fault);
        }
      }
    }
    instructions.fetch_add(count);
    if (plan.counters) {
      std::lock_guard<std::mutex> lk(fault_mutex);
      scratch.counters.add_to(sites);
    }
  };
  const uint64_t helpers = std::min<uint64_t>(blocks, options.host_threads > 1 ? options.host_threads : 1) - 1;
  exec::WorkerPool::instance().run(static_cast<int>(helpers), work);

  ExecResult r;
  r.thread_instructions = instructions.load();
  if (plan.counters) exec::report_counters(*plan.entry, sites, blocks, options.counters, &r);
  if (first_fault.load() != UINT64_MAX) describe_fault(plan, first_fault.load(), fault, &r);
  return r;
}

}  // namespace tvnsim
