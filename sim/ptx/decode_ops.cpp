// Per-opcode decoding: modifiers, types and operand shapes.  Every modifier
// of an opcode must be consumed by its decoder; a leftover one fails the load
// so that nothing is ever executed approximately.
#include <array>
#include <optional>
#include <vector>

#include "numeric/numeric.h"
#include "ptx/decode_context.h"

namespace tvnsim::ptx {
namespace {

using num::Round;

struct TypeName {
  std::string_view name;
  Type type;
};
constexpr TypeName kTypes[] = {
    {"b8", Type::B8},     {"b16", Type::B16},   {"b32", Type::B32},       {"b64", Type::B64},
    {"u8", Type::U8},     {"u16", Type::U16},   {"u32", Type::U32},       {"u64", Type::U64},
    {"s8", Type::S8},     {"s16", Type::S16},   {"s32", Type::S32},       {"s64", Type::S64},
    {"f16", Type::F16},   {"f16x2", Type::F16x2}, {"bf16", Type::BF16},   {"bf16x2", Type::BF16x2},
    {"f32", Type::F32},   {"f64", Type::F64},   {"pred", Type::Pred},
};

std::optional<Type> type_from(std::string_view s) {
  for (const TypeName& t : kTypes) {
    if (t.name == s) return t.type;
  }
  return std::nullopt;
}

// The opcode split at its dots: base name and modifiers still to consume.
class Opcode {
 public:
  explicit Opcode(std::string_view text) : full_(text) {
    size_t start = 0;
    bool first = true;
    for (size_t i = 0; i <= text.size(); ++i) {
      if (i == text.size() || text[i] == '.') {
        std::string_view part = text.substr(start, i - start);
        if (first) base_ = part;
        else mods_.push_back(part);
        first = false;
        start = i + 1;
      }
    }
  }
  std::string_view base() const { return base_; }
  std::string_view full() const { return full_; }
  bool take(std::string_view m) {
    for (size_t i = 0; i < mods_.size(); ++i) {
      if (mods_[i] == m) {
        mods_.erase(mods_.begin() + static_cast<long>(i));
        return true;
      }
    }
    return false;
  }
  // Removes the first modifier that is one of `options`; returns its index.
  int take_one(std::initializer_list<std::string_view> options) {
    for (size_t i = 0; i < mods_.size(); ++i) {
      int k = 0;
      for (std::string_view o : options) {
        if (mods_[i] == o) {
          mods_.erase(mods_.begin() + static_cast<long>(i));
          return k;
        }
        ++k;
      }
    }
    return -1;
  }
  // Removes and returns the last modifier when it names a type.
  std::optional<Type> take_type() {
    if (mods_.empty()) return std::nullopt;
    std::optional<Type> t = type_from(mods_.back());
    if (t) mods_.pop_back();
    return t;
  }
  bool done() const { return mods_.empty(); }
  std::string_view leftover() const { return mods_.empty() ? std::string_view() : mods_.front(); }

 private:
  std::string_view full_;
  std::string_view base_;
  std::vector<std::string_view> mods_;
};

class OpDecoder {
 public:
  OpDecoder(DecodeContext& c, const Instruction& s, Instr* out)
      : c_(c), s_(s), ops_(s.operands), in_(*out), oc_(s.opcode) {}

  bool run() {
    const Decoder decode = decoder_for(oc_.base());
    if (!decode) return c_.fail("unsupported instruction '" + std::string(oc_.full()) + "'");
    if (!(this->*decode)()) return false;
    if (!oc_.done()) {
      return c_.fail("unsupported modifier ." + std::string(oc_.leftover()) + " in '" +
                     std::string(oc_.full()) + "'");
    }
    return true;
  }

 private:
  DecodeContext& c_;
  const Instruction& s_;
  const std::vector<Operand>& ops_;
  Instr& in_;
  Opcode oc_;

  bool unsupported() { return c_.fail("unsupported form '" + std::string(oc_.full()) + "'"); }

  bool count(size_t n) {
    if (ops_.size() != n) {
      return c_.fail("'" + std::string(oc_.full()) + "' expects " + std::to_string(n) +
                     " operands, found " + std::to_string(ops_.size()));
    }
    return true;
  }

  bool type(std::initializer_list<Type> allowed) {
    std::optional<Type> t = oc_.take_type();
    // A last modifier that names no type we know is a form we do not run.
    if (!t) return oc_.done() ? c_.fail("missing type in '" + std::string(oc_.full()) + "'") : unsupported();
    for (Type a : allowed) {
      if (a == *t) {
        in_.type = *t;
        return true;
      }
    }
    return unsupported();
  }

