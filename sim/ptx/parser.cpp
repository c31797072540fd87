// Recursive-descent parser for the PTX that NVRTC emits: module directives,
// variable declarations, entries and functions with their bodies.  Statements
// are kept by name; meaning is given to them by the decoder.
#include <charconv>
#include <cstdlib>
#include <cstring>

#include "ptx/lexer.h"
#include "ptx/syntax.h"

namespace tvnsim::ptx {
namespace {

bool parse_u64(std::string_view s, uint64_t* out) {
  if (!s.empty() && (s.back() == 'U' || s.back() == 'u')) s.remove_suffix(1);
  int base = 10;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    s.remove_prefix(2);
  } else if (s.size() > 2 && s[0] == '0' && (s[1] == 'b' || s[1] == 'B')) {
    base = 2;
    s.remove_prefix(2);
  } else if (s.size() > 1 && s[0] == '0') {
    base = 8;
    s.remove_prefix(1);
  }
  if (s.empty()) return false;
  auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), *out, base);
  return ec == std::errc() && ptr == s.data() + s.size();
}

class Parser {
 public:
  Parser(Lexer& lexer, const FunctionSink& sink) : lexer_(lexer), sink_(sink) {}

  bool module(Module* m) {
    while (peek().kind != TokenKind::End) {
      if (!module_statement(m)) return false;
    }
    if (!lexer_.error().empty()) return fail("");
    if (m->version_major == 0) return fail("missing .version");
    if (m->target.empty()) return fail("missing .target");
    if (m->address_size == 0) return fail("missing .address_size");
    return true;
  }

  const std::string& error() const { return err_; }

 private:
  Lexer& lexer_;
  const FunctionSink& sink_;
  Token ahead_[3];  // lookahead: ahead_[0] is the current token (two, and one split off)
  int have_ = 0;
  std::string err_;

  const Token& peek(size_t k = 0) {
    while (have_ <= static_cast<int>(k)) ahead_[have_++] = lexer_.next();
    return ahead_[k];
  }
  Token next() {
    peek();
    const Token tok = ahead_[0];
    for (int i = 1; i < have_; ++i) ahead_[i - 1] = ahead_[i];
    --have_;
    return tok;
  }
  // `.reg.b32` (one token, as NVIDIA's cuda_fp16.hpp writes it inside
  // braces) reads as `.reg .b32`: the current token splits at its second dot.
  void split_dotted() {
    const Token tok = peek();
    const size_t dot = tok.kind == TokenKind::Word && tok.text[0] == '.' ? tok.text.find('.', 1)
                                                                         : std::string_view::npos;
    if (dot == std::string_view::npos) return;
    for (int i = have_; i > 0; --i) ahead_[i] = ahead_[i - 1];
    ++have_;
    ahead_[0] = Token{TokenKind::Word, tok.text.substr(0, dot), tok.line};
    ahead_[1] = Token{TokenKind::Word, tok.text.substr(dot), tok.line};
  }
  bool is(std::string_view text) { return peek().text == text && peek().kind != TokenKind::String; }
  bool accept(std::string_view text) {
    if (!is(text)) return false;
    next();
    return true;
  }
  bool fail(const std::string& msg) {
    if (!err_.empty()) return false;
    // A lexing error ends the token stream and explains whatever followed.
    if (!lexer_.error().empty()) err_ = lexer_.error();
    else err_ = "line " + std::to_string(peek().line) + ": " + msg;
    return false;
  }
  bool expect(std::string_view text) {
    if (accept(text)) return true;
    return fail("expected '" + std::string(text) + "' but found '" + std::string(peek().text) + "'");
  }
  bool word(std::string_view* out) {
    if (peek().kind != TokenKind::Word) {
      return fail("expected a name but found '" + std::string(peek().text) + "'");
    }
    *out = next().text;
    return true;
  }
  bool number(uint64_t* out) {
    if (peek().kind != TokenKind::Number || !parse_u64(peek().text, out)) {
      return fail("expected an integer but found '" + std::string(peek().text) + "'");
    }
    next();
    return true;
  }
  bool number32(uint32_t* out) {
    uint64_t v = 0;
    if (!number(&v)) return false;
    if (v > 0xFFFFFFFFu) return fail("integer out of range");
    *out = static_cast<uint32_t>(v);
    return true;
  }

