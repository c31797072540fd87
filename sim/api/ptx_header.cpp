#include "api/ptx_header.h"

#include <cctype>
#include <charconv>
#include <cstring>

#include "api/cuda_api.h"

namespace tvnsim::api {
namespace {

class Reader {
 public:
  explicit Reader(std::string_view t) : t_(t) {}

  // Skips white space and // and /* */ comments.
  void skip_blank() {
    for (;;) {
      while (i_ < t_.size() && std::isspace(static_cast<unsigned char>(t_[i_]))) ++i_;
      if (t_.substr(i_, 2) == "//") {
        const size_t nl = t_.find('\n', i_);
        i_ = nl == std::string_view::npos ? t_.size() : nl;
      } else if (t_.substr(i_, 2) == "/*") {
        const size_t end = t_.find("*/", i_ + 2);
        i_ = end == std::string_view::npos ? t_.size() : end + 2;
      } else {
        return;
      }
    }
  }

  // The next run of characters that may form a directive, number or name.
  std::string_view word() {
    skip_blank();
    const size_t start = i_;
    while (i_ < t_.size()) {
      const char c = t_[i_];
      if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_')) break;
      ++i_;
    }
    return t_.substr(start, i_ - start);
  }

 private:
  std::string_view t_;
  size_t i_ = 0;
};

bool parse_number(std::string_view s, int* out) {
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), *out);
  return ec == std::errc() && p == s.data() + s.size() && !s.empty();
}

}  // namespace

bool read_ptx_header(std::string_view text, PtxHeader* out, std::string* why) {
  Reader r(text);
  if (r.word() != ".version") {
    *why = "not PTX text: it does not start with a .version directive";
    return false;
  }
  const std::string_view version = r.word();
  const size_t dot = version.find('.');
  if (dot == std::string_view::npos || !parse_number(version.substr(0, dot), &out->version_major) ||
      !parse_number(version.substr(dot + 1), &out->version_minor)) {
    *why = "not PTX text: malformed .version '" + std::string(version) + "'";
    return false;
  }
  if (r.word() != ".target") {
    *why = "not PTX text: no .target directive after .version";
    return false;
  }
  const std::string_view target = r.word();
  out->target = std::string(target);
  std::string_view digits = target.substr(0, 3) == "sm_" ? target.substr(3) : std::string_view();
  out->target_suffix = 0;
  if (!digits.empty() && (digits.back() == 'a' || digits.back() == 'f')) {
    out->target_suffix = digits.back();
    digits.remove_suffix(1);
  }
  if (!parse_number(digits, &out->target_sm)) {
    *why = "not PTX text: unknown .target '" + out->target + "'";
    return false;
  }
  return true;
}

PtxIsa newest_ptx_isa(int driver_version) {
  // NVIDIA's PTX ISA release history: the first CUDA version of each ISA.
  // CUDA 12.5 and 12.6 share ISA 8.5; every CUDA 13.x release has ISA 9.x.
  struct Release {
    int cuda;
    PtxIsa isa;
  };
  static constexpr Release kReleases[] = {
      {11000, {7, 0}}, {11010, {7, 1}}, {11020, {7, 2}}, {11030, {7, 3}}, {11040, {7, 4}},
      {11050, {7, 5}}, {11060, {7, 6}}, {11070, {7, 7}}, {11080, {7, 8}}, {12000, {8, 0}},
      {12010, {8, 1}}, {12020, {8, 2}}, {12030, {8, 3}}, {12040, {8, 4}}, {12050, {8, 5}},
      {12070, {8, 6}}, {12080, {8, 7}}, {12090, {8, 8}}, {13000, {9, 0}}};
  if (driver_version >= 13000) return {9, driver_version % 1000 / 10};
  PtxIsa isa{6, 5};  // CUDA 10.2, older than any target this device models
  for (const Release& r : kReleases) {
    if (r.cuda <= driver_version) isa = r.isa;
  }
  return isa;
}

bool is_machine_code(const void* image) {
  // strncmp stops at a NUL, so a short text image is never read past its end.
  return std::strncmp(static_cast<const char*>(image), "\x7f" "ELF", 4) == 0;
}

int check_ptx_compatibility(const PtxHeader& h, int driver_version, int cc_major, int cc_minor,
                            std::string* why) {
  const PtxIsa newest = newest_ptx_isa(driver_version);
  if (h.version_major > newest.major ||
      (h.version_major == newest.major && h.version_minor > newest.minor)) {
    *why = "PTX .version " + std::to_string(h.version_major) + "." +
           std::to_string(h.version_minor) + " is newer than this driver supports (" +
           std::to_string(newest.major) + "." + std::to_string(newest.minor) + ")";
    return CUDA_ERROR_UNSUPPORTED_PTX_VERSION;
  }
  const int device_sm = cc_major * 10 + cc_minor;
  bool ok = h.target_sm <= device_sm;
  if (h.target_suffix == 'a') ok = h.target_sm == device_sm;
  if (h.target_suffix == 'f') ok = ok && h.target_sm / 10 == device_sm / 10;
  if (!ok) {
    *why = "the JIT cannot compile PTX for .target " + h.target +
           " on a device of compute capability " + std::to_string(cc_major) + "." +
           std::to_string(cc_minor);
    return CUDA_ERROR_INVALID_PTX;
  }
  return CUDA_SUCCESS;
}

}  // namespace tvnsim::api
