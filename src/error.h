// The engine's single error type and the result types built on it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "types.h"

namespace tesvan {

class Error {
 public:
  enum class Kind {
    Cuda, NoBucket, DtypeMismatch, UnsupportedArch, ShapeLimit, CountLimit, Operand, Usage
  };

  static Error cuda(std::string message) {
    Error e(Kind::Cuda);
    e.message_ = std::move(message);
    return e;
  }
  static Error no_bucket(uint64_t m, uint64_t k, uint64_t n, const char* op) {
    return with_shape(Kind::NoBucket, m, k, n, op);
  }
  // A shape the kernels cannot address: a value above 2^31 - 1, or an
  // operand of 2^31 or more elements (kernels index in 32 bits).
  static Error shape_limit(uint64_t m, uint64_t k, uint64_t n, const char* op) {
    return with_shape(Kind::ShapeLimit, m, k, n, op);
  }
  // An elementwise conversion of 2^31 or more elements (the cast kernels
  // take a 32-bit signed count).
  static Error count_limit(uint64_t count, const char* op) {
    return with_shape(Kind::CountLimit, count, 0, 0, op);
  }
  // An operand the call cannot take (misaligned, or an output overlapping
  // an input); the message names the operation and the operand.
  static Error operand(std::string message) {
    Error e(Kind::Operand);
    e.message_ = std::move(message);
    return e;
  }
  // A call the engine cannot make in its present state: scratch to create
  // while its stream is captured into a CUDA graph, or an engine used in a
  // process other than the one that made it.
  static Error usage(std::string message) {
    Error e(Kind::Usage);
    e.message_ = std::move(message);
    return e;
  }
  static Error dtype_mismatch(const char* message) {
    Error e(Kind::DtypeMismatch);
    e.static_message_ = message;
    return e;
  }
  static Error unsupported_arch(uint32_t major, uint32_t minor) {
    Error e(Kind::UnsupportedArch);
    e.major_ = major;
    e.minor_ = minor;
    return e;
  }

  Kind kind() const { return kind_; }
  bool is_no_bucket() const { return kind_ == Kind::NoBucket; }

  // The Cuda, Operand, Usage or DtypeMismatch message; empty otherwise.
  std::string_view message() const {
    return !message_.empty()   ? std::string_view(message_)
           : static_message_   ? std::string_view(static_message_)
                               : std::string_view();
  }
  uint64_t m() const { return m_; }
  uint64_t k() const { return k_; }
  uint64_t n() const { return n_; }
  const char* op() const { return op_; }
  uint32_t major() const { return major_; }
  uint32_t minor() const { return minor_; }

  // The display text every user-facing message is made from.
  std::string display() const;

 private:
  explicit Error(Kind k) : kind_(k) {}
  static Error with_shape(Kind kind, uint64_t m, uint64_t k, uint64_t n, const char* op) {
    Error e(kind);
    e.m_ = m;
    e.k_ = k;
    e.n_ = n;
    e.op_ = op;
    return e;
  }

  Kind kind_;
  std::string message_;
  const char* static_message_ = nullptr;
  uint64_t m_ = 0, k_ = 0, n_ = 0;
  const char* op_ = "";
  uint32_t major_ = 0, minor_ = 0;
};

// Success or one Error.
class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(Error e) : error_(std::move(e)) {}  // NOLINT(google-explicit-constructor)
  bool ok() const { return !error_.has_value(); }
  const Error& error() const& { return *error_; }
  Error&& error() && { return std::move(*error_); }

 private:
  std::optional<Error> error_;
};

// A value or one Error.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::move(value)) {}   // NOLINT(google-explicit-constructor)
  Result(Error e) : v_(std::move(e)) {}       // NOLINT(google-explicit-constructor)
  bool ok() const { return v_.index() == 0; }
  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  const Error& error() const& { return std::get<1>(v_); }
  Error&& error() && { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, Error> v_;
};

// Returns from the enclosing function with the error of a failed Status.
#define TVN_TRY(expr)                                   \
  do {                                                  \
    ::tesvan::Status tvn_try_status_ = (expr);          \
    if (!tvn_try_status_.ok()) return std::move(tvn_try_status_).error(); \
  } while (0)

// Escapes a text for display inside double quotes: backslash, quote and
// control characters are written as escape sequences; other bytes unchanged.
std::string escape_quoted(std::string_view text);

}  // namespace tesvan