  // Operand list helpers: o[i] = src/dst of ops_[k].
  bool d(size_t k, size_t i = 0) { return c_.dst(ops_[k], &in_.o[i]); }
  bool s(size_t k, size_t i, Type t) { return c_.src(ops_[k], t, &in_.o[i]); }
  bool p(size_t k, size_t i) {
    if (ops_[k].negated) return c_.fail("negated predicate operand is not supported here");
    return c_.pred(ops_[k], &in_.o[i]);
  }

  // Rounding modifier of a float operation; `required` when PTX demands one.
  bool rounding(bool required) {
    const int r = oc_.take_one({"rn", "rz", "rm", "rp"});
    if (r < 0) {
      if (required) return c_.fail("missing rounding modifier in '" + std::string(oc_.full()) + "'");
      in_.mod = static_cast<uint8_t>(Round::Nearest);
      return true;
    }
    static constexpr Round kRound[] = {Round::Nearest, Round::Zero, Round::Down, Round::Up};
    in_.mod = static_cast<uint8_t>(kRound[r]);
    return true;
  }

  bool arith() {
    const std::string_view b = oc_.base();
    if (oc_.take("approx") || oc_.take("full")) {
      return c_.fail("approximate arithmetic '" + std::string(oc_.full()) + "' is not supported");
    }
    const std::optional<Type> peek = [&] {
      Opcode copy = oc_;
      return copy.take_type();
    }();
    if (peek && (*peek == Type::F32 || *peek == Type::F64)) return float_arith(b);
    // Integer forms.
    const bool unary = b == "abs" || b == "neg";
    const bool ternary = b == "mad";
    if (b == "mul" || b == "mad") {
      const int m = oc_.take_one({"lo", "hi", "wide"});
      if (m < 0) return unsupported();
      static constexpr Op kMul[] = {Op::IMulLo, Op::IMulHi, Op::IMulWide};
      static constexpr Op kMad[] = {Op::IMadLo, Op::IMadHi, Op::IMadWide};
      in_.op = b == "mul" ? kMul[m] : kMad[m];
    } else if (b == "add") {
      in_.op = Op::IAdd;
    } else if (b == "sub") {
      in_.op = Op::ISub;
    } else if (b == "div") {
      in_.op = Op::IDiv;
    } else if (b == "rem") {
      in_.op = Op::IRem;
    } else if (b == "abs") {
      in_.op = Op::IAbs;
    } else if (b == "neg") {
      in_.op = Op::INeg;
    } else if (b == "min") {
      in_.op = Op::IMin;
    } else if (b == "max") {
      in_.op = Op::IMax;
    } else {
      return unsupported();  // fma has no integer form
    }
    if (oc_.take("sat")) in_.flags |= kIntSat;
    if (unary) {
      if (!type({Type::S16, Type::S32, Type::S64})) return false;
    } else if (!type({Type::U16, Type::U32, Type::U64, Type::S16, Type::S32, Type::S64})) {
      return false;
    }
    if ((in_.flags & kIntSat) && !((in_.op == Op::IAdd || in_.op == Op::ISub) && in_.type == Type::S32)) {
      return unsupported();
    }
    if ((in_.op == Op::IMulWide || in_.op == Op::IMadWide) && type_size(in_.type) == 8) {
      return unsupported();
    }
    const size_t n = unary ? 2 : ternary ? 4 : 3;
    if (!count(n) || !d(0)) return false;
    // The wide forms take the narrow type as sources and add a double-width c.
    const Type wide = type_size(in_.type) == 2 ? (type_signed(in_.type) ? Type::S32 : Type::U32)
                                              : (type_signed(in_.type) ? Type::S64 : Type::U64);
    for (size_t k = 1; k < n; ++k) {
      const Type t = (in_.op == Op::IMadWide && k == 3) ? wide : in_.type;
      if (!s(k, k, t)) return false;
    }
    return true;
  }

