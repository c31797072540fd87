// Decoding an entry: registers to slots (scoped, reused after a scope
// closes), variables to addresses, literals and special registers to
// constant slots, labels to instruction indices.
//
// Slot layout per lane: 0 is the sink `_`; registers follow; constants and
// special registers come after the largest register footprint of any scope.
#include <cstring>
#include <unordered_map>

#include "ptx/decode_context.h"
#include "ptx/decoder.h"

namespace tvnsim::ptx {
namespace {

struct SpecialName {
  std::string_view name;
  Special which;
};
constexpr SpecialName kSpecials[] = {
    {"%tid.x", Special::TidX},         {"%tid.y", Special::TidY},
    {"%tid.z", Special::TidZ},         {"%ntid.x", Special::NtidX},
    {"%ntid.y", Special::NtidY},       {"%ntid.z", Special::NtidZ},
    {"%ctaid.x", Special::CtaidX},     {"%ctaid.y", Special::CtaidY},
    {"%ctaid.z", Special::CtaidZ},     {"%nctaid.x", Special::NctaidX},
    {"%nctaid.y", Special::NctaidY},   {"%nctaid.z", Special::NctaidZ},
    {"%laneid", Special::LaneId},      {"%warpid", Special::WarpId},
    {"%nwarpid", Special::NWarpId},    {"%lanemask_eq", Special::LanemaskEq},
    {"%lanemask_lt", Special::LanemaskLt}, {"%lanemask_le", Special::LanemaskLe},
    {"%lanemask_gt", Special::LanemaskGt}, {"%lanemask_ge", Special::LanemaskGe},
    {"%dynamic_smem_size", Special::DynamicSmemSize},
    {"%total_smem_size", Special::TotalSmemSize},
};

struct Symbol {
  MemSpace space;
  uint64_t address;    // in its own state space; for a module variable, unknown
  int variable = -1;   // module variable index, whose address each program places
};

class EntryDecoder final : public DecodeContext {
 public:
  EntryDecoder(const Function& f, const EntryInfo& info, const ModuleSymbols& module,
               DecodedEntry* out)
      : f_(f), info_(info), module_(module), out_(*out) {}

  bool run(std::string* error) {
    const bool ok = layout() && decode();
    if (!ok) *error = error_;
    return ok;
  }

  // ---- DecodeContext ------------------------------------------------------
  bool src(const Operand& op, Type type, uint32_t* slot) override {
    switch (op.kind) {
      case Operand::Kind::Name: {
        if (op.negated) return fail("unexpected '!' before " + std::string(op.name));
        if (op.name[0] == '%') {
          for (const SpecialName& s : kSpecials) {
            if (s.name == op.name) {
              *slot = special_slot(s.which);
              return true;
            }
          }
        }
        Reg r;
        if (find_reg(op.name, &r)) {
          if (r.pred) return fail("predicate " + std::string(op.name) + " used as a value");
          *slot = r.index;
          return true;
        }
        Symbol sym;
        if (find_symbol(op.name, &sym)) {
          *slot = sym.variable >= 0 ? variable_address(sym.variable) : constant(sym.address);
          return true;
        }
        if (op.name[0] == '%') return fail("unknown register or special register " + std::string(op.name));
        return fail("unknown name " + std::string(op.name));
      }
      case Operand::Kind::Int:
      case Operand::Kind::F32Bits:
      case Operand::Kind::F64Bits: {
        uint64_t bits = 0;
        if (!literal_bits(op, type, &bits)) return false;
        *slot = constant(bits);
        return true;
      }
      default:
        return fail("unsupported source operand");
    }
  }

  bool dst(const Operand& op, uint32_t* slot) override {
    if (op.kind == Operand::Kind::Sink) {
      *slot = 0;
      return true;
    }
    Reg r;
    if (op.kind != Operand::Kind::Name || op.negated || !find_reg(op.name, &r) || r.pred) {
      return fail("destination is not a register: " + std::string(op.name));
    }
    *slot = r.index;
    return true;
  }

