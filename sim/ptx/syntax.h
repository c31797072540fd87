// The parsed form of a PTX module, before decoding: statements with their
// operands, still by name.  Views point into the PTX text, which must outlive
// this structure.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace tvnsim::ptx {

struct Operand {
  enum class Kind : uint8_t {
    Name,      // register, symbol, label or special register: `name`
    Int,       // integer literal: `value`
    F32Bits,   // 0fXXXXXXXX: `value` holds the bits
    F64Bits,   // 0dXXXXXXXXXXXXXXXX, or a decimal float literal
    Address,   // [name + value], [name], [value]
    Vector,    // {a, b, ...}: `elems`
    Sink,      // `_`
    PredPair,  // d|p (shfl): `name` | `name2`
    List,      // (a, b, ...) in call: `elems`
  };
  Kind kind = Kind::Name;
  bool negated = false;  // !%p
  std::string_view name;
  std::string_view name2;
  int64_t value = 0;
  std::vector<Operand> elems;
};

enum class Space : uint8_t { Reg, Shared, Local, Param, Global, Const };

struct VarDecl {
  Space space = Space::Reg;
  std::string_view type;       // ".b32", ".pred", ...
  uint32_t vector = 1;         // .v2 / .v4 variables
  uint32_t align = 0;          // 0 when not given
  std::string_view name;
  int64_t range = -1;          // %r<N>: N names %r0 .. %r(N-1)
  bool is_array = false;
  bool unsized = false;        // name[] (extern shared)
  uint64_t count = 1;          // array elements (product of dimensions)
  bool is_extern = false;
  std::vector<uint8_t> init;   // initialiser bytes (little-endian), empty if none
  uint32_t line = 0;
};

struct Instruction {
  std::string_view guard;  // predicate name, empty when unguarded
  bool guard_negated = false;
  std::string_view opcode;
  std::vector<Operand> operands;
  std::string_view text;   // source span of the statement
  uint32_t line = 0;
};

// One statement of a body, in order: an index into the function's
// instructions, labels or declarations; scopes open and close.
struct BodyItem {
  enum class Kind : uint8_t { Instruction, Label, Decl, Open, Close };
  Kind kind = Kind::Instruction;
  uint32_t index = 0;
};

struct Function {
  bool is_entry = false;
  bool has_body = false;
  std::string_view name;
  std::vector<VarDecl> params;
  std::vector<VarDecl> returns;  // .func return parameters
  uint32_t maxntid[3] = {0, 0, 0};
  uint32_t reqntid[3] = {0, 0, 0};
  uint32_t minnctapersm = 0;
  std::vector<BodyItem> body;
  std::vector<Instruction> instructions;
  std::vector<std::string_view> labels;
  std::vector<VarDecl> decls;
  uint32_t line = 0;
};

struct Module {
  int version_major = 0;
  int version_minor = 0;
  std::string_view target;  // "sm_90a"
  int address_size = 0;
  std::vector<VarDecl> globals;  // module-scope .global / .const / .shared, so far
};

// Receives every function (entry, or declared or defined .func) as soon as
// it is parsed, with the module as parsed up to it, so that only one body
// is held at a time.  Returns false with a message to stop the parse.
using FunctionSink = std::function<bool(const Module&, Function&&, std::string* error)>;

// Parses the whole text; the error is empty on success.
std::string parse(std::string_view text, Module* module, const FunctionSink& sink);

// Size of a declared element type (".b32" -> 4); 0 for ".pred" or unknown.
uint32_t decl_type_bytes(std::string_view type);

}  // namespace tvnsim::ptx
