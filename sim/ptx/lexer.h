// Tokens of PTX text.
//
// PTX is free-form apart from comments; a token never spans lines.  Words
// cover identifiers, registers (%r1), directives (.reg), opcodes with their
// modifiers (ld.global.L2::128B.v4.f32) and labels; a single ':' ends a word
// while '::' stays inside it.  Numbers are kept as text and converted by the
// parser, which knows whether it expects an integer or a float.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tvnsim::ptx {

enum class TokenKind : uint8_t { Word, Number, String, Punct, End };

struct Token {
  TokenKind kind = TokenKind::End;
  std::string_view text;  // view into the source
  uint32_t line = 0;      // 1-based
};

// Produces the tokens of a text one at a time (a module holds about a
// million; they are never all kept).
class Lexer {
 public:
  explicit Lexer(std::string_view text) : s_(text) {}
  // The next token; End at the end of the text or after an error.
  Token next();
  // Why lexing stopped early; empty when it did not.
  const std::string& error() const { return error_; }

 private:
  std::string_view s_;
  size_t i_ = 0;
  uint32_t line_ = 1;
  std::string error_;
  Token fail(const std::string& what);
};

}  // namespace tvnsim::ptx
