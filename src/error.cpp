#include "error.h"

#include <cstdio>

namespace tesvan {

std::string Error::display() const {
  switch (kind_) {
    case Kind::Cuda:
      return "CUDA error: " + message_;
    case Kind::NoBucket:
      return std::string(op_) + ": no deterministic bucket for shape M=" + std::to_string(m_) +
             " K=" + std::to_string(k_) + " N=" + std::to_string(n_) + " in this tier";
    case Kind::ShapeLimit:
      return std::string(op_) + ": shape M=" + std::to_string(m_) + " K=" + std::to_string(k_) +
             " N=" + std::to_string(n_) +
             " exceeds the kernels' 32-bit limit (every dimension and every operand's element "
             "count must be at most 2147483647)";
    case Kind::CountLimit:
      return std::string(op_) + ": element count " + std::to_string(m_) +
             " exceeds the kernels' 32-bit limit (at most 2147483647)";
    case Kind::Operand:
    case Kind::Usage:
      return message_;
    case Kind::DtypeMismatch:
      return std::string("dtype mismatch: ") + static_message_;
    case Kind::UnsupportedArch:
      return "unsupported GPU architecture sm_" + std::to_string(major_) + std::to_string(minor_) +
             ": tesvan requires Ampere or newer (sm_80+)";
  }
  return {};
}

std::string escape_quoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  for (unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (c < 0x20 || c == 0x7f) {
          char buf[16];
          std::snprintf(buf, sizeof buf, "\\u{%x}", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out;
}

}  // namespace tesvan
