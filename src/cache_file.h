// One file of the on-disk kernel cache, read and written so that nothing
// another user (or a careless one) leaves in the cache folder can make the
// engine block, run out of memory, load foreign code or overwrite a file
// elsewhere.  Every problem is reported once per process on stderr and
// otherwise treated as a cache miss: the caller compiles instead.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace tesvan {

// Far above any module the engine builds (a few MB), far below what would
// hurt to hold in memory.
inline constexpr uint64_t kMaxCacheFileBytes = uint64_t{64} << 20;

// The bytes of `path` when it is a regular file owned by this user and at
// most `max_bytes` long.  A missing file is a silent miss; any other refusal
// or failure warns.  Symbolic links are not followed and opening never
// blocks (a FIFO is refused, not waited on).
std::optional<std::string> read_cache_file(const std::filesystem::path& path,
                                           uint64_t max_bytes = kMaxCacheFileBytes);

// Stores `bytes` at `path` atomically: the parent folders are created, the
// bytes go to a new file of unpredictable name beside `path` (never an
// existing file or a link), which is then renamed over `path`.  On failure
// the temporary file is removed, a warning given and false returned.
bool write_cache_file(const std::filesystem::path& path, std::string_view bytes);

// Makes sure `dir` is a folder only this user can use: creates it with mode
// 0700 when missing, and refuses (with a warning) one that is a link, is not
// a folder, belongs to another user or grants any access to others.
bool ensure_private_folder(const std::filesystem::path& dir);

// "tesvan: kernel cache: <what>; compiling without it" on stderr, the first
// time in this process only.
void warn_cache_problem(std::string_view what);

}  // namespace tesvan
