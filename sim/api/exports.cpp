#include "api/exports.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <new>
#include <string>

#include "api/simulator.h"

namespace tvnsim::api {
namespace {

constexpr std::string_view kNames[] = {
#define TVNSIM_FN_NAME(name) #name,
    TVNSIM_DRIVER_FUNCTIONS(TVNSIM_FN_NAME)
#undef TVNSIM_FN_NAME
};
static_assert(std::size(kNames) == kFunctionCount);

}  // namespace

std::string_view function_name(Fn f) { return kNames[static_cast<size_t>(f)]; }

std::optional<Fn> function_by_name(std::string_view name) {
  for (size_t i = 0; i < kFunctionCount; ++i) {
    if (kNames[i] == name) return static_cast<Fn>(i);
  }
  return std::nullopt;
}

void CallLog::inject(Fn f, unsigned nth, int result) {
  if (nth == 0) return;
  pending_.push_back({f, count(f) + nth, result, false});
}

void CallLog::inject_exception(Fn f, unsigned nth) {
  if (nth == 0) return;
  pending_.push_back({f, count(f) + nth, 0, true});
}

std::optional<int> CallLog::take(Fn f, uint64_t n) {
  auto it = std::find_if(pending_.begin(), pending_.end(),
                         [&](const Injection& i) { return i.function == f && i.call == n; });
  if (it == pending_.end()) return std::nullopt;
  const int result = it->result;
  const bool throws = it->throws;
  pending_.erase(it);
  if (throws) throw std::bad_alloc();
  return result;
}

void CallLog::reset() {
  std::fill(std::begin(counts_), std::end(counts_), 0);
  pending_.clear();
}

CUresult classify_exception(const char** what) noexcept {
  try {
    throw;
  } catch (const std::bad_alloc& e) {
    *what = e.what();
    return CUDA_ERROR_OUT_OF_MEMORY;
  } catch (const std::exception& e) {
    *what = e.what();
  } catch (...) {
    *what = "an exception of unknown type";
  }
  return CUDA_ERROR_UNKNOWN;
}

CUresult exception_result() noexcept {
  const char* what = "";
  const CUresult r = classify_exception(&what);
  // The function's locals, its lock among them, are gone by now.
  try {
    Simulator& sim = simulator();
    std::lock_guard<std::mutex> lock(sim.mu);
    sim.fail(r, std::string("host exception: ") + what);
  } catch (...) {
    // Only the message is lost.
  }
  return r;
}

void report_exception(const char* function) noexcept {
  const char* what = "";
  classify_exception(&what);
  std::fprintf(stderr, "tvnsim: %s: %s\n", function, what);
}

}  // namespace tvnsim::api
