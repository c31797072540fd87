// Decoding of one parsed entry into its executable form.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ptx/module.h"
#include "ptx/program.h"
#include "ptx/syntax.h"

namespace tvnsim::ptx {

// Names visible to every entry of the module.
struct ModuleSymbols {
  std::vector<VarDecl> shared;                                    // module-scope .shared
  std::vector<std::string_view> variables;  // module .global/.const, by variable index
  std::vector<std::string_view> functions;                        // declared functions
};

// Fills `out` from the entry's body; on failure returns false with a message
// naming the statement that could not be decoded.
bool decode_entry(const Function& f, const EntryInfo& info, const ModuleSymbols& symbols,
                  DecodedEntry* out, std::string* error);

inline uint32_t align_up(uint32_t v, uint32_t a) { return a <= 1 ? v : (v + a - 1) / a * a; }

}  // namespace tvnsim::ptx