  bool is_pred(const Operand& op) const override {
    Reg r;
    return op.kind == Operand::Kind::Name && find_reg(op.name, &r) && r.pred;
  }

  bool pred(const Operand& op, uint32_t* index) override {
    Reg r;
    if (op.kind != Operand::Kind::Name || !find_reg(op.name, &r) || !r.pred) {
      return fail("expected a predicate register but found " + std::string(op.name));
    }
    *index = r.index;
    return true;
  }

  bool address(const Operand& op, MemSpace* space, uint32_t* base, int64_t* offset) override {
    if (op.kind != Operand::Kind::Address) return fail("expected an address");
    *offset = op.value;
    if (op.name.empty()) {
      *base = constant(0);
      return true;
    }
    Reg r;
    if (find_reg(op.name, &r)) {
      if (r.pred) return fail("predicate used as an address");
      *base = r.index;
      return true;
    }
    Symbol sym;
    if (!find_symbol(op.name, &sym)) return fail("unknown name " + std::string(op.name));
    if (sym.variable >= 0) {
      // A module variable: global memory, also as a generic address.
      if (*space != MemSpace::Global && *space != MemSpace::Generic) {
        return fail(std::string(op.name) + " is not in the state space of the access");
      }
      *base = variable_address(sym.variable);
      return true;
    }
    uint64_t addr = sym.address;
    if (*space == MemSpace::Generic) {
      if (sym.space == MemSpace::Shared) addr += kSharedWindow;
      else if (sym.space == MemSpace::Local) addr += kLocalWindow;
      else if (sym.space != MemSpace::Global) return fail("no generic address for " + std::string(op.name));
    } else if (*space == MemSpace::Param && sym.space == MemSpace::CallParam) {
      *space = MemSpace::CallParam;
    } else if (sym.space != *space) {
      return fail(std::string(op.name) + " is not in the state space of the access");
    }
    *base = constant(0);
    *offset += static_cast<int64_t>(addr);
    return true;
  }

  bool label(const Operand& op) override {
    if (op.kind != Operand::Kind::Name) return fail("expected a label");
    fixups_.emplace_back(static_cast<uint32_t>(out_.code.size()), op.name);
    return true;
  }

  bool literal(const Operand& op, int64_t* value) override {
    if (op.kind != Operand::Kind::Int) return fail("expected an integer literal");
    *value = op.value;
    return true;
  }

  bool declared_function(std::string_view name) const override {
    for (std::string_view f : module_.functions) {
      if (f == name) return true;
    }
    return false;
  }

  bool fail(const std::string& message) override {
    if (error_.empty()) error_ = message;
    return false;
  }

 private:
  struct Reg {
    uint32_t index = 0;
    bool pred = false;
  };
  struct Range {
    uint32_t base = 0;
    uint32_t count = 0;
    bool pred = false;
  };
  struct Scope {
    std::unordered_map<std::string_view, Reg> regs;
    std::unordered_map<std::string_view, Range> ranges;
    std::unordered_map<std::string_view, Symbol> symbols;  // outgoing call arguments
    uint32_t slot_mark = 0, pred_mark = 0, call_mark = 0;
  };

  const Function& f_;
  const EntryInfo& info_;
  const ModuleSymbols& module_;
  DecodedEntry& out_;
  std::string error_;

  std::vector<Scope> scopes_;
  uint32_t next_slot_ = 1, next_pred_ = 0, next_call_ = 0;
  uint32_t max_slot_ = 1, max_pred_ = 0, max_call_ = 0;
  uint32_t first_constant_ = 0;
  std::unordered_map<std::string_view, Symbol> symbols_;  // entry-wide names
  std::unordered_map<uint64_t, uint32_t> constants_;
  std::unordered_map<int, uint32_t> specials_;
  std::unordered_map<int, uint32_t> variable_slots_;
  std::unordered_map<std::string_view, uint32_t> labels_;
  std::vector<std::pair<uint32_t, std::string_view>> fixups_;

