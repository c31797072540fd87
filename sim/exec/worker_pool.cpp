#include "exec/worker_pool.h"

#include <pthread.h>

#include <utility>

namespace tvnsim::exec {

WorkerPool& WorkerPool::instance() {
  static WorkerPool* pool = [] {
    auto* p = new WorkerPool;
    pthread_atfork(nullptr, nullptr, &WorkerPool::start_afresh_in_child);
    return p;
  }();
  return *pool;
}

// Runs in the child with no other thread alive: the old state (its threads'
// handles, possibly held locks) is left behind unreleased.
void WorkerPool::start_afresh_in_child() { instance().state_ = new State; }

void WorkerPool::run(int helpers, const std::function<void(BlockScratch&)>& work) {
  thread_local BlockScratch caller_scratch;
  State& s = *state_;
  std::unique_lock<std::mutex> busy(s.run_mutex, std::try_to_lock);
  if (!busy || helpers <= 0) {
    work(caller_scratch);
    return;
  }
  {
    std::lock_guard<std::mutex> lk(s.m);
    while (s.threads.size() < static_cast<size_t>(helpers)) {
      s.scratch.push_back(std::make_unique<BlockScratch>());
      s.threads.emplace_back(&WorkerPool::loop, &s, s.threads.size());
    }
    s.job = &work;
    s.error = nullptr;
    s.wanted = helpers;
    s.taken = 0;
    s.done = 0;
    ++s.generation;
  }
  s.wake.notify_all();
  // The helpers use `work` until they are done: wait for them however the
  // caller's share ends.
  std::exception_ptr error;
  try {
    work(caller_scratch);
  } catch (...) {
    error = std::current_exception();
  }
  std::unique_lock<std::mutex> lk(s.m);
  s.finished.wait(lk, [&] { return s.done == s.wanted; });
  s.job = nullptr;
  if (!error) error = std::exchange(s.error, nullptr);
  lk.unlock();
  if (error) std::rethrow_exception(error);
}

void WorkerPool::loop(State* s, size_t index) {
  uint64_t seen = 0;
  std::unique_lock<std::mutex> lk(s->m);
  for (;;) {
    s->wake.wait(lk, [&] { return s->generation != seen; });
    seen = s->generation;
    if (s->taken >= s->wanted) continue;
    ++s->taken;
    const auto* job = s->job;
    BlockScratch& scratch = *s->scratch[index];
    lk.unlock();
    std::exception_ptr error;
    try {
      (*job)(scratch);
    } catch (...) {
      error = std::current_exception();
    }
    lk.lock();
    if (error && !s->error) s->error = error;
    if (++s->done == s->wanted) s->finished.notify_all();
  }
}

}  // namespace tvnsim::exec
