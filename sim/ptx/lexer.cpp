#include "ptx/lexer.h"

#include <cstdio>

namespace tvnsim::ptx {
namespace {

bool word_start(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '$' || c == '%' ||
         c == '.';
}
bool word_char(char c) { return word_start(c) || (c >= '0' && c <= '9'); }
bool digit(char c) { return c >= '0' && c <= '9'; }
bool alnum(char c) {
  return digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

}  // namespace

Token Lexer::fail(const std::string& what) {
  error_ = "line " + std::to_string(line_) + ": " + what;
  i_ = s_.size();
  return Token{TokenKind::End, {}, line_};
}

Token Lexer::next() {
  const std::string_view s = s_;
  const size_t n = s.size();
  size_t i = i_;
  while (i < n) {
    const char c = s[i];
    if (c == '\n') {
      ++line_;
      ++i;
      continue;
    }
    if (c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v') {
      ++i;
      continue;
    }
    if (c == '/' && i + 1 < n && s[i + 1] == '/') {
      while (i < n && s[i] != '\n') ++i;
      continue;
    }
    if (c == '/' && i + 1 < n && s[i + 1] == '*') {
      const size_t end = s.find("*/", i + 2);
      if (end == std::string_view::npos) return fail("unterminated comment");
      for (size_t k = i; k < end; ++k) line_ += s[k] == '\n';
      i = end + 2;
      continue;
    }
    break;
  }
  if (i >= n) {
    i_ = n;
    return Token{TokenKind::End, {}, line_};
  }
  const char c = s[i];
  const size_t start = i;
  TokenKind kind;
  if (word_start(c)) {
    kind = TokenKind::Word;
    ++i;
    while (i < n) {
      if (word_char(s[i])) {
        ++i;
      } else if (s[i] == ':' && i + 1 < n && s[i + 1] == ':') {
        i += 2;
      } else {
        break;
      }
    }
  } else if (digit(c)) {
    kind = TokenKind::Number;
    ++i;
    while (i < n && (alnum(s[i]) || s[i] == '.')) ++i;
  } else if (c == '"') {
    kind = TokenKind::String;
    ++i;
    while (i < n && s[i] != '"' && s[i] != '\n') i += (s[i] == '\\') ? 2 : 1;
    if (i >= n || s[i] != '"') return fail("unterminated string");
    ++i;
  } else if (std::string_view("{}[](),;:@!+-<>=|").find(c) != std::string_view::npos) {
    kind = TokenKind::Punct;
    ++i;
  } else {
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02x", static_cast<unsigned char>(c));
    return fail(std::string("unexpected character ") + buf);
  }
  i_ = i;
  return Token{kind, s.substr(start, i - start), line_};
}

}  // namespace tvnsim::ptx