  uint32_t constant(uint64_t value) {
    auto [it, fresh] = constants_.emplace(value, 0);
    if (fresh) {
      it->second = first_constant_ + static_cast<uint32_t>(out_.constants.size() + out_.specials.size());
      out_.constants.emplace_back(it->second, value);
    }
    return it->second;
  }

  // A constant slot for the address of module variable v.
  uint32_t variable_address(int v) {
    auto [it, fresh] = variable_slots_.emplace(v, 0);
    if (fresh) {
      it->second = first_constant_ + static_cast<uint32_t>(out_.constants.size() + out_.specials.size());
      out_.relocations.emplace_back(static_cast<uint32_t>(out_.constants.size()), static_cast<uint32_t>(v));
      out_.constants.emplace_back(it->second, 0);
    }
    return it->second;
  }

  uint32_t special_slot(Special s) {
    auto [it, fresh] = specials_.emplace(static_cast<int>(s), 0);
    if (fresh) {
      it->second = first_constant_ + static_cast<uint32_t>(out_.constants.size() + out_.specials.size());
      out_.specials.emplace_back(it->second, s);
    }
    return it->second;
  }

  bool literal_bits(const Operand& op, Type type, uint64_t* bits) {
    const uint64_t v = static_cast<uint64_t>(op.value);
    const bool f32 = type == Type::F32, f64 = type == Type::F64;
    if (op.kind == Operand::Kind::Int) {
      if ((f32 || f64) && v != 0) return fail("integer literal for a floating-point operand");
      *bits = v;
      return true;
    }
    if (op.kind == Operand::Kind::F32Bits) {
      if (f64) {
        float f;
        uint32_t b = static_cast<uint32_t>(v);
        std::memcpy(&f, &b, 4);
        const double d = f;
        std::memcpy(bits, &d, 8);
        return true;
      }
      if (type_size(type) != 4) return fail("32-bit float literal for a non-32-bit operand");
      *bits = v;
      return true;
    }
    // 64-bit float literal
    if (f32) {
      double d;
      std::memcpy(&d, &v, 8);
      const float f = static_cast<float>(d);
      uint32_t b;
      std::memcpy(&b, &f, 4);
      *bits = b;
      return true;
    }
    if (type_size(type) != 8) return fail("64-bit float literal for a non-64-bit operand");
    *bits = v;
    return true;
  }

  bool find_reg(std::string_view name, Reg* out) const {
    for (auto s = scopes_.rbegin(); s != scopes_.rend(); ++s) {
      auto it = s->regs.find(name);
      if (it != s->regs.end()) {
        *out = it->second;
        return true;
      }
    }
    // %r123 from a %r<N> declaration.
    size_t digits = name.size();
    while (digits > 0 && name[digits - 1] >= '0' && name[digits - 1] <= '9') --digits;
    if (digits == name.size() || digits == 0) return false;
    const std::string_view prefix = name.substr(0, digits);
    const std::string_view number = name.substr(digits);
    if (number.size() > 1 && number[0] == '0') return false;
    uint64_t index = 0;
    for (char c : number) index = index * 10 + static_cast<uint64_t>(c - '0');
    for (auto s = scopes_.rbegin(); s != scopes_.rend(); ++s) {
      auto it = s->ranges.find(prefix);
      if (it != s->ranges.end() && index < it->second.count) {
        out->index = it->second.base + static_cast<uint32_t>(index);
        out->pred = it->second.pred;
        return true;
      }
    }
    return false;
  }

  bool find_symbol(std::string_view name, Symbol* out) const {
    for (auto s = scopes_.rbegin(); s != scopes_.rend(); ++s) {
      auto it = s->symbols.find(name);
      if (it != s->symbols.end()) {
        *out = it->second;
        return true;
      }
    }
    auto it = symbols_.find(name);
    if (it == symbols_.end()) return false;
    *out = it->second;
    return true;
  }

  void open_scope() {
    Scope s;
    s.slot_mark = next_slot_;
    s.pred_mark = next_pred_;
    s.call_mark = next_call_;
    scopes_.push_back(std::move(s));
  }
  void close_scope() {
    next_slot_ = scopes_.back().slot_mark;
    next_pred_ = scopes_.back().pred_mark;
    next_call_ = scopes_.back().call_mark;
    scopes_.pop_back();
  }

