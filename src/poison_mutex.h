// A mutex that refuses all later use once a call under it has failed
// unexpectedly (thrown): the state it guards may then be half-updated.
#pragma once

#include <exception>
#include <mutex>
#include <string>
#include <utility>

namespace tesvan {

class PoisonMutex {
 public:
  enum class Outcome { Ran, Poisoned, Faulted };

  // Runs f under the mutex unless it is poisoned.  If f throws, the mutex is
  // poisoned, the exception's text goes to *fault and Faulted is returned.
  template <class F>
  Outcome run(F&& f, std::string* fault) noexcept {
    std::lock_guard<std::mutex> lock(mu_);
    if (poisoned_) return Outcome::Poisoned;
    try {
      std::forward<F>(f)();
      return Outcome::Ran;
    } catch (const std::exception& e) {
      poisoned_ = true;
      *fault = e.what();
    } catch (...) {
      poisoned_ = true;
      *fault = "unknown exception";
    }
    return Outcome::Faulted;
  }

 private:
  std::mutex mu_;
  bool poisoned_ = false;
};

}  // namespace tesvan
