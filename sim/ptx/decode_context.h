// What an instruction decoder needs from the entry being decoded: operand
// resolution against the entry's registers and symbols, and error reporting.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "ptx/instr.h"
#include "ptx/syntax.h"

namespace tvnsim::ptx {

class DecodeContext {
 public:
  virtual ~DecodeContext() = default;
  // A value source: register, literal (converted to `type`), special
  // register or the address of a variable.
  virtual bool src(const Operand& op, Type type, uint32_t* slot) = 0;
  // A destination register; `_` gives a scratch slot.
  virtual bool dst(const Operand& op, uint32_t* slot) = 0;
  // Whether the operand names a predicate register.
  virtual bool is_pred(const Operand& op) const = 0;
  // A predicate register (negation is the caller's business).
  virtual bool pred(const Operand& op, uint32_t* index) = 0;
  // [reg + offset], [symbol + offset] or [offset] in the given state space.
  // For a parameter-space access the space becomes CallParam when the symbol
  // is an outgoing call argument.
  virtual bool address(const Operand& op, MemSpace* space, uint32_t* base, int64_t* offset) = 0;
  // A branch target; the decoder patches the instruction once labels are known.
  virtual bool label(const Operand& op) = 0;
  // A literal integer operand.
  virtual bool literal(const Operand& op, int64_t* value) = 0;
  // Whether `name` is a function declared in the module.
  virtual bool declared_function(std::string_view name) const = 0;
  // Records the first failure; always returns false.
  virtual bool fail(const std::string& message) = 0;
};

// Decodes one instruction statement (opcode and operands; guard excluded).
bool decode_instruction(DecodeContext& c, const Instruction& s, Instr* out);

}  // namespace tvnsim::ptx