  bool float_arith(std::string_view b) {
    static constexpr struct {
      std::string_view name;
      Op op;
      size_t operands;
      bool rounding;   // accepts a rounding modifier
      bool required;   // and must have one
    } kOps[] = {
        {"add", Op::FAdd, 3, true, false}, {"sub", Op::FSub, 3, true, false},
        {"mul", Op::FMul, 3, true, false}, {"fma", Op::FFma, 4, true, true},
        {"mad", Op::FFma, 4, true, true},  {"div", Op::FDiv, 3, true, true},
        {"abs", Op::FAbs, 2, false, false}, {"neg", Op::FNeg, 2, false, false},
        {"min", Op::FMin, 3, false, false}, {"max", Op::FMax, 3, false, false},
    };
    for (const auto& k : kOps) {
      if (k.name != b) continue;
      in_.op = k.op;
      if (k.rounding && !rounding(k.required)) return false;
      if (oc_.take("ftz")) in_.flags |= kFloatFtz;
      if (oc_.take("sat")) in_.flags |= kFloatSat;
      if ((k.op == Op::FMin || k.op == Op::FMax) && oc_.take("NaN")) in_.mod = 1;
      if (!type({Type::F32, Type::F64})) return false;
      if (in_.type == Type::F64 && in_.flags) return unsupported();
      if ((in_.flags & kFloatSat) && !(k.op == Op::FAdd || k.op == Op::FSub || k.op == Op::FMul ||
                                  k.op == Op::FFma)) {
        return unsupported();
      }
      if (!count(k.operands) || !d(0)) return false;
      for (size_t i = 1; i < k.operands; ++i) {
        if (!s(i, i, in_.type)) return false;
      }
      return true;
    }
    return unsupported();
  }

  bool float_unary() {
    const std::string_view b = oc_.base();
    if (oc_.take("approx")) {
      return c_.fail("approximate arithmetic '" + std::string(oc_.full()) + "' is not supported");
    }
    in_.op = b == "rcp" ? Op::FRcp : Op::FSqrt;
    if (!rounding(true)) return false;
    if (oc_.take("ftz")) in_.flags |= kFloatFtz;
    if (!type({Type::F32, Type::F64})) return false;
    if (in_.type == Type::F64 && in_.flags) return unsupported();
    return count(2) && d(0) && s(1, 1, in_.type);
  }

  bool logic() {
    const std::string_view b = oc_.base();
    if (!type({Type::Pred, Type::B16, Type::B32, Type::B64})) return false;
    const bool unary = b == "not" || b == "cnot";
    if (!count(unary ? 2 : 3)) return false;
    if (in_.type == Type::Pred) {
      if (b == "cnot") return unsupported();
      in_.op = b == "and" ? Op::PAnd : b == "or" ? Op::POr : b == "xor" ? Op::PXor : Op::PNot;
      for (size_t k = 0; k < ops_.size(); ++k) {
        if (!p(k, k)) return false;
      }
      return true;
    }
    in_.op = b == "and" ? Op::And : b == "or" ? Op::Or : b == "xor" ? Op::Xor
           : b == "not" ? Op::Not : Op::Cnot;
    if (!d(0)) return false;
    for (size_t k = 1; k < ops_.size(); ++k) {
      if (!s(k, k, in_.type)) return false;
    }
    return true;
  }

  bool shift() {
    const std::string_view b = oc_.base();
    in_.op = b == "shl" ? Op::Shl : Op::Shr;
    if (in_.op == Op::Shl) {
      if (!type({Type::B16, Type::B32, Type::B64})) return false;
    } else if (!type({Type::B16, Type::B32, Type::B64, Type::U16, Type::U32, Type::U64, Type::S16,
                      Type::S32, Type::S64})) {
      return false;
    }
    return count(3) && d(0) && s(1, 1, in_.type) && s(2, 2, Type::U32);
  }

  bool bit_count() {
    const std::string_view b = oc_.base();
    in_.op = b == "popc" ? Op::Popc : b == "clz" ? Op::Clz : Op::Brev;
    if (!type({Type::B32, Type::B64})) return false;
    return count(2) && d(0) && s(1, 1, in_.type);
  }

  bool bitfield() {
    const std::string_view b = oc_.base();
    if (b == "bfe") {
      in_.op = Op::Bfe;
      if (!type({Type::U32, Type::U64, Type::S32, Type::S64})) return false;
      return count(4) && d(0) && s(1, 1, in_.type) && s(2, 2, Type::U32) && s(3, 3, Type::U32);
    }
    in_.op = Op::Bfi;
    if (!type({Type::B32, Type::B64})) return false;
    return count(5) && d(0) && s(1, 1, in_.type) && s(2, 2, in_.type) && s(3, 3, Type::U32) &&
           s(4, 4, Type::U32);
  }

  bool prmt() {
    in_.op = Op::Prmt;
    if (!type({Type::B32})) return false;
    return count(4) && d(0) && s(1, 1, Type::B32) && s(2, 2, Type::B32) && s(3, 3, Type::B32);
  }

  bool lop3() {
    in_.op = Op::Lop3;
    if (!type({Type::B32})) return false;
    return count(5) && d(0) && s(1, 1, Type::B32) && s(2, 2, Type::B32) && s(3, 3, Type::B32) &&
           c_.literal(ops_[4], &in_.imm2);
  }

