// A loaded module as the interpreter sees it: the module description plus
// one decoded program per entry.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ptx/instr.h"
#include "ptx/module.h"

namespace tvnsim {

class AddressSpace;

namespace ptx {

// Generic-address windows of the per-block shared and per-thread local
// spaces.  Both lie above every user-space host address and below the device
// global addresses (bit 60), so the three never overlap.
constexpr uint64_t kSharedWindow = 0x0800000000000000ull;
constexpr uint64_t kLocalWindow = 0x0400000000000000ull;
constexpr uint64_t kWindowSize = 1ull << 32;
using Constants = std::vector<std::pair<uint32_t, uint64_t>>;  // slot, value in every lane

struct DecodedEntry {
  std::vector<Instr> code;
  uint32_t num_slots = 0;   // 64-bit register slots per lane
  uint32_t num_preds = 0;   // predicate registers
  // Constant slots.  A relocated one holds an offset into a module variable
  // until a program adds the variable's address.
  Constants constants;
  std::vector<std::pair<uint32_t, uint32_t>> relocations;  // index into constants, variable
  std::vector<std::pair<uint32_t, Special>> specials;      // slot, launch value
  uint32_t static_shared = 0;   // bytes
  uint32_t dynamic_shared_offset = 0;  // where extern shared arrays start
  uint32_t local_bytes = 0;     // per thread
  uint32_t call_param_bytes = 0;  // per thread
  const std::string* source = nullptr;  // the module's PTX text
  std::vector<std::pair<uint32_t, uint32_t>> text_spans;  // offset, size in source
  // Instruction text i on one line, for reports.
  std::string text(uint32_t i) const;
};

// Collapses runs of blanks so that a statement reads as one line.
std::string normalise(std::string_view text);

// A module-scope .global or .const variable; each program has its own copy.
struct ModuleVariable {
  std::string name;
  uint64_t size = 0;
  std::vector<uint8_t> init;  // leading bytes; the rest is zero
};

// Everything decoded from one PTX text.  Immutable once built and shared by
// every program loaded from the same text.
struct DecodedModule {
  std::string source;  // instruction texts point into it
  ModuleInfo info;
  std::vector<DecodedEntry> entries;  // parallel to info.entries
  std::vector<ModuleVariable> variables;
};

class ProgramImpl final : public Program {
 public:
  // Places the module's variables in `memory` and resolves the constants
  // that hold their addresses; null when memory runs out.
  static std::unique_ptr<ProgramImpl> instantiate(std::shared_ptr<const DecodedModule> module,
                                                  AddressSpace& memory);
  ~ProgramImpl() override;
  ProgramImpl(const ProgramImpl&) = delete;
  ProgramImpl& operator=(const ProgramImpl&) = delete;

  const ModuleInfo& info() const override { return module_->info; }
  const DecodedEntry& entry(uint32_t i) const { return module_->entries[i]; }
  // The entry's constant slots, variable addresses included.
  const Constants& constants(uint32_t i) const { return constants_[i]; }

 private:
  ProgramImpl(std::shared_ptr<const DecodedModule> module, AddressSpace& memory)
      : module_(std::move(module)), memory_(memory) {}

  std::shared_ptr<const DecodedModule> module_;
  AddressSpace& memory_;
  std::vector<uint64_t> variables_;  // device addresses, released with the program
  std::vector<Constants> constants_;
};

}  // namespace ptx
}  // namespace tvnsim
