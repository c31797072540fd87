#include "ptx/module_cache.h"

#include <list>
#include <mutex>

namespace tvnsim::ptx {
namespace {

// One per compilation target the engine knows, so that a test process
// switching between simulated architectures keeps all of them.
constexpr size_t kCapacity = 6;

struct Cache {
  std::mutex mutex;
  std::list<std::shared_ptr<const DecodedModule>> modules;  // most recent first
};

Cache& cache() {
  static Cache c;
  return c;
}

}  // namespace

std::shared_ptr<const DecodedModule> find_decoded(std::string_view text) {
  Cache& c = cache();
  std::lock_guard<std::mutex> lock(c.mutex);
  for (auto it = c.modules.begin(); it != c.modules.end(); ++it) {
    if ((*it)->source == text) {
      c.modules.splice(c.modules.begin(), c.modules, it);
      return c.modules.front();
    }
  }
  return nullptr;
}

void remember_decoded(std::shared_ptr<const DecodedModule> module) {
  Cache& c = cache();
  std::lock_guard<std::mutex> lock(c.mutex);
  c.modules.push_front(std::move(module));
  if (c.modules.size() > kCapacity) c.modules.pop_back();
}

}  // namespace tvnsim::ptx