  bool shf() {
    in_.op = Op::Shf;
    const int dir = oc_.take_one({"l", "r"});
    const int mode = oc_.take_one({"wrap", "clamp"});
    if (dir < 0 || mode < 0) return unsupported();
    if (dir == 0) in_.flags |= kShfLeft;
    if (mode == 1) in_.flags |= kShfClamp;
    if (!type({Type::B32})) return false;
    return count(4) && d(0) && s(1, 1, Type::B32) && s(2, 2, Type::B32) && s(3, 3, Type::U32);
  }

  bool setp() {
    in_.op = Op::Setp;
    static constexpr std::string_view kCmp[] = {"eq",  "ne",  "lt",  "le",  "gt",  "ge",
                                                "equ", "neu", "ltu", "leu", "gtu", "geu",
                                                "num", "nan", "lo",  "ls",  "hi",  "hs"};
    int cmp = -1;
    for (int i = 0; i < 18 && cmp < 0; ++i) {
      if (oc_.take(kCmp[i])) cmp = i;
    }
    if (cmp < 0) return unsupported();
    const int bop = oc_.take_one({"and", "or", "xor"});
    in_.mod2 = static_cast<uint8_t>(bop < 0 ? BoolOp::None : static_cast<BoolOp>(bop + 1));
    if (oc_.take("ftz")) in_.flags |= kSetpFtz;
    if (!type({Type::B16, Type::B32, Type::B64, Type::U16, Type::U32, Type::U64, Type::S16,
               Type::S32, Type::S64, Type::F32, Type::F64})) {
      return false;
    }
    const bool is_float = type_float(in_.type);
    if (cmp >= 14) {
      // lo, ls, hi, hs: unsigned comparisons
      if (is_float) return unsupported();
      if (type_signed(in_.type)) {
        in_.type = in_.type == Type::S16 ? Type::U16 : in_.type == Type::S32 ? Type::U32 : Type::U64;
      }
      cmp -= 12;
    } else if (!is_float && cmp >= 6) {
      return unsupported();
    }
    if ((in_.flags & kSetpFtz) && in_.type != Type::F32) return unsupported();
    in_.mod = static_cast<uint8_t>(cmp);
    if (!count(bop < 0 ? 3 : 4)) return false;
    // Destination p or p|q; sources a, b; combiner c.
    const Operand& dst = ops_[0];
    if (dst.kind == Operand::Kind::PredPair) {
      Operand first;
      first.name = dst.name;
      Operand second;
      second.name = dst.name2;
      if (!c_.pred(first, &in_.o[0]) || !c_.pred(second, &in_.o[4])) return false;
      in_.flags |= kSetpQ;
    } else if (!p(0, 0)) {
      return false;
    }
    if (!s(1, 1, in_.type) || !s(2, 2, in_.type)) return false;
    if (bop >= 0) {
      if (ops_[3].negated) in_.flags |= kSetpNotC;
      if (!c_.pred(ops_[3], &in_.o[3])) return false;
    }
    return true;
  }

  bool selp() {
    in_.op = Op::Selp;
    if (!type({Type::B16, Type::B32, Type::B64, Type::U16, Type::U32, Type::U64, Type::S16,
               Type::S32, Type::S64, Type::F32, Type::F64})) {
      return false;
    }
    return count(4) && d(0) && s(1, 1, in_.type) && s(2, 2, in_.type) && p(3, 3);
  }

  bool mov() {
    if (!type({Type::Pred, Type::B16, Type::B32, Type::B64, Type::U16, Type::U32, Type::U64,
               Type::S16, Type::S32, Type::S64, Type::F32, Type::F64})) {
      return false;
    }
    if (!count(2)) return false;
    if (in_.type == Type::Pred) {
      if (ops_[1].kind == Operand::Kind::Int) {
        // mov.pred p, 0|1
        in_.op = Op::PSet;
        in_.imm = ops_[1].value != 0;
        return p(0, 0);
      }
      in_.op = Op::PMov;
      return p(0, 0) && p(1, 1);
    }
    const uint32_t size = type_size(in_.type);
    if (ops_[0].kind == Operand::Kind::Vector || ops_[1].kind == Operand::Kind::Vector) {
      const bool pack = ops_[1].kind == Operand::Kind::Vector;
      const Operand& vec = pack ? ops_[1] : ops_[0];
      const size_t n = vec.elems.size();
      if (ops_[0].kind == ops_[1].kind || (n != 2 && n != 4) || size / n < 2 ||
          type_float(in_.type)) {
        return unsupported();
      }
      in_.op = pack ? Op::Pack : Op::Unpack;
      in_.mod2 = static_cast<uint8_t>(n);
      const Type elem = size / n == 2 ? Type::B16 : Type::B32;
      if (pack) {
        if (!d(0, 0)) return false;
        for (size_t i = 0; i < n; ++i) {
          if (!c_.src(vec.elems[i], elem, &in_.o[1 + i])) return false;
        }
      } else {
        for (size_t i = 0; i < n; ++i) {
          if (!c_.dst(vec.elems[i], &in_.o[1 + i])) return false;
        }
        if (!s(1, 0, in_.type)) return false;
      }
      return true;
    }
    in_.op = Op::Mov;
    return d(0) && s(1, 1, in_.type);
  }

