#include "api/exports.h"

#include <algorithm>

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
  pending_.push_back({f, count(f) + nth, result});
}

std::optional<int> CallLog::take(Fn f, uint64_t n) {
  auto it = std::find_if(pending_.begin(), pending_.end(),
                         [&](const Injection& i) { return i.function == f && i.call == n; });
  if (it == pending_.end()) return std::nullopt;
  const int result = it->result;
  pending_.erase(it);
  return result;
}

void CallLog::reset() {
  std::fill(std::begin(counts_), std::end(counts_), 0);
  pending_.clear();
}

}  // namespace tvnsim::api
