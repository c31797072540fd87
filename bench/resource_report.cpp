// Kernel resource report: registers, spills, stack and static shared memory
// of every kernel, per compilation target, for the PTX the engine builds
// (same source, options and cache).  Prints one table per target and a
// summary, and writes the numbers as JSON.
//
//   tesvan_resource_report [--targets sm_80,sm_90] [--json FILE]
//
// Exits 1 when a target cannot be built or assembled.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "cli.h"
#include "json_writer.h"
#include "kernel_build.h"
#include "support/ptxas_report.h"

namespace {

using tesvan::ptxas::EngineReport;
using tesvan::ptxas::FunctionResources;

// The kernels in text order, then any device function ptxas kept apart.
std::vector<const FunctionResources*> rows(const EngineReport& r) {
  std::vector<const FunctionResources*> out;
  for (const std::string& name : r.entries) {
    if (const FunctionResources* f = r.ptxas.find(name)) out.push_back(f);
  }
  for (const FunctionResources& f : r.ptxas.functions) {
    if (!f.entry) out.push_back(&f);
  }
  return out;
}

void print_table(const EngineReport& r) {
  std::printf("\n%s  (%zu kernels, PTX %.1f s, ptxas %.1f s)\n", r.target.c_str(),
              r.entries.size(), r.ptx_seconds, r.ptxas.seconds);
  std::printf("  %-36s %5s %8s %8s %7s %6s %5s\n", "kernel", "regs", "spill st", "spill ld",
              "smem", "stack", "bar");
  for (const FunctionResources* f : rows(r)) {
    std::printf("  %-36s %5d %8d %8d %7d %6d %5d%s%s\n", f->name.c_str(), f->registers,
                f->spill_stores, f->spill_loads, f->shared, f->stack, f->barriers,
                f->entry ? "" : "  (device function)", f->spills() ? "  SPILLS" : "");
  }
}

void print_summary(const std::vector<EngineReport>& reports) {
  std::printf("\n%-7s %7s %-34s %-34s %8s %8s\n", "target", "kernels", "most registers",
              "most static smem", "spilling", "stack>0");
  for (const EngineReport& r : reports) {
    if (!r.ptxas.error.empty()) {
      std::printf("%-7s  failed\n", r.target.c_str());
      continue;
    }
    const FunctionResources* most_regs = nullptr;
    const FunctionResources* most_smem = nullptr;
    int spilling = 0, with_stack = 0;
    for (const FunctionResources* f : rows(r)) {
      if (!most_regs || f->registers > most_regs->registers) most_regs = f;
      if (!most_smem || f->shared > most_smem->shared) most_smem = f;
      spilling += f->spills();
      with_stack += f->stack > 0;
    }
    char regs[96] = "-", smem[96] = "-";
    if (most_regs) std::snprintf(regs, sizeof regs, "%d %s", most_regs->registers, most_regs->name.c_str());
    if (most_smem) std::snprintf(smem, sizeof smem, "%d %s", most_smem->shared, most_smem->name.c_str());
    std::printf("%-7s %7zu %-34s %-34s %8d %8d\n", r.target.c_str(), r.entries.size(), regs, smem,
                spilling, with_stack);
  }
}

std::string to_json(const std::vector<EngineReport>& reports, const std::string& ptxas_version) {
  tesvan::bench::JsonWriter j;
  j.begin_object();
  j.key("ptxas").value(ptxas_version);
  j.key("targets").begin_array();
  for (const EngineReport& r : reports) {
    j.begin_object();
    j.key("target").value(r.target);
    j.key("group_m").value(tesvan::group_m_for_target(r.target));
    j.key("error").value(r.ptxas.error);
    j.key("ptx_seconds").value(r.ptx_seconds);
    j.key("ptxas_seconds").value(r.ptxas.seconds);
    j.key("kernels").begin_array();
    for (const FunctionResources* f : rows(r)) {
      j.begin_object();
      j.key("name").value(f->name);
      j.key("entry").value(f->entry);
      j.key("registers").value(f->registers);
      j.key("spill_stores").value(f->spill_stores);
      j.key("spill_loads").value(f->spill_loads);
      j.key("static_shared").value(f->shared);
      j.key("stack").value(f->stack);
      j.key("barriers").value(f->barriers);
      j.key("constant_bank0").value(f->constant);
      j.end_object();
    }
    j.end_array();
    j.end_object();
  }
  j.end_array();
  j.end_object();
  return j.str();
}

int usage() {
  std::fprintf(stderr,
               "usage: tesvan_resource_report [--targets T1,T2,...] [--json FILE]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> targets = tesvan::bench::kAllTargets;
  std::string json_path;
  for (int i = 1; i < argc; ++i) {
    const bool has_value = i + 1 < argc;
    if (!std::strcmp(argv[i], "--targets") && has_value) {
      targets = tesvan::bench::split_list(argv[++i]);
    } else if (!std::strcmp(argv[i], "--json") && has_value) {
      json_path = argv[++i];
    } else {
      return usage();
    }
  }
  const std::string ptxas = tesvan::ptxas::find_ptxas();
  if (ptxas.empty()) {
    std::fprintf(stderr, "ptxas not found (set CUDA_HOME)\n");
    return 1;
  }
  const std::string version = tesvan::ptxas::version(ptxas);
  std::printf("ptxas: %s (%s)\n", ptxas.c_str(), version.c_str());

  std::vector<EngineReport> reports;
  int status = 0;
  for (const std::string& target : targets) {
    reports.push_back(tesvan::ptxas::engine_report(ptxas, target));
    const EngineReport& r = reports.back();
    if (!r.ptxas.error.empty()) {
      std::fprintf(stderr, "%s: %s\n", target.c_str(), r.ptxas.error.c_str());
      status = 1;
      continue;
    }
    print_table(r);
    for (const std::string& name : r.entries) {
      if (!r.ptxas.find(name)) {
        std::fprintf(stderr, "%s: %s missing from the ptxas report\n", target.c_str(), name.c_str());
        status = 1;
      }
    }
  }
  print_summary(reports);

  if (!json_path.empty()) {
    std::ofstream out(json_path);
    out << to_json(reports, version) << "\n";
    if (!out) {
      std::fprintf(stderr, "cannot write %s\n", json_path.c_str());
      status = 1;
    } else {
      std::printf("\nwritten: %s\n", json_path.c_str());
    }
  }
  return status;
}
