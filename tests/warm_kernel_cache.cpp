// Compiles the engine's kernel source for every target into the PTX cache
// before the suites that load it start, so parallel suites do not each pay
// (and repeat) the cold NVRTC compile.
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "kernel_build.h"

int main() {
  const auto& targets = tesvan::kCompileTargets;
  const unsigned workers = std::max(1u, std::thread::hardware_concurrency());
  std::vector<int> failed(std::size(targets), 0);
  std::vector<std::thread> pool;
  for (unsigned w = 0; w < workers; ++w) {
    pool.emplace_back([&, w] {
      for (size_t i = w; i < std::size(targets); i += workers) {
        const auto start = std::chrono::steady_clock::now();
        tesvan::Result<std::string> ptx = tesvan::kernel_ptx(targets[i]);
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (ptx.ok()) {
          std::printf("%s: %zu bytes of PTX in %.1f s\n", targets[i], ptx.value().size(), s);
        } else {
          std::printf("%s: %s\n", targets[i], ptx.error().display().c_str());
          failed[i] = 1;
        }
      }
    });
  }
  for (std::thread& t : pool) t.join();
  for (int f : failed) {
    if (f) return 1;
  }
  return 0;
}
