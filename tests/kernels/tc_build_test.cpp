// The tensor-core kernels as built: present for every target the engine
// compiles for, and placed by ptxas without spills, with the shared memory
// their launches assume.  Needs NVRTC (and ptxas for the second test), no
// device.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>

#include "kernel_build.h"

namespace tesvan::test {
namespace {

const char* const kTargets[] = {"sm_80", "sm_86", "sm_89", "sm_90", "sm_100", "sm_120"};

std::vector<std::string> tc_kernel_names() {
  std::vector<std::string> names;
  for (const char* op : {"nn", "tn", "nt"}) {
    for (const char* tile : {"_tc_", "_tc64_"}) {
      for (const char* elem : {"bf16", "f16"})
        names.push_back(std::string("tesvan_") + op + tile + elem);
    }
  }
  return names;
}

TEST(TcBuild, EveryTargetHasAllTwelveKernels) {
  for (const char* target : kTargets) {
    Result<std::string> ptx = kernel_ptx(target);
    ASSERT_TRUE(ptx.ok()) << target << ": " << ptx.error().display();
    for (const std::string& name : tc_kernel_names()) {
      EXPECT_NE(ptx.value().find(".entry " + name + "("), std::string::npos)
          << target << " " << name;
    }
  }
}

struct PtxasEntry {
  int registers = -1, stack = -1, spill_stores = -1, spill_loads = -1, smem = 0;
};

// ptxas -v's report per entry function.
std::map<std::string, PtxasEntry> ptxas_report(const std::string& ptxas, const std::string& ptx,
                                               const char* target, std::string* error) {
  const std::filesystem::path file =
      std::filesystem::temp_directory_path() /
      ("tc_build_" + std::to_string(::getpid()) + "_" + target + ".ptx");
  std::ofstream(file) << ptx;
  const std::string cmd =
      ptxas + " -arch=" + target + " -v " + file.string() + " -o /dev/null 2>&1";
  std::string out;
  if (FILE* pipe = ::popen(cmd.c_str(), "r")) {
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
    if (::pclose(pipe) != 0) *error = "ptxas failed:\n" + out;
  } else {
    *error = "cannot run " + cmd;
  }
  std::filesystem::remove(file);

  std::map<std::string, PtxasEntry> entries;
  const std::regex entry_re("Compiling entry function '([^']+)'");
  const std::regex frame_re(
      "(\\d+) bytes stack frame, (\\d+) bytes spill stores, (\\d+) bytes spill loads");
  const std::regex regs_re("Used (\\d+) registers");
  const std::regex smem_re("(\\d+) bytes smem");
  std::istringstream lines(out);
  std::string line;
  PtxasEntry* cur = nullptr;
  std::smatch m;
  while (std::getline(lines, line)) {
    if (std::regex_search(line, m, entry_re)) cur = &entries[m[1]];
    if (cur == nullptr) continue;
    if (std::regex_search(line, m, frame_re)) {
      cur->stack = std::stoi(m[1]);
      cur->spill_stores = std::stoi(m[2]);
      cur->spill_loads = std::stoi(m[3]);
    }
    if (std::regex_search(line, m, regs_re)) cur->registers = std::stoi(m[1]);
    if (std::regex_search(line, m, smem_re)) cur->smem = std::stoi(m[1]);
  }
  return entries;
}

std::string find_ptxas() {
  for (const char* var : {"CUDA_HOME", "CUDA_PATH", "CUDA_ROOT"}) {
    if (const char* v = std::getenv(var)) {
      std::filesystem::path p = std::filesystem::path(v) / "bin" / "ptxas";
      if (std::filesystem::exists(p)) return p.string();
    }
  }
  return std::filesystem::exists("/usr/local/cuda/bin/ptxas") ? "/usr/local/cuda/bin/ptxas" : "";
}

// No local memory at all (the accumulators must stay in registers), and
// static shared memory only in the 64-tile kernels, 36864 bytes each.
TEST(TcBuild, NoSpillsAndSharedMemoryAsLaunched) {
  const std::string ptxas = find_ptxas();
  if (ptxas.empty()) GTEST_SKIP() << "ptxas not found";
  for (const char* target : {"sm_80", "sm_90"}) {
    Result<std::string> ptx = kernel_ptx(target);
    ASSERT_TRUE(ptx.ok()) << ptx.error().display();
    std::string error;
    const std::map<std::string, PtxasEntry> report =
        ptxas_report(ptxas, ptx.value(), target, &error);
    ASSERT_EQ(error, "");
    for (const std::string& name : tc_kernel_names()) {
      SCOPED_TRACE(std::string(target) + " " + name);
      auto it = report.find(name);
      ASSERT_NE(it, report.end());
      const PtxasEntry& e = it->second;
      EXPECT_EQ(e.stack, 0);
      EXPECT_EQ(e.spill_stores, 0);
      EXPECT_EQ(e.spill_loads, 0);
      EXPECT_EQ(e.smem, name.find("_tc64_") != std::string::npos ? 36864 : 0);
      EXPECT_GT(e.registers, 0);
      RecordProperty(std::string(target) + "_" + name + "_registers", e.registers);
    }
  }
}

}  // namespace
}  // namespace tesvan::test
