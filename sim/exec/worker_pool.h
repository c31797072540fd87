// Host threads that run the blocks of a launch, kept between launches
// together with their block scratch memory.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "exec/block.h"

namespace tvnsim::exec {

class WorkerPool {
 public:
  static WorkerPool& instance();
  ~WorkerPool();

  // Runs work(scratch) on the calling thread and on up to `helpers` pool
  // threads, and returns when every one of them has returned.  While another
  // launch holds the pool, the work runs on the calling thread alone.
  void run(int helpers, const std::function<void(BlockScratch&)>& work);

 private:
  WorkerPool() = default;
  void loop(size_t index);

  std::mutex run_mutex_;  // one launch at a time uses the helpers
  std::mutex m_;
  std::condition_variable wake_, finished_;
  std::vector<std::thread> threads_;
  std::vector<std::unique_ptr<BlockScratch>> scratch_;
  const std::function<void(BlockScratch&)>* job_ = nullptr;
  uint64_t generation_ = 0;
  int wanted_ = 0, taken_ = 0, done_ = 0;
  bool stop_ = false;
};

}  // namespace tvnsim::exec
