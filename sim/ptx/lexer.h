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

struct LexResult {
  std::vector<Token> tokens;  // always ends with an End token
  std::string error;          // empty on success
};

// Splits the whole text; fails on a character PTX does not use or an
// unterminated comment or string.
LexResult lex(std::string_view text);

}  // namespace tvnsim::ptx
