// The worker pool: run() returns only once every participant has left the
// job, whoever throws, and a child made by fork() gets a pool that works.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>

#include "exec/worker_pool.h"

namespace tvnsim::exec {
namespace {

constexpr int kHelpers = 3;

struct Outcome {
  int participants = 0;        // entered the job
  int inside_at_return = 0;    // still in it when run() returned or threw
  std::string error;           // what run() threw
};

// One job on the caller and kHelpers helpers; each lingers a little so that
// a run() that does not wait for the helpers returns while they are inside.
Outcome run_job(bool caller_throws, bool helpers_throw, int linger_ms = 30) {
  std::atomic<int> entered{0}, inside{0};
  const std::thread::id caller = std::this_thread::get_id();
  auto work = [&](BlockScratch&) {
    ++entered;
    ++inside;
    std::this_thread::sleep_for(std::chrono::milliseconds(linger_ms));
    const bool is_caller = std::this_thread::get_id() == caller;
    --inside;
    if (is_caller && caller_throws) throw std::runtime_error("caller");
    if (!is_caller && helpers_throw) throw std::bad_alloc();
  };
  Outcome o;
  try {
    WorkerPool::instance().run(kHelpers, work);
  } catch (const std::exception& e) {
    o.error = e.what();
  }
  o.inside_at_return = inside.load();
  o.participants = entered.load();
  return o;
}

TEST(WorkerPool, ExceptionsReachTheCallerAfterEveryHelperReturned) {
  struct Case {
    bool caller_throws, helpers_throw;
    const char* error;
  } cases[] = {{false, false, ""}, {true, false, "caller"},
               {false, true, "std::bad_alloc"}, {true, true, "caller"}};
  for (const Case& c : cases) {
    const Outcome o = run_job(c.caller_throws, c.helpers_throw);
    const std::string label = std::to_string(c.caller_throws) + std::to_string(c.helpers_throw);
    EXPECT_EQ(o.error, c.error) << label;
    EXPECT_EQ(o.inside_at_return, 0) << label;
    EXPECT_EQ(o.participants, kHelpers + 1) << label;
  }
}

// Forks and has the child run a job on the pool; the child's exit status.
int job_in_forked_child() {
  const pid_t pid = fork();
  if (pid == 0) {
    alarm(30);  // a deadlock ends the child instead of the test
    const Outcome o = run_job(false, false, 1);
    _exit(o.participants == kHelpers + 1 && o.inside_at_return == 0 ? 0 : 1);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
  return status;
}

TEST(WorkerPool, ForkedChildRunsJobsOnFreshHelpers) {
  run_job(false, false, 1);  // the parent's helpers exist
  EXPECT_EQ(job_in_forked_child(), 0);

  // Forked while another thread has a job on the pool: the child's copy of
  // the pool is busy, its helpers gone.
  std::atomic<bool> started{false};
  std::thread busy([&] {
    WorkerPool::instance().run(kHelpers, [&](BlockScratch&) {
      started = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
    });
  });
  while (!started) std::this_thread::yield();
  EXPECT_EQ(job_in_forked_child(), 0);
  busy.join();
}

}  // namespace
}  // namespace tvnsim::exec
