// A small streaming JSON writer for the benchmark reports: objects, arrays,
// strings, integers, doubles and booleans, with commas placed for the caller.
#pragma once

#include <cmath>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace tesvan::bench {

class JsonWriter {
 public:
  JsonWriter& begin_object() { return open('{'); }
  JsonWriter& end_object() { return close('}'); }
  JsonWriter& begin_array() { return open('['); }
  JsonWriter& end_array() { return close(']'); }

  JsonWriter& key(std::string_view k) {
    separate();
    quoted(k);
    out_ += ": ";
    after_key_ = true;
    return *this;
  }
  JsonWriter& value(std::string_view s) {
    separate();
    quoted(s);
    return *this;
  }
  JsonWriter& value(const char* s) { return value(std::string_view(s)); }
  JsonWriter& value(const std::string& s) { return value(std::string_view(s)); }
  JsonWriter& value(bool b) { return raw(b ? "true" : "false"); }
  JsonWriter& value(int v) { return raw(std::to_string(v)); }
  JsonWriter& value(long long v) { return raw(std::to_string(v)); }
  JsonWriter& value(double v) {
    if (!std::isfinite(v)) return raw("null");
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.6g", v);
    return raw(buf);
  }

  const std::string& str() const { return out_; }

 private:
  JsonWriter& open(char c) {
    separate();
    out_ += c;
    first_.push_back(true);
    return *this;
  }
  JsonWriter& close(char c) {
    first_.pop_back();
    out_ += c;
    return *this;
  }
  JsonWriter& raw(std::string_view text) {
    separate();
    out_ += text;
    return *this;
  }
  // A comma before every member or element but the first; none after a key.
  void separate() {
    if (after_key_) {
      after_key_ = false;
      return;
    }
    if (first_.empty()) return;
    if (!first_.back()) out_ += ", ";
    first_.back() = false;
  }
  void quoted(std::string_view s) {
    out_ += '"';
    for (unsigned char c : s) {
      if (c == '"' || c == '\\') {
        out_ += '\\';
        out_ += static_cast<char>(c);
      } else if (c < 0x20) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "\\u%04x", c);
        out_ += buf;
      } else {
        out_ += static_cast<char>(c);
      }
    }
    out_ += '"';
  }

  std::string out_;
  std::vector<bool> first_;
  bool after_key_ = false;
};

}  // namespace tesvan::bench
