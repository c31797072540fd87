#include "support/engine_resources.h"

#include <map>
#include <mutex>

namespace tesvan::test {

const ptxas::EngineReport* engine_resources(const std::string& target) {
  static const std::string tool = ptxas::find_ptxas();
  if (tool.empty()) return nullptr;
  static std::mutex mutex;
  static std::map<std::string, ptxas::EngineReport> made;
  std::lock_guard<std::mutex> lock(mutex);
  auto it = made.find(target);
  if (it == made.end()) it = made.emplace(target, ptxas::engine_report(tool, target)).first;
  return &it->second;
}

}  // namespace tesvan::test
