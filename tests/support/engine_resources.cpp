#include "support/engine_resources.h"

#include <map>
#include <mutex>

#include "kernel_build.h"

namespace tesvan::test {

const EngineResources* engine_resources(const std::string& target) {
  static const std::string tool = ptxas::find_ptxas();
  if (tool.empty()) return nullptr;
  static std::mutex mutex;
  static std::map<std::string, EngineResources> made;
  std::lock_guard<std::mutex> lock(mutex);
  auto it = made.find(target);
  if (it != made.end()) return &it->second;
  EngineResources r;
  Result<std::string> ptx = kernel_ptx(target);
  if (!ptx.ok()) {
    r.report.error = ptx.error().display();
  } else {
    r.entries = ptxas::ptx_entries(ptx.value());
    r.report = ptxas::assemble(tool, ptx.value(), target);
  }
  return &made.emplace(target, std::move(r)).first->second;
}

}  // namespace tesvan::test