  bool cvt() {
    const int r = oc_.take_one({"rn", "rz", "rm", "rp", "rni", "rzi", "rmi", "rpi"});
    static constexpr Round kRound[] = {Round::Nearest, Round::Zero, Round::Down, Round::Up};
    if (r >= 0) in_.mod = static_cast<uint8_t>(kRound[r % 4]);
    if (r >= 4) in_.flags |= kCvtIntegral;
    if (oc_.take("ftz")) in_.flags |= kCvtFtz;
    if (oc_.take("sat")) in_.flags |= kCvtSat;
    const std::optional<Type> src = oc_.take_type();
    const std::optional<Type> dstt = oc_.take_type();
    if (!src || !dstt) {
      return oc_.done() ? c_.fail("missing types in '" + std::string(oc_.full()) + "'") : unsupported();
    }
    in_.type = *dstt;
    in_.type2 = *src;
    if (in_.type == Type::BF16x2 || in_.type == Type::F16x2) {
      // cvt.rn.{bf16x2,f16x2}.f32 d, a, b: a to the upper half, b to the lower.
      in_.op = Op::CvtPack;
      if (r < 0 || r >= 4 || in_.type2 != Type::F32 || in_.flags) return unsupported();
      return count(3) && d(0) && s(1, 1, Type::F32) && s(2, 2, Type::F32);
    }
    in_.op = Op::Cvt;
    const Type t = in_.type, u = in_.type2;
    if (t == Type::Pred || u == Type::Pred || t == Type::F16x2 || u == Type::F16x2 ||
        u == Type::BF16x2 || t == Type::B8 || u == Type::B8) {
      return unsupported();
    }
    const bool tf = type_float(t), uf = type_float(u);
    const uint32_t ts = type_size(t), us = type_size(u);
    // Rounding rules: float narrowing and int->float need a float rounding;
    // float->int needs an integer rounding; float->same-size float may take
    // an integer rounding; widening and int->int take none.
    const bool float_round = r >= 0 && r < 4;
    const bool int_round = r >= 4;
    bool ok;
    if (uf && tf) {
      if (ts < us) ok = float_round;
      else if (ts == us) ok = r < 0 || int_round;
      else ok = r < 0;
    } else if (uf) {
      ok = int_round;
    } else if (tf) {
      ok = float_round && (t == Type::F32 || t == Type::F64);
    } else {
      ok = r < 0;
    }
    // Narrowing from f64 straight to a 16-bit float would round once from
    // double, which the numeric layer does not provide.
    if (tf && ts == 2 && u == Type::F64) ok = false;
    if ((in_.flags & kCvtFtz) && t != Type::F32 && u != Type::F32) ok = false;
    if ((in_.flags & kCvtSat) && tf && t != Type::F32 && t != Type::F64) ok = false;
    if (!ok) return unsupported();
    return count(2) && d(0) && s(1, 1, u);
  }

  bool cvta() {
    const bool to = oc_.take("to");
    const int space = oc_.take_one({"global", "shared", "shared::cta", "local", "const"});
    if (space < 0) return unsupported();
    static constexpr MemSpace kSpace[] = {MemSpace::Global, MemSpace::Shared, MemSpace::Shared,
                                          MemSpace::Local, MemSpace::Global};
    in_.space = kSpace[space];
    in_.op = to ? Op::CvtaFromGeneric : Op::CvtaToGeneric;
    if (!type({Type::U64, Type::U32})) return false;
    if (in_.type == Type::U32 && in_.space != MemSpace::Shared && in_.space != MemSpace::Local) {
      return unsupported();
    }
    return count(2) && d(0) && s(1, 1, to ? Type::U64 : in_.type);
  }

