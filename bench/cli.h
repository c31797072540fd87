// Command-line pieces shared by the C++ measurement tools.
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "kernel_build.h"

namespace tesvan::bench {

// The compilation targets the engine can pick.
inline const std::vector<std::string> kAllTargets(std::begin(kCompileTargets),
                                                 std::end(kCompileTargets));

// "a,b,,c" -> {"a", "b", "c"}
inline std::vector<std::string> split_list(const char* text) {
  std::vector<std::string> out;
  std::stringstream ss(text);
  std::string item;
  while (std::getline(ss, item, ',')) {
    if (!item.empty()) out.push_back(item);
  }
  return out;
}

}  // namespace tesvan::bench