  bool module_statement(Module* m) {
    const std::string_view w = peek().text;
    if (w == ".version") {
      next();
      const std::string_view v = peek().text;
      const size_t dot = v.find('.');
      uint64_t major = 0, minor = 0;
      if (peek().kind != TokenKind::Number || dot == std::string_view::npos ||
          !parse_u64(v.substr(0, dot), &major) || !parse_u64(v.substr(dot + 1), &minor)) {
        return fail("malformed .version");
      }
      next();
      m->version_major = static_cast<int>(major);
      m->version_minor = static_cast<int>(minor);
      return true;
    }
    if (w == ".target") {
      next();
      std::string_view target;
      if (!word(&target)) return false;
      if (target.substr(0, 3) != "sm_") return fail("unsupported target " + std::string(target));
      if (is(",")) return fail("unsupported .target option " + std::string(peek(1).text));
      m->target = target;
      return true;
    }
    if (w == ".address_size") {
      next();
      uint64_t bits = 0;
      if (!number(&bits)) return false;
      if (bits != 64) return fail("unsupported .address_size " + std::to_string(bits));
      m->address_size = 64;
      return true;
    }
    bool is_extern = false;
    while (is(".visible") || is(".extern") || is(".weak")) {
      is_extern |= is(".extern");
      next();
    }
    const std::string_view d = peek().text;
    if (d == ".entry" || d == ".func") {
      if (m->target.empty() || m->address_size == 0) return fail("function before the module header");
      Function f;
      if (!function(&f)) return false;
      std::string why;
      if (!sink_(*m, std::move(f), &why)) {
        err_ = why;
        return false;
      }
      return true;
    }
    if (d == ".global" || d == ".const" || d == ".shared") {
      VarDecl v;
      v.is_extern = is_extern;
      if (!var_decl(&v, /*allow_list=*/false)) return false;
      m->globals.push_back(std::move(v));
      return expect(";");
    }
    if (d == ".file" || d == ".loc" || d == ".section") {
      return fail("debug information (" + std::string(d) + ") is not supported");
    }
    return fail("unsupported module statement '" + std::string(d) + "'");
  }

  // `.param .u64 name`, `.param .align 8 .b8 name[16]`, `.param .u64 .ptr .global .align 16 name`
  bool param_list(std::vector<VarDecl>* out) {
    if (!expect("(")) return false;
    if (accept(")")) return true;
    for (;;) {
      VarDecl v;
      if (!is(".param") && !is(".reg")) return fail("expected .param but found '" + std::string(peek().text) + "'");
      if (!var_decl(&v, /*allow_list=*/false)) return false;
      out->push_back(std::move(v));
      if (accept(")")) return true;
      if (!expect(",")) return false;
    }
  }

  bool dims(uint32_t* out, int max) {
    int n = 0;
    for (;;) {
      if (n == max) return fail("too many values");
      if (!number32(&out[n++])) return false;
      if (!accept(",")) return true;
    }
  }

  bool function(Function* f) {
    f->line = peek().line;
    f->is_entry = next().text == ".entry";
    if (!f->is_entry && is("(")) {
      if (!param_list(&f->returns)) return false;
    }
    if (!word(&f->name)) return false;
    if (is("(")) {
      if (!param_list(&f->params)) return false;
    }
    for (;;) {
      if (accept(".maxntid")) {
        if (!dims(f->maxntid, 3)) return false;
      } else if (accept(".reqntid")) {
        if (!dims(f->reqntid, 3)) return false;
      } else if (accept(".minnctapersm")) {
        if (!number32(&f->minnctapersm)) return false;
      } else if (accept(".maxnreg") || accept(".maxnctapersm")) {
        uint32_t ignored = 0;  // register and occupancy hints for the code generator
        if (!number32(&ignored)) return false;
      } else if (accept(".noreturn")) {
      } else if (is(".pragma")) {
        if (!pragma()) return false;
      } else {
        break;
      }
    }
    if (accept(";")) return true;
    if (is("{")) {
      f->has_body = true;
      return body(f);
    }
    return fail("unsupported function directive '" + std::string(peek().text) + "'");
  }