  // Cache, eviction and ordering qualifiers that do not change the result of a
  // single-copy memory: they are accepted and have plain semantics.
  void memory_hints() {
    for (;;) {
      if (oc_.take_one({"weak", "volatile", "relaxed", "acquire", "release", "ca", "cg", "cs",
                        "lu", "cv", "wb", "wt", "nc", "L1::evict_normal", "L1::evict_unchanged",
                        "L1::evict_first", "L1::evict_last", "L1::no_allocate",
                        "L2::evict_normal", "L2::evict_first", "L2::evict_last", "L2::64B",
                        "L2::128B", "L2::256B", "cta", "gpu", "sys"}) < 0) {
        return;
      }
    }
  }

  bool space(MemSpace* out) {
    const int sp = oc_.take_one({"global", "shared", "shared::cta", "local", "param", "const"});
    static constexpr MemSpace kSpace[] = {MemSpace::Global, MemSpace::Shared, MemSpace::Shared,
                                          MemSpace::Local,  MemSpace::Param,  MemSpace::Global};
    *out = sp < 0 ? MemSpace::Generic : kSpace[sp];
    return true;
  }

  bool ld() { return ldst(true); }
  bool st() { return ldst(false); }

  bool ldst(bool load) {
    in_.op = load ? Op::Ld : Op::St;
    MemSpace sp;
    space(&sp);
    memory_hints();
    const int vec = oc_.take_one({"v2", "v4", "v8"});
    const uint8_t n = vec < 0 ? 1 : static_cast<uint8_t>(2 << vec);
    in_.mod = n;
    if (!type({Type::B8, Type::B16, Type::B32, Type::B64, Type::U8, Type::U16, Type::U32,
               Type::U64, Type::S8, Type::S16, Type::S32, Type::S64, Type::F32, Type::F64})) {
      return false;
    }
    if (n * type_size(in_.type) > 32 || (n == 8 && type_size(in_.type) != 4)) return unsupported();
    if (!count(2)) return false;
    const Operand& addr = ops_[load ? 1 : 0];
    const Operand& val = ops_[load ? 0 : 1];
    if (addr.kind != Operand::Kind::Address) return c_.fail("expected an address operand");
    if (!c_.address(addr, &sp, &in_.o[8], &in_.imm)) return false;
    if (!load && sp == MemSpace::Param) return c_.fail("store to a kernel parameter");
    in_.space = sp;
    if (n == 1) {
      if (val.kind == Operand::Kind::Vector) return unsupported();
      return load ? c_.dst(val, &in_.o[0]) : c_.src(val, in_.type, &in_.o[0]);
    }
    if (val.kind != Operand::Kind::Vector || val.elems.size() != n) return unsupported();
    for (size_t i = 0; i < n; ++i) {
      if (!(load ? c_.dst(val.elems[i], &in_.o[i]) : c_.src(val.elems[i], in_.type, &in_.o[i]))) {
        return false;
      }
    }
    return true;
  }

  bool cp_async() {
    if (!oc_.take("async")) return unsupported();
    if (oc_.take("commit_group")) {
      in_.op = Op::CpAsyncCommit;
      return count(0);
    }
    if (oc_.take("wait_group")) {
      in_.op = Op::CpAsyncWait;
      int64_t n = 0;
      if (!count(1) || !c_.literal(ops_[0], &n)) return false;
      if (n < 0 || n > 1000000) return c_.fail("bad cp.async.wait_group count");
      in_.target = static_cast<uint32_t>(n);
      return true;
    }
    if (oc_.take("wait_all")) {
      in_.op = Op::CpAsyncWait;
      in_.flags |= kCpWaitAll;
      return count(0);
    }
    in_.op = Op::CpAsync;
    const int level = oc_.take_one({"ca", "cg"});
    if (level < 0) return unsupported();
    if (oc_.take_one({"shared", "shared::cta"}) < 0 || !oc_.take("global")) return unsupported();
    oc_.take_one({"L2::64B", "L2::128B", "L2::256B"});
    if (ops_.size() < 3 || ops_.size() > 4) return count(3);
    MemSpace dsp = MemSpace::Shared, ssp = MemSpace::Global;
    if (ops_[0].kind != Operand::Kind::Address || ops_[1].kind != Operand::Kind::Address) {
      return c_.fail("expected address operands");
    }
    if (!c_.address(ops_[0], &dsp, &in_.o[0], &in_.imm)) return false;
    if (!c_.address(ops_[1], &ssp, &in_.o[1], &in_.imm2)) return false;
    int64_t size = 0;
    if (!c_.literal(ops_[2], &size)) return false;
    if (size != 4 && size != 8 && size != 16) return c_.fail("bad cp.async size");
    if (level == 1 && size != 16) return unsupported();
    in_.mod = static_cast<uint8_t>(size);
    if (ops_.size() == 4) {
      const Operand& extra = ops_[3];
      // A predicate is the ignore-src form; anything else is a source size.
      if (c_.is_pred(extra)) {
        if (!c_.pred(extra, &in_.o[2])) return false;
        in_.flags |= kCpIgnoreSrc;
        if (extra.negated) in_.flags |= kCpIgnoreNot;
      } else {
        if (extra.negated) return unsupported();
        if (!c_.src(extra, Type::U32, &in_.o[2])) return false;
        in_.flags |= kCpSrcSize;
      }
    }
    return true;
  }

