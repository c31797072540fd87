// A loaded module as the interpreter sees it: the module description plus
// one decoded program per entry.
#pragma once

#include <cstdint>
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
// Parameter-space addresses at or above this are the calling thread's
// outgoing call arguments; below it, the launch's kernel parameters.
constexpr uint32_t kCallParamBase = 0x80000000u;

struct DecodedEntry {
  std::vector<Instr> code;
  uint32_t num_slots = 0;   // 64-bit register slots per lane
  uint32_t num_preds = 0;   // predicate registers
  std::vector<std::pair<uint32_t, uint64_t>> constants;  // slot, value (same in every lane)
  std::vector<std::pair<uint32_t, Special>> specials;    // slot, launch value
  uint32_t static_shared = 0;   // bytes
  uint32_t dynamic_shared_offset = 0;  // where extern shared arrays start
  uint32_t local_bytes = 0;     // per thread
  uint32_t call_param_bytes = 0;  // per thread
  std::string texts;            // instruction texts, NUL-separated
  std::vector<uint32_t> text_offsets;
  std::string_view text(uint32_t i) const { return std::string_view(texts.data() + text_offsets[i]); }
};

class ProgramImpl final : public Program {
 public:
  ProgramImpl(AddressSpace& memory) : memory_(memory) {}
  ~ProgramImpl() override;
  ProgramImpl(const ProgramImpl&) = delete;
  ProgramImpl& operator=(const ProgramImpl&) = delete;

  const ModuleInfo& info() const override { return info_; }
  const DecodedEntry& entry(uint32_t i) const { return entries_[i]; }

  ModuleInfo info_;
  std::vector<DecodedEntry> entries_;   // parallel to info_.entries
  std::vector<uint64_t> globals_;       // module variables, released with the program

 private:
  AddressSpace& memory_;
};

}  // namespace ptx
}  // namespace tvnsim