  bool pragma() {
    next();
    while (peek().kind == TokenKind::String) {
      next();
      if (!accept(",")) break;
    }
    return expect(";");
  }

  bool body(Function* f) {
    next();  // '{'
    int depth = 1;
    auto item = [&](BodyItem::Kind kind, size_t index) {
      f->body.push_back(BodyItem{kind, static_cast<uint32_t>(index)});
    };
    while (depth > 0) {
      const Token tok = peek();
      if (tok.kind == TokenKind::End) return fail("unterminated function body");
      if (tok.text == "{" && tok.kind == TokenKind::Punct) {
        next();
        ++depth;
        item(BodyItem::Kind::Open, 0);
        continue;
      }
      if (tok.text == "}" && tok.kind == TokenKind::Punct) {
        next();
        if (--depth == 0) break;
        item(BodyItem::Kind::Close, 0);
        continue;
      }
      if (tok.kind == TokenKind::Word && peek(1).text == ":" && peek(1).kind == TokenKind::Punct) {
        item(BodyItem::Kind::Label, f->labels.size());
        f->labels.push_back(tok.text);
        next();
        next();
        continue;
      }
      if (tok.kind == TokenKind::Word && tok.text[0] == '.') {
        if (tok.text == ".pragma") {
          if (!pragma()) return false;
          continue;
        }
        const std::string_view space = tok.text.substr(0, tok.text.find('.', 1));
        if (space == ".reg" || space == ".shared" || space == ".local" || space == ".param") {
          std::vector<VarDecl> decls;
          VarDecl v;
          if (!var_decl(&v, /*allow_list=*/true, &decls)) return false;
          if (!expect(";")) return false;
          for (VarDecl& d : decls) {
            item(BodyItem::Kind::Decl, f->decls.size());
            f->decls.push_back(std::move(d));
          }
          continue;
        }
        return fail("unsupported directive '" + std::string(tok.text) + "' in a function body");
      }
      item(BodyItem::Kind::Instruction, f->instructions.size());
      f->instructions.emplace_back();
      if (!instruction(&f->instructions.back())) return false;
    }
    return true;
  }

  bool instruction(Instruction* in) {
    const Token first = peek();
    in->line = first.line;
    if (accept("@")) {
      in->guard_negated = accept("!");
      if (!word(&in->guard)) return false;
    }
    if (peek().kind != TokenKind::Word) {
      return fail("expected an instruction but found '" + std::string(peek().text) + "'");
    }
    in->opcode = next().text;
    if (!is(";")) {
      for (;;) {
        Operand op;
        if (!operand(&op)) return false;
        in->operands.push_back(std::move(op));
        if (!accept(",")) break;
      }
    }
    const Token last = peek();
    if (!expect(";")) return false;
    in->text = std::string_view(first.text.data(),
                                static_cast<size_t>(last.text.data() + 1 - first.text.data()));
    return true;
  }