  bool ldmatrix() {
    if (!oc_.take("sync") || !oc_.take("aligned") || !oc_.take("m8n8")) return unsupported();
    const int x = oc_.take_one({"x1", "x2", "x4"});
    if (x < 0) return unsupported();
    if (oc_.take("trans")) in_.flags |= kLdmatrixTrans;
    oc_.take_one({"shared", "shared::cta"});
    if (!type({Type::B16})) return false;
    in_.op = Op::Ldmatrix;
    const size_t n = static_cast<size_t>(1) << x;
    in_.mod2 = static_cast<uint8_t>(n);
    if (!count(2) || ops_[0].kind != Operand::Kind::Vector || ops_[0].elems.size() != n ||
        ops_[1].kind != Operand::Kind::Address) {
      return unsupported();
    }
    for (size_t i = 0; i < n; ++i) {
      if (!c_.dst(ops_[0].elems[i], &in_.o[i])) return false;
    }
    MemSpace sp = MemSpace::Shared;
    in_.space = MemSpace::Shared;
    return c_.address(ops_[1], &sp, &in_.o[8], &in_.imm);
  }

  bool mma() {
    if (!oc_.take("sync") || !oc_.take("aligned") || !oc_.take("m16n8k16") || !oc_.take("row") ||
        !oc_.take("col")) {
      return unsupported();
    }
    // Types in order: d, a, b, c.
    std::optional<Type> tc = oc_.take_type(), tb = oc_.take_type(), ta = oc_.take_type(),
                        td = oc_.take_type();
    if (!tc || !tb || !ta || !td || *td != Type::F32 || *tc != Type::F32 || *ta != *tb ||
        (*ta != Type::BF16 && *ta != Type::F16)) {
      return unsupported();
    }
    in_.op = Op::Mma;
    in_.type = Type::F32;
    in_.type2 = *ta;
    if (!count(4)) return false;
    static constexpr size_t kCount[] = {4, 4, 2, 4};
    static constexpr size_t kFirst[] = {0, 4, 8, 10};
    for (size_t k = 0; k < 4; ++k) {
      const Operand& v = ops_[k];
      if (v.kind != Operand::Kind::Vector || v.elems.size() != kCount[k]) return unsupported();
      for (size_t i = 0; i < kCount[k]; ++i) {
        const bool ok = k == 0 ? c_.dst(v.elems[i], &in_.o[kFirst[k] + i])
                               : c_.src(v.elems[i], k == 3 ? Type::F32 : Type::B32,
                                        &in_.o[kFirst[k] + i]);
        if (!ok) return false;
      }
    }
    return true;
  }

  bool shfl() {
    if (!oc_.take("sync")) return c_.fail("shfl without .sync is not supported");
    const int mode = oc_.take_one({"up", "down", "bfly", "idx"});
    if (mode < 0) return unsupported();
    in_.op = Op::Shfl;
    in_.mod = static_cast<uint8_t>(mode);
    if (!type({Type::B32})) return false;
    if (!count(5)) return false;
    const Operand& dst = ops_[0];
    if (dst.kind == Operand::Kind::PredPair) {
      Operand r, q;
      r.name = dst.name;
      q.name = dst.name2;
      if (!c_.dst(r, &in_.o[0]) || !c_.pred(q, &in_.o[5])) return false;
      in_.flags |= kShflQ;
    } else if (!d(0)) {
      return false;
    }
    return s(1, 1, Type::B32) && s(2, 2, Type::B32) && s(3, 3, Type::B32) && s(4, 4, Type::B32);
  }