  bool declare(const VarDecl& d) {
    Scope& scope = scopes_.back();
    if (d.space == Space::Reg) {
      if (d.vector != 1) return fail("vector registers are not supported");
      const bool pred = d.type == ".pred";
      uint32_t& next = pred ? next_pred_ : next_slot_;
      uint32_t& max = pred ? max_pred_ : max_slot_;
      const uint32_t n = d.range >= 0 ? static_cast<uint32_t>(d.range) : 1;
      if (d.range >= 0) scope.ranges[d.name] = Range{next, n, pred};
      else scope.regs[d.name] = Reg{next, pred};
      next += n;
      if (next > max) max = next;
      return true;
    }
    if (d.space == Space::Param) {
      const uint32_t elem = decl_type_bytes(d.type);
      const uint32_t size = static_cast<uint32_t>(elem * d.count * d.vector);
      next_call_ = align_up(next_call_, d.align ? d.align : elem);
      scope.symbols[d.name] = Symbol{MemSpace::CallParam, next_call_};
      next_call_ += size;
      if (next_call_ > max_call_) max_call_ = next_call_;
      return true;
    }
    return true;  // shared and local variables are laid out once, up front
  }

  // Places variables (shared, local, module shared that the entry uses) and
  // measures the register footprint.
  bool layout() {
    for (const ParamInfo& p : info_.params) {
      symbols_[p.name] = Symbol{MemSpace::Param, p.offset};
    }
    for (size_t v = 0; v < module_.variables.size(); ++v) {
      symbols_[module_.variables[v]] = Symbol{MemSpace::Global, 0, static_cast<int>(v)};
    }

    uint32_t shared = 0, local = 0;
    uint32_t dynamic_align = 16;
    auto place = [&](const VarDecl& d, uint32_t* cursor, MemSpace space) {
      const uint32_t elem = decl_type_bytes(d.type);
      *cursor = align_up(*cursor, d.align ? d.align : elem);
      symbols_[d.name] = Symbol{space, *cursor};
      *cursor += static_cast<uint32_t>(elem * d.count * d.vector);
    };
    // Module-scope shared variables belong to the entries that name them.
    std::vector<bool> used(module_.shared.size(), false);
    auto note_names = [&](const Operand& op, auto&& self) -> void {
      if (!op.name.empty()) {
        for (size_t i = 0; i < used.size(); ++i) used[i] = used[i] || module_.shared[i].name == op.name;
      }
      for (const Operand& e : op.elems) self(e, self);
    };
    scopes_.clear();
    open_scope();
    for (const BodyItem& it : f_.body) {
      switch (it.kind) {
        case BodyItem::Kind::Open: open_scope(); break;
        case BodyItem::Kind::Close: close_scope(); break;
        case BodyItem::Kind::Decl: {
          const VarDecl& decl = f_.decls[it.index];
          if (decl.space == Space::Shared) {
            if (decl.unsized) return fail("unsized shared array inside an entry");
            place(decl, &shared, MemSpace::Shared);
          } else if (decl.space == Space::Local) {
            if (decl.unsized) return fail("unsized local array");
            place(decl, &local, MemSpace::Local);
          } else if (decl.space == Space::Global || decl.space == Space::Const) {
            return fail("variable declarations of this state space inside an entry are not supported");
          } else if (!declare(decl)) {
            return false;
          }
          break;
        }
        case BodyItem::Kind::Instruction:
          for (const Operand& op : f_.instructions[it.index].operands) note_names(op, note_names);
          break;
        case BodyItem::Kind::Label: break;
      }
    }
    if (scopes_.size() != 1) return fail("unbalanced scopes");
    for (size_t i = 0; i < used.size(); ++i) {
      const VarDecl& d = module_.shared[i];
      if (!used[i]) continue;
      if (d.unsized) {
        if (d.align > dynamic_align) dynamic_align = d.align;
        continue;
      }
      place(d, &shared, MemSpace::Shared);
    }
    out_.static_shared = shared;
    out_.dynamic_shared_offset = align_up(shared, dynamic_align);
    for (const VarDecl& d : module_.shared) {
      if (d.unsized) symbols_[d.name] = Symbol{MemSpace::Shared, out_.dynamic_shared_offset};
    }
    out_.local_bytes = local;
    out_.call_param_bytes = max_call_;
    out_.num_preds = max_pred_;
    first_constant_ = max_slot_;
    return true;
  }