  bool literal(Operand* op, bool negative) {
    const std::string_view s = next().text;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'f' || s[1] == 'F' || s[1] == 'd' || s[1] == 'D')) {
      const bool f32 = s[1] == 'f' || s[1] == 'F';
      uint64_t bits = 0;
      const std::string_view hex = s.substr(2);
      auto [ptr, ec] = std::from_chars(hex.data(), hex.data() + hex.size(), bits, 16);
      if (ec != std::errc() || ptr != hex.data() + hex.size() || hex.size() != (f32 ? 8u : 16u)) {
        return fail("malformed float literal " + std::string(s));
      }
      op->kind = f32 ? Operand::Kind::F32Bits : Operand::Kind::F64Bits;
      if (negative) bits ^= f32 ? 0x80000000ull : 0x8000000000000000ull;
      op->value = static_cast<int64_t>(bits);
      return true;
    }
    const bool hex = s.size() > 1 && (s[1] == 'x' || s[1] == 'X');
    if (!hex && s.find_first_of(".eE") != std::string_view::npos) {
      const std::string text(s);
      char* end = nullptr;
      double d = std::strtod(text.c_str(), &end);
      if (end != text.c_str() + text.size()) return fail("malformed number " + text);
      if (negative) d = -d;
      uint64_t bits = 0;
      std::memcpy(&bits, &d, 8);
      op->kind = Operand::Kind::F64Bits;
      op->value = static_cast<int64_t>(bits);
      return true;
    }
    uint64_t v = 0;
    if (!parse_u64(s, &v)) return fail("malformed number " + std::string(s));
    op->kind = Operand::Kind::Int;
    op->value = negative ? static_cast<int64_t>(0 - v) : static_cast<int64_t>(v);
    return true;
  }

  bool signed_int(int64_t* out) {
    const bool neg = accept("-");
    uint64_t v = 0;
    if (!number(&v)) return false;
    *out = neg ? static_cast<int64_t>(0 - v) : static_cast<int64_t>(v);
    return true;
  }

  bool operand(Operand* op) {
    const Token tok = peek();
    if (tok.kind == TokenKind::Punct) {
      if (tok.text == "-") {
        next();
        if (peek().kind != TokenKind::Number) return fail("expected a number after '-'");
        return literal(op, true);
      }
      if (tok.text == "!") {
        next();
        op->negated = true;
        op->kind = Operand::Kind::Name;
        return word(&op->name);
      }
      if (tok.text == "{" || tok.text == "(") {
        const bool vec = tok.text == "{";
        next();
        op->kind = vec ? Operand::Kind::Vector : Operand::Kind::List;
        if (accept(vec ? "}" : ")")) return true;
        for (;;) {
          Operand e;
          if (!operand(&e)) return false;
          op->elems.push_back(std::move(e));
          if (accept(vec ? "}" : ")")) return true;
          if (!expect(",")) return false;
        }
      }
      if (tok.text == "[") {
        next();
        op->kind = Operand::Kind::Address;
        if (peek().kind == TokenKind::Word) {
          op->name = next().text;
          if (accept("+")) {
            if (!signed_int(&op->value)) return false;
          } else if (accept("-")) {
            uint64_t v = 0;
            if (!number(&v)) return false;
            op->value = static_cast<int64_t>(0 - v);
          }
        } else if (!signed_int(&op->value)) {
          return false;
        }
        return expect("]");
      }
      return fail("unexpected '" + std::string(tok.text) + "' in an operand");
    }
    if (tok.kind == TokenKind::Number) return literal(op, false);
    if (tok.kind == TokenKind::Word) {
      op->name = next().text;
      if (op->name == "_") {
        op->kind = Operand::Kind::Sink;
        return true;
      }
      op->kind = Operand::Kind::Name;
      if (accept("|")) {
        op->kind = Operand::Kind::PredPair;
        return word(&op->name2);
      }
      return true;
    }
    return fail("unexpected '" + std::string(tok.text) + "' in an operand");
  }

  // One declaration statement: state space, attributes, type, then one name
  // (or, when allow_list, several comma-separated names).
  bool var_decl(VarDecl* v, bool allow_list, std::vector<VarDecl>* list = nullptr) {
    v->line = peek().line;
    split_dotted();
    const std::string_view space = next().text;
    if (space == ".reg") v->space = Space::Reg;
    else if (space == ".shared") v->space = Space::Shared;
    else if (space == ".local") v->space = Space::Local;
    else if (space == ".param") v->space = Space::Param;
    else if (space == ".global") v->space = Space::Global;
    else if (space == ".const") v->space = Space::Const;
    for (;;) {
      split_dotted();
      if (accept(".align")) {
        if (!number32(&v->align)) return false;
        if (v->align == 0 || (v->align & (v->align - 1)) != 0) return fail("bad alignment");
      } else if (accept(".v2")) {
        v->vector = 2;
      } else if (accept(".v4")) {
        v->vector = 4;
      } else {
        break;
      }
    }
    if (peek().kind != TokenKind::Word || peek().text[0] != '.') {
      return fail("expected a type in a declaration but found '" + std::string(peek().text) + "'");
    }
    v->type = next().text;
    if (v->type != ".pred" && decl_type_bytes(v->type) == 0) {
      return fail("unsupported declaration type " + std::string(v->type));
    }
    // `.ptr {.space} {.align N}` after a parameter's type describes the
    // pointee, not the parameter.
    if (v->space == Space::Param && accept(".ptr")) {
      (void)(accept(".global") || accept(".shared") || accept(".const") || accept(".local"));
      if (accept(".align")) {
        uint32_t pointee_align = 0;
        if (!number32(&pointee_align)) return false;
      }
    }
    for (;;) {
      VarDecl d = *v;
      if (!word(&d.name)) return false;
      if (accept("<")) {
        uint64_t n = 0;
        if (!number(&n)) return false;
        if (!expect(">")) return false;
        d.range = static_cast<int64_t>(n);
      }
      while (accept("[")) {
        d.is_array = true;
        if (accept("]")) {
          d.unsized = true;
          continue;
        }
        uint64_t n = 0;
        if (!number(&n)) return false;
        if (!expect("]")) return false;
        d.count *= n;
      }
      if (accept("=")) {
        if (!initializer(&d)) return false;
      }
      if (list) list->push_back(std::move(d));
      else *v = std::move(d);
      if (!allow_list || !accept(",")) break;
    }
    return true;
  }

  bool init_value(VarDecl* v, uint32_t size) {
    if (accept("{")) {
      if (accept("}")) return true;
      for (;;) {
        if (!init_value(v, size)) return false;
        if (accept("}")) return true;
        if (!expect(",")) return false;
      }
    }
    const bool neg = accept("-");
    if (peek().kind != TokenKind::Number) {
      return fail("unsupported initialiser '" + std::string(peek().text) + "'");
    }
    Operand op;
    if (!literal(&op, neg)) return false;
    uint64_t bits = static_cast<uint64_t>(op.value);
    if (op.kind == Operand::Kind::F64Bits && size == 4) {
      double d;
      std::memcpy(&d, &bits, 8);
      float f = static_cast<float>(d);
      uint32_t b32;
      std::memcpy(&b32, &f, 4);
      bits = b32;
    }
    for (uint32_t i = 0; i < size; ++i) v->init.push_back(static_cast<uint8_t>(bits >> (8 * i)));
    return true;
  }

  bool initializer(VarDecl* v) {
    if (v->space != Space::Global && v->space != Space::Const) {
      return fail("initialiser on a variable outside .global/.const");
    }
    const uint32_t size = decl_type_bytes(v->type);
    if (size == 0) return fail("initialiser of an unsized type");
    if (!init_value(v, size)) return false;
    if (v->init.size() > size * v->count * v->vector) return fail("too many initialiser values");
    return true;
  }
};

}  // namespace

uint32_t decl_type_bytes(std::string_view t) {
  if (t == ".b8" || t == ".u8" || t == ".s8") return 1;
  if (t == ".b16" || t == ".u16" || t == ".s16" || t == ".f16" || t == ".bf16") return 2;
  if (t == ".b32" || t == ".u32" || t == ".s32" || t == ".f32" || t == ".f16x2" || t == ".bf16x2")
    return 4;
  if (t == ".b64" || t == ".u64" || t == ".s64" || t == ".f64") return 8;
  return 0;
}

std::string parse(std::string_view text, Module* module, const FunctionSink& sink) {
  Lexer lexer(text);
  Parser p(lexer, sink);
  if (!p.module(module)) return p.error().empty() ? "parse failed" : p.error();
  return {};
}

}  // namespace tvnsim::ptx
