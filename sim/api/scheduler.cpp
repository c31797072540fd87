#include "api/scheduler.h"

namespace tvnsim::api {

Op OpQueue::pop() {
  Op op = std::move(ops_[head_++]);
  if (head_ == ops_.size()) {
    clear();
  } else if (head_ >= 64 && head_ * 2 >= ops_.size()) {
    ops_.erase(ops_.begin(), ops_.begin() + static_cast<std::ptrdiff_t>(head_));
    head_ = 0;
  }
  return op;
}

Stream* Scheduler::find_live(uint64_t id) {
  auto it = streams_.find(id);
  return it != streams_.end() && it->second->alive ? it->second.get() : nullptr;
}

Stream* Scheduler::find_any(uint64_t id) {
  if (id == 0) return &legacy_;
  auto it = streams_.find(id);
  return it != streams_.end() ? it->second.get() : nullptr;
}

const Stream* Scheduler::find_any(uint64_t id) const {
  return const_cast<Scheduler*>(this)->find_any(id);
}

Stream& Scheduler::create(uint64_t id, bool blocking) {
  auto s = std::make_unique<Stream>();
  s->id = id;
  s->blocking = blocking;
  Stream& ref = *s;
  streams_.emplace(id, std::move(s));
  return ref;
}

void Scheduler::destroy(Stream& s) {
  s.alive = false;
  collect();
}

uint64_t Scheduler::enqueue(Stream& s, Work&& work) {
  const uint64_t seq = next_seq_++;
  s.queue.push(Op{seq, std::move(work)});
  return seq;
}

bool Scheduler::reached(uint64_t stream, uint64_t seq) const {
  const Stream* s = find_any(stream);
  return !s || s->queue.empty() || s->queue.front_seq() > seq;
}

std::optional<Scheduler::Dependency> Scheduler::unmet_dependency(Stream& s, const Op& head) {
  std::optional<Dependency> best;
  uint64_t best_seq = 0;
  auto consider = [&](Stream& t, uint64_t bound) {
    if (&t == &s || t.queue.empty()) return;
    const uint64_t next = t.queue.front_seq();
    if (next < bound && (!best || next > best_seq)) {
      best = Dependency{&t, bound};
      best_seq = next;
    }
  };
  if (&s == &legacy_) {
    for (auto& [id, t] : streams_) {
      if (t->blocking) consider(*t, head.seq);
    }
  } else if (s.blocking) {
    consider(legacy_, head.seq);
  }
  if (const auto* wait = std::get_if<WaitWork>(&head.work)) {
    if (Stream* t = find_any(wait->stream)) consider(*t, wait->seq + 1);
  }
  return best;
}

int Scheduler::run_below(Stream& s, uint64_t bound, OpRunner& runner) {
  while (!s.queue.empty() && s.queue.front_seq() < bound) {
    // The head stays queued while its dependencies run, so an event recorded
    // after it does not count as reached in the meantime.
    if (std::optional<Dependency> dep = unmet_dependency(s, s.queue.front())) {
      if (int r = run_below(*dep->stream, dep->bound, runner)) return r;
      continue;
    }
    Op op = s.queue.pop();
    if (int r = runner.run(op)) return r;
  }
  return 0;
}

int Scheduler::run_through(uint64_t stream, uint64_t seq, OpRunner& runner) {
  Stream* s = find_any(stream);
  const int r = s ? run_below(*s, seq + 1, runner) : 0;
  collect();
  return r;
}

int Scheduler::run_all(OpRunner& runner) {
  for (;;) {
    Stream* latest = legacy_.queue.empty() ? nullptr : &legacy_;
    for (auto& [id, t] : streams_) {
      if (!t->queue.empty() && (!latest || t->queue.front_seq() > latest->queue.front_seq())) {
        latest = t.get();
      }
    }
    if (!latest) break;
    if (int r = run_below(*latest, latest->queue.front_seq() + 1, runner)) {
      collect();
      return r;
    }
  }
  collect();
  return 0;
}

void Scheduler::drop_pending() {
  legacy_.queue.clear();
  for (auto& [id, t] : streams_) t->queue.clear();
  collect();
}

void Scheduler::clear() {
  legacy_.queue.clear();
  streams_.clear();
}

uint64_t Scheduler::live_streams() const {
  uint64_t n = 0;
  for (const auto& [id, t] : streams_) n += t->alive ? 1 : 0;
  return n;
}

void Scheduler::collect() {
  std::erase_if(streams_,
                [](const auto& kv) { return !kv.second->alive && kv.second->queue.empty(); });
}

}  // namespace tvnsim::api