  bool decode() {
    out_.code.reserve(f_.instructions.size() + 1);
    out_.text_spans.reserve(f_.instructions.size() + 1);
    scopes_.clear();
    next_slot_ = 1;
    next_pred_ = 0;
    next_call_ = 0;
    open_scope();
    for (const BodyItem& it : f_.body) {
      switch (it.kind) {
        case BodyItem::Kind::Open: open_scope(); break;
        case BodyItem::Kind::Close: close_scope(); break;
        case BodyItem::Kind::Decl: {
          const VarDecl& decl = f_.decls[it.index];
          if (decl.space == Space::Reg || decl.space == Space::Param) {
            if (!declare(decl)) return false;
          }
          break;
        }
        case BodyItem::Kind::Label: {
          const std::string_view label = f_.labels[it.index];
          if (!labels_.emplace(label, static_cast<uint32_t>(out_.code.size())).second) {
            return fail("duplicate label " + std::string(label));
          }
          break;
        }
        case BodyItem::Kind::Instruction: {
          const Instruction& instr = f_.instructions[it.index];
          if (!instruction(instr)) {
            error_ = "line " + std::to_string(instr.line) + ": " + error_ + " (in '" +
                     normalise(instr.text) + "')";
            return false;
          }
          break;
        }
      }
    }
    // Falling off the end of an entry returns.
    Instr end;
    end.op = Op::Exit;
    end.text = add_text(std::string_view());  // falling off the end
    out_.code.push_back(end);
    for (const auto& [index, name] : fixups_) {
      auto it = labels_.find(name);
      if (it == labels_.end()) return fail("unknown label " + std::string(name));
      out_.code[index].target = it->second;
    }
    out_.num_slots = first_constant_ + static_cast<uint32_t>(out_.constants.size() + out_.specials.size());
    return true;
  }

  // Instruction texts stay in the program's copy of the source; only a
  // fault report renders one.
  uint32_t add_text(std::string_view t) {
    const uint32_t offset = t.empty() ? 0 : static_cast<uint32_t>(t.data() - out_.source->data());
    out_.text_spans.emplace_back(offset, static_cast<uint32_t>(t.size()));
    return static_cast<uint32_t>(out_.text_spans.size() - 1);
  }

  bool instruction(const Instruction& s) {
    Instr in;
    if (!s.guard.empty()) {
      Operand g;
      g.name = s.guard;
      uint32_t index = 0;
      if (!pred(g, &index)) return false;
      in.guard = index | (s.guard_negated ? kGuardNegated : 0);
    }
    if (!decode_instruction(*this, s, &in)) return false;
    in.text = add_text(s.text);
    out_.code.push_back(in);
    return true;
  }
};

}  // namespace

std::string normalise(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  bool blank = false;
  for (char ch : text) {
    const bool ws = ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r';
    if (ws) {
      blank = !out.empty();
      continue;
    }
    if (blank) out.push_back(' ');
    blank = false;
    out.push_back(ch);
  }
  return out;
}

std::string DecodedEntry::text(uint32_t i) const {
  const auto [offset, size] = text_spans[i];
  if (size == 0) return "(end of entry)";
  return normalise(std::string_view(source->data() + offset, size));
}

bool decode_entry(const Function& f, const EntryInfo& info, const ModuleSymbols& symbols,
                  DecodedEntry* out, std::string* error) {
  return EntryDecoder(f, info, symbols, out).run(error);
}

}  // namespace tvnsim::ptx
