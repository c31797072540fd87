#include "exec/worker_pool.h"

namespace tvnsim::exec {

WorkerPool& WorkerPool::instance() {
  static WorkerPool pool;
  return pool;
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard<std::mutex> lk(m_);
    stop_ = true;
  }
  wake_.notify_all();
  for (std::thread& t : threads_) t.join();
}

void WorkerPool::run(int helpers, const std::function<void(BlockScratch&)>& work) {
  thread_local BlockScratch caller_scratch;
  std::unique_lock<std::mutex> busy(run_mutex_, std::try_to_lock);
  if (!busy || helpers <= 0) {
    work(caller_scratch);
    return;
  }
  {
    std::lock_guard<std::mutex> lk(m_);
    while (threads_.size() < static_cast<size_t>(helpers)) {
      scratch_.push_back(std::make_unique<BlockScratch>());
      threads_.emplace_back(&WorkerPool::loop, this, threads_.size());
    }
    job_ = &work;
    wanted_ = helpers;
    taken_ = 0;
    done_ = 0;
    ++generation_;
  }
  wake_.notify_all();
  work(caller_scratch);
  std::unique_lock<std::mutex> lk(m_);
  finished_.wait(lk, [&] { return done_ == wanted_; });
  job_ = nullptr;
}

void WorkerPool::loop(size_t index) {
  uint64_t seen = 0;
  std::unique_lock<std::mutex> lk(m_);
  for (;;) {
    wake_.wait(lk, [&] { return stop_ || generation_ != seen; });
    if (stop_) return;
    seen = generation_;
    if (taken_ >= wanted_) continue;
    ++taken_;
    const auto* job = job_;
    BlockScratch& scratch = *scratch_[index];
    lk.unlock();
    (*job)(scratch);
    lk.lock();
    if (++done_ == wanted_) finished_.notify_all();
  }
}

}  // namespace tvnsim::exec
