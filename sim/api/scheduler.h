// Stream queues and the order in which queued work runs.
//
// Nothing runs when it is enqueued.  A synchronising call asks for one
// stream to be run up to a point; the scheduler then runs exactly that work
// and what it depends on: earlier work of the same stream, the event a
// cuStreamWaitEvent named, and the implicit ordering between the legacy NULL
// stream and the blocking streams.  Where several dependencies are pending,
// the one whose next op was enqueued most recently runs first, so work that
// is ordered only by luck (a missing event wait) comes out in the wrong order
// in tests instead of the right one.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "api/work.h"

namespace tvnsim::api {

// A FIFO of ops that keeps its storage between uses, so the steady state of
// enqueue and run does not allocate.
class OpQueue {
 public:
  bool empty() const { return head_ == ops_.size(); }
  const Op& front() const { return ops_[head_]; }
  uint64_t front_seq() const { return ops_[head_].seq; }
  void push(Op&& op) { ops_.push_back(std::move(op)); }
  Op pop();
  void clear() {
    ops_.clear();
    head_ = 0;
  }

 private:
  std::vector<Op> ops_;
  size_t head_ = 0;
};

struct Stream {
  uint64_t id = 0;       // handle value; 0 for the legacy NULL stream
  bool blocking = true;  // synchronises with the legacy NULL stream
  bool alive = true;     // false once destroyed; its queued work still runs
  OpQueue queue;
};

// Runs one op; returns 0 or the CUresult of a device fault.
class OpRunner {
 public:
  virtual int run(Op& op) = 0;

 protected:
  ~OpRunner() = default;
};

class Scheduler {
 public:
  Stream& legacy() { return legacy_; }
  // A stream whose handle is valid (not destroyed), or nullptr.
  Stream* find_live(uint64_t id);
  Stream& create(uint64_t id, bool blocking);
  // Invalidates the handle; the stream's queued work still runs.
  void destroy(Stream& s);

  // Queues work on `s`; returns its sequence number.
  uint64_t enqueue(Stream& s, Work&& work);

  // True once every op of the stream up to and including `seq` has run.
  bool reached(uint64_t stream, uint64_t seq) const;

  // Runs every op of the stream up to and including `seq`, and what they
  // depend on.  Stops at the first fault and returns its result (0 on
  // success).  The stream may be destroyed and still draining.
  int run_through(uint64_t stream, uint64_t seq, OpRunner& runner);
  // Runs everything queued.
  int run_all(OpRunner& runner);

  // Drops all queued work (after a fault the context runs nothing more).
  void drop_pending();
  // Drops every stream and all queued work (context reset).
  void clear();

  uint64_t live_streams() const;

 private:
  struct Dependency {
    Stream* stream;
    uint64_t bound;  // ops with seq < bound must run first
  };
  Stream* find_any(uint64_t id);
  const Stream* find_any(uint64_t id) const;
  std::optional<Dependency> unmet_dependency(Stream& s, const Op& head);
  int run_below(Stream& s, uint64_t bound, OpRunner& runner);
  void collect();  // forgets destroyed streams whose work has all run

  Stream legacy_;
  std::unordered_map<uint64_t, std::unique_ptr<Stream>> streams_;
  uint64_t next_seq_ = 1;
};

}  // namespace tvnsim::api
