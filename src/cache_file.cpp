#include "cache_file.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

namespace tesvan {
namespace fs = std::filesystem;

namespace {

// Closes a descriptor on every path out.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  // Closes now, reporting the result (a failed close can mean lost data).
  int close() {
    const int r = ::close(fd_);
    fd_ = -1;
    return r;
  }

 private:
  int fd_;
};

std::string describe(const fs::path& path, const std::string& problem) {
  return path.string() + ": " + problem;
}

std::string errno_text(int err) { return std::error_code(err, std::generic_category()).message(); }

// Sixteen hex digits from the kernel's random source; the time and process
// id stand in should it be unavailable (O_EXCL still guards the open).
std::string random_suffix() {
  uint64_t v = 0;
  if (::getrandom(&v, sizeof v, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof v)) {
    static std::atomic<uint64_t> counter{0};
    struct timespec ts {};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    v = (static_cast<uint64_t>(ts.tv_nsec) << 20) ^ static_cast<uint64_t>(ts.tv_sec) ^
        (static_cast<uint64_t>(::getpid()) << 40) ^ (++counter * 0x9E3779B97F4A7C15ull);
  }
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(v));
  return hex;
}

bool write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

}  // namespace

void warn_cache_problem(std::string_view what) {
  static std::atomic<bool> warned{false};
  if (warned.exchange(true)) return;
  std::fprintf(stderr, "tesvan: kernel cache: %.*s; compiling without it\n",
               static_cast<int>(what.size()), what.data());
}

std::optional<std::string> read_cache_file(const fs::path& path, uint64_t max_bytes) {
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
  Fd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (fd.get() < 0) {
    const int err = errno;
    if (err != ENOENT) {
      warn_cache_problem(describe(path, err == ELOOP ? "is a symbolic link" : errno_text(err)));
    }
    return std::nullopt;
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) {
    warn_cache_problem(describe(path, errno_text(errno)));
    return std::nullopt;
  }
  if (!S_ISREG(st.st_mode)) {
    warn_cache_problem(describe(path, "is not a regular file"));
    return std::nullopt;
  }
  if (st.st_uid != ::geteuid()) {
    warn_cache_problem(describe(path, "belongs to user " + std::to_string(st.st_uid)));
    return std::nullopt;
  }
  if (static_cast<uint64_t>(st.st_size) > max_bytes) {
    warn_cache_problem(describe(path, "is larger than " + std::to_string(max_bytes) + " bytes"));
    return std::nullopt;
  }
  // One byte more than the size: cache files are only ever made whole by a
  // rename, so a file that grows while read is not one to trust.
  const size_t size = static_cast<size_t>(st.st_size);
  std::string bytes(size + 1, '\0');
  size_t have = 0;
  while (have < bytes.size()) {
    const ssize_t n = ::read(fd.get(), bytes.data() + have, bytes.size() - have);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      warn_cache_problem(describe(path, errno_text(errno)));
      return std::nullopt;
    }
    if (n == 0) break;
    have += static_cast<size_t>(n);
  }
  if (have > size) {
    warn_cache_problem(describe(path, "changed while being read"));
    return std::nullopt;
  }
  bytes.resize(have);
  return bytes;
}

bool write_cache_file(const fs::path& path, std::string_view bytes) {
  std::error_code ec;
  if (path.has_parent_path()) {
    fs::create_directories(path.parent_path(), ec);
    if (ec) {
      warn_cache_problem(describe(path.parent_path(), ec.message()));
      return false;
    }
  }
  // A fresh name that nobody can predict, created exclusively: a file or
  // link planted in advance cannot be the one written.
  fs::path tmp;
  int raw = -1;
  for (int attempt = 0; attempt < 16 && raw < 0; ++attempt) {
    tmp = path;
    tmp.replace_extension("tmp-" + random_suffix());
    raw = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (raw < 0 && errno != EEXIST) break;
  }
  if (raw < 0) {
    warn_cache_problem(describe(tmp, errno_text(errno)));
    return false;
  }
  Fd fd(raw);
  if (!write_all(fd.get(), bytes) || fd.close() != 0) {
    warn_cache_problem(describe(tmp, errno_text(errno)));
    ::unlink(tmp.c_str());
    return false;
  }
  // rename() replaces the name itself: a link or FIFO at `path` goes, its
  // target is never touched.
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    warn_cache_problem(describe(path, errno_text(errno)));
    ::unlink(tmp.c_str());
    return false;
  }
  return true;
}

bool ensure_private_folder(const fs::path& dir) {
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    warn_cache_problem(describe(dir, errno_text(errno)));
    return false;
  }
  struct stat st {};
  if (::lstat(dir.c_str(), &st) != 0) {
    warn_cache_problem(describe(dir, errno_text(errno)));
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    warn_cache_problem(describe(dir, "is not a folder"));
    return false;
  }
  if (st.st_uid != ::geteuid()) {
    warn_cache_problem(describe(dir, "belongs to user " + std::to_string(st.st_uid)));
    return false;
  }
  if ((st.st_mode & 077) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%03o", static_cast<unsigned>(st.st_mode & 0777));
    warn_cache_problem(describe(dir, std::string("has mode ") + mode + ", not private to its owner"));
    return false;
  }
  return true;
}

}  // namespace tesvan
