// Host threads that run the blocks of a launch, kept between launches
// together with their block scratch memory.
#pragma once

#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "exec/block.h"

namespace tvnsim::exec {

class WorkerPool {
 public:
  // The process's pool.  Never destroyed: at exit another thread may still
  // be running blocks on it.  In a child made by fork() it starts empty, as
  // the parent's threads do not exist there.
  static WorkerPool& instance();

  // Runs work(scratch) on the calling thread and on up to `helpers` pool
  // threads, and returns when every one of them has returned.  While another
  // launch holds the pool, the work runs on the calling thread alone.  When
  // any of them throws, the first exception is rethrown, still only after
  // all have returned.
  void run(int helpers, const std::function<void(BlockScratch&)>& work);

 private:
  // Everything the helpers share with run().  A forked child abandons its
  // copy: the threads it names are gone and its locks may be held by them.
  struct State {
    std::mutex run_mutex;  // one launch at a time uses the helpers
    std::mutex m;
    std::condition_variable wake, finished;
    std::vector<std::thread> threads;
    std::vector<std::unique_ptr<BlockScratch>> scratch;
    const std::function<void(BlockScratch&)>* job = nullptr;
    std::exception_ptr error;  // the first a helper threw during the job
    uint64_t generation = 0;
    int wanted = 0, taken = 0, done = 0;
  };

  WorkerPool() : state_(new State) {}
  static void loop(State* s, size_t index);
  static void start_afresh_in_child();

  State* state_;
};

}  // namespace tvnsim::exec