  bool vote() {
    if (!oc_.take("sync")) return c_.fail("vote without .sync is not supported");
    const int mode = oc_.take_one({"all", "any", "uni", "ballot"});
    if (mode < 0) return unsupported();
    in_.op = Op::Vote;
    in_.mod = static_cast<uint8_t>(mode);
    if (!type({mode == 3 ? Type::B32 : Type::Pred})) return false;
    if (!count(3)) return false;
    if (mode == 3 ? !d(0) : !p(0, 0)) return false;
    if (ops_[1].negated) in_.flags |= kVoteNotSource;
    return c_.pred(ops_[1], &in_.o[1]) && s(2, 2, Type::B32);
  }

  bool activemask() {
    in_.op = Op::ActiveMask;
    return type({Type::B32}) && count(1) && d(0);
  }

  bool barrier() {
    const std::string_view b = oc_.base();
    if (b == "bar" && oc_.take("warp")) {
      if (!oc_.take("sync")) return unsupported();
      in_.op = Op::WarpSync;
      return count(1) && s(0, 0, Type::B32);
    }
    oc_.take("cta");
    if (!oc_.take("sync")) return unsupported();
    // bar.sync is the aligned form; barrier.sync only with .aligned.
    const bool aligned = b == "bar" || oc_.take("aligned");
    in_.op = Op::Bar;
    in_.mod = aligned ? 1 : 0;
    if (ops_.empty() || ops_.size() > 2) return count(1);
    if (!s(0, 0, Type::U32)) return false;
    if (ops_.size() == 2) {
      in_.flags |= kBarCount;
      if (!s(1, 1, Type::U32)) return false;
    }
    return true;
  }

  bool fence() {
    const std::string_view b = oc_.base();
    in_.op = Op::Nop;
    if (b == "membar") {
      if (oc_.take_one({"cta", "gl", "sys"}) < 0) return unsupported();
    } else {
      oc_.take_one({"sc", "acq_rel"});
      if (oc_.take_one({"cta", "gpu", "sys"}) < 0) return unsupported();
    }
    return count(0);
  }

  bool exit() {
    oc_.take("uni");
    in_.op = Op::Exit;
    return count(0);
  }

  bool trap() {
    in_.op = Op::Trap;
    return count(0);
  }

  bool bra() {
    oc_.take("uni");
    in_.op = Op::Bra;
    return count(1) && c_.label(ops_[0]);
  }

  // The only call the kernels make is the device assertion.
  bool call() {
    oc_.take("uni");
    if (ops_.size() != 2 || ops_[0].kind != Operand::Kind::Name || ops_[1].kind != Operand::Kind::List) {
      return c_.fail("unsupported call form");
    }
    const std::string_view callee = ops_[0].name;
    if (callee != "__assertfail" || !c_.declared_function(callee)) {
      return c_.fail("call of unsupported function " + std::string(callee));
    }
    const std::vector<Operand>& args = ops_[1].elems;
    if (args.size() != 5) return c_.fail("__assertfail expects 5 arguments");
    in_.op = Op::AssertFail;
    for (size_t i = 0; i < 5; ++i) {
      Operand a;
      a.kind = Operand::Kind::Address;
      a.name = args[i].name;
      MemSpace sp = MemSpace::Param;
      uint32_t base = 0;
      int64_t off = 0;
      if (args[i].kind != Operand::Kind::Name || !c_.address(a, &sp, &base, &off) ||
          sp != MemSpace::CallParam) {
        return c_.fail("bad __assertfail argument");
      }
      in_.o[i] = static_cast<uint32_t>(off);
    }
    return true;
  }

  // Mnemonic to decoder, from the op list (a mnemonic that several ops share
  // repeats with the same decoder; the first row answers).
  using Decoder = bool (OpDecoder::*)();
  static Decoder decoder_for(std::string_view mnemonic) {
    struct Mnemonic {
      std::string_view name;
      Decoder decode;
    };
#define TVNSIM_MNEMONIC(op, mnemonic, decoder, fn) {mnemonic, &OpDecoder::decoder},
#define TVNSIM_ALIAS(mnemonic, decoder) {mnemonic, &OpDecoder::decoder},
    static constexpr Mnemonic kMnemonics[] = {
        TVNSIM_OP_LIST(TVNSIM_MNEMONIC, TVNSIM_MNEMONIC) TVNSIM_MNEMONIC_ALIASES(TVNSIM_ALIAS)};
#undef TVNSIM_ALIAS
#undef TVNSIM_MNEMONIC
    for (const Mnemonic& m : kMnemonics) {
      if (m.name == mnemonic) return m.decode;
    }
    return nullptr;
  }
};

}  // namespace

bool decode_instruction(DecodeContext& c, const Instruction& s, Instr* out) {
  return OpDecoder(c, s, out).run();
}

}  // namespace tvnsim::ptx
