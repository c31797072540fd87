// The PTX cache: key, location rules, NVRTC options, and how construction
// treats missing, corrupt, incomplete, unwritable and planted cache entries.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include "cache_file.h"
#include "engine_fixture.h"
#include "kernel_build.h"
#include "support/host_allocations.h"

extern char** environ;

namespace tesvan::test {
namespace {
namespace fs = std::filesystem;

std::string read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void write_file(const fs::path& p, const std::string& text) {
  std::ofstream(p, std::ios::binary | std::ios::trunc) << text;
}

// A fresh, empty folder for one test, removed again however the test ends.
class TempDir {
 public:
  explicit TempDir(const std::string& name)
      : path_(fs::temp_directory_path() /
              ("tesvan-engine-test-" + std::to_string(getpid()) + "-" + name)) {
    fs::remove_all(path_);
    fs::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  operator const fs::path&() const { return path_; }  // NOLINT(google-explicit-constructor)
  fs::path operator/(const std::string& part) const { return path_ / part; }
  const char* c_str() const { return path_.c_str(); }

 private:
  fs::path path_;
};

// Another user's id, for files and folders planted in the cache.
constexpr uid_t kOtherUser = 12345;

// Gives `p` to another user; false where this process may not (not root).
bool give_away(const fs::path& p) { return ::lchown(p.c_str(), kOtherUser, kOtherUser) == 0; }

struct stat lstat_of(const fs::path& p) {
  struct stat st {};
  EXPECT_EQ(::lstat(p.c_str(), &st), 0) << p;
  return st;
}

// The cache file the stub-kernel engine uses under `dir`.
fs::path stub_cache_file(const fs::path& dir, const char* target = "sm_80") {
  ScopedEnv env("TESVAN_KERNEL_CACHE", dir.c_str());
  return *plan_kernel_build(stub_kernel_source(), target).cache_path;
}

// Expected values computed independently (Python, FNV-1a 64 over the UTF-8
// bytes of the key text with both offset bases).
TEST(CacheKey, MatchesIndependentlyComputedHashes) {
  EXPECT_EQ(cache_key("extern \"C\" __global__ void k() {}", "sm_90", program_options("sm_90"), 13,
                      0),
            "98e4ff5d3913d82ed924bd292443af03");
  EXPECT_EQ(cache_key("\xc3\xa9", "sm_80", program_options("sm_80"), 0, 0),
            "39b7cdf9fd3b7ee4cc9b6fc3514623c7");
}

// The key an engine's cache file is named by, composed here from its
// definition: source, target, the three program options (not the include
// paths) and NVRTC's version, hashed with both offset bases.
TEST(CacheKey, FileNameCoversSourceTargetProgramOptionsAndCompilerVersion) {
  const auto fnv1a = [](const std::string& text, uint64_t h) {
    for (unsigned char c : text) h = (h ^ c) * 0x100000001B3ull;
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(h));
    return std::string(hex);
  };
  int major = 0, minor = 0;
  auto nv = cu::nvrtc();
  ASSERT_TRUE(nv.ok());
  ASSERT_EQ(nv.value()->nvrtcVersion(&major, &minor), 0);
  const std::string source = "extern \"C\" __global__ void k(float* p) { *p = 1.0f; }\n";
  const std::string text = source + "\x1fsm_89\x1f" +
                           "[\"--fmad=true\", \"--extra-device-vectorization\", \"-DTVN_GROUP_M=16\"]" +
                           "\x1fnvrtc" + std::to_string(major) + "." + std::to_string(minor);
  const fs::path expected =
      "/tmp/k/tesvan-" + fnv1a(text, 0xCBF29CE484222325ull) + fnv1a(text, 0x6C62272E07BB0142ull) + ".ptx";

  ScopedEnv env("TESVAN_KERNEL_CACHE", "/tmp/k");
  for (const char* cuda_home : {static_cast<const char*>(nullptr), "/usr/local/cuda"}) {
    ScopedEnv home("CUDA_HOME", cuda_home);  // include paths stay out of the key
    EXPECT_EQ(plan_kernel_build(source, "sm_89").cache_path, expected);
  }
}

TEST(CacheKey, ProgramOptionsAndKeyFollowTheTarget) {
  for (const char* t : {"sm_80", "sm_86"}) {
    EXPECT_EQ(program_options(t), (std::vector<std::string>{"--fmad=true", "--extra-device-vectorization",
                                                            "-DTVN_GROUP_M=8"}));
  }
  for (const char* t : {"sm_89", "sm_90", "sm_100", "sm_120"}) {
    EXPECT_EQ(program_options(t).back(), "-DTVN_GROUP_M=16") << t;
  }
  const auto key = [](const char* t) { return cache_key("src", t, program_options(t), 13, 0); };
  EXPECT_NE(key("sm_80"), key("sm_86"));
  EXPECT_NE(key("sm_90"), key("sm_100"));
  EXPECT_NE(cache_key("src", "sm_90", program_options("sm_90"), 13, 0),
            cache_key("src", "sm_90", program_options("sm_90"), 13, 1));
}

TEST(CacheLocation, TesvanKernelCacheRules) {
  ScopedEnv xdg("XDG_CACHE_HOME", "/xdg");
  const fs::path fallback = "/xdg/tesvan/kernels";
  struct Case {
    const char* value;
    std::optional<fs::path> dir;
  } cases[] = {
      {"off", std::nullopt},    {" off ", std::nullopt},  {"OFF", std::nullopt},
      {"\t0\n", std::nullopt},  {"Off", fs::path("Off")}, {"/tmp/k", fs::path("/tmp/k")},
      {" /tmp/k ", fs::path("/tmp/k")}, {"   ", fallback}, {"", fallback},
      {"\xff\xfe", fallback},  // not valid UTF-8
  };
  for (const Case& c : cases) {
    ScopedEnv env("TESVAN_KERNEL_CACHE", c.value);
    EXPECT_EQ(cache_directory(), c.dir) << "'" << c.value << "'";
  }
  ScopedEnv env("TESVAN_KERNEL_CACHE", "/tmp/k");
  EXPECT_EQ(cache_file(*cache_directory(), "abc"), fs::path("/tmp/k/tesvan-abc.ptx"));
}

TEST(CacheLocation, DefaultBaseFromXdgHomeOrTemp) {
  ScopedEnv off("TESVAN_KERNEL_CACHE", nullptr);
  {
    ScopedEnv xdg("XDG_CACHE_HOME", "");  // set but empty: used unchanged
    EXPECT_EQ(cache_directory(), fs::path("tesvan/kernels"));
  }
  ScopedEnv xdg("XDG_CACHE_HOME", nullptr);
  {
    ScopedEnv home("HOME", "/home/u");
    EXPECT_EQ(cache_file(*cache_directory(), "k"),
              fs::path("/home/u/.cache/tesvan/kernels/tesvan-k.ptx"));
  }
  ScopedEnv home("HOME", nullptr);
  const TempDir tmpdir("tmpdir");
  ScopedEnv tmp("TMPDIR", tmpdir.c_str());
  const fs::path own = tmpdir / ("tesvan-" + std::to_string(::geteuid()));
  EXPECT_EQ(cache_directory(), own / "kernels");
  EXPECT_EQ(lstat_of(own).st_mode & 07777, 0700u);
}

// In the shared temporary folder only a folder of this user's own, that
// nobody else may enter, is used.
TEST(CacheLocation, TemporaryFolderFallbackRefusesFoldersOthersCanReach) {
  ScopedEnv off("TESVAN_KERNEL_CACHE", nullptr);
  ScopedEnv xdg("XDG_CACHE_HOME", nullptr);
  ScopedEnv home("HOME", nullptr);
  const TempDir tmpdir("tmpshared");
  ScopedEnv tmp("TMPDIR", tmpdir.c_str());
  const fs::path own = tmpdir / ("tesvan-" + std::to_string(::geteuid()));
  ASSERT_EQ(cache_directory(), own / "kernels");

  for (mode_t loose : {0755, 0770, 0701}) {
    ASSERT_EQ(::chmod(own.c_str(), loose), 0);
    EXPECT_EQ(cache_directory(), std::nullopt) << std::oct << loose;
  }
  ASSERT_EQ(::chmod(own.c_str(), 0700), 0);
  EXPECT_EQ(cache_directory(), own / "kernels");

  // A link to a private folder is not that folder.
  fs::rename(own, tmpdir / "elsewhere");
  fs::create_directory_symlink(tmpdir / "elsewhere", own);
  EXPECT_EQ(cache_directory(), std::nullopt);
  fs::remove(own);
  fs::rename(tmpdir / "elsewhere", own);

  if (!give_away(own)) GTEST_SKIP() << "changing a folder's owner needs root";
  EXPECT_EQ(cache_directory(), std::nullopt);
}

// read_cache_file's refusals at the bound itself; the engine-level cases
// follow under CacheTest.
TEST(CacheFile, ReadsRegularFilesUpToTheBound) {
  const TempDir dir("bound");
  write_file(dir / "f", std::string(10, 'x'));
  EXPECT_EQ(read_cache_file(dir / "f", 10), std::string(10, 'x'));
  EXPECT_EQ(read_cache_file(dir / "f", 9), std::nullopt);
  EXPECT_EQ(read_cache_file(dir / "missing"), std::nullopt);
  fs::create_directory(dir / "folder");
  EXPECT_EQ(read_cache_file(dir / "folder"), std::nullopt);
}

// A failed write leaves no temporary file behind.
TEST(CacheFile, FailedRenameRemovesTheTemporaryFile) {
  const TempDir dir("rename");
  fs::create_directories(dir / "entry" / "busy");  // rename cannot replace a full folder
  EXPECT_FALSE(write_cache_file(dir / "entry", "text"));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
  EXPECT_TRUE(write_cache_file(dir / "file", "text"));
  EXPECT_EQ(read_file(dir / "file"), "text");
}

TEST(NvrtcOptions, IncludeDirectoriesInCandidateOrderWithDuplicates) {
  const TempDir dir("include");
  fs::create_directories(dir / "with/include");
  write_file(dir / "with/include/cuda_fp16.h", "");
  fs::create_directories(dir / "without/include");
  const std::string with = (dir / "with").string(), without = (dir / "without").string();

  ScopedEnv home("CUDA_HOME", without.c_str());  // no header there: skipped
  ScopedEnv path("CUDA_PATH", with.c_str());
  ScopedEnv root("CUDA_ROOT", with.c_str());
  std::vector<std::string> dirs = include_directories();
  ASSERT_GE(dirs.size(), 2u);
  EXPECT_EQ(dirs[0], with + "/include");
  EXPECT_EQ(dirs[1], with + "/include");
  for (const std::string& d : dirs) EXPECT_NE(d, without + "/include");

  const std::vector<std::string> opts = nvrtc_options("sm_90");
  const size_t n = dirs.size();
  ASSERT_EQ(opts.size(), n + 4);
  EXPECT_EQ(opts[0], "--include-path=" + with + "/include");
  EXPECT_EQ(opts[n], "--gpu-architecture=sm_90");
  EXPECT_EQ(opts[n + 3], "-DTVN_GROUP_M=16");
}

TEST(NvrtcOptions, ToolkitIncludeNamedTwiceWhenCudaHomePointsAtIt) {
  if (!fs::exists("/usr/local/cuda/include/cuda_fp16.h")) GTEST_SKIP() << "no /usr/local/cuda";
  ScopedEnv home("CUDA_HOME", "/usr/local/cuda");
  ScopedEnv path("CUDA_PATH", nullptr);
  ScopedEnv root("CUDA_ROOT", nullptr);
  std::vector<std::string> dirs = include_directories();
  ASSERT_GE(dirs.size(), 2u);
  EXPECT_EQ(dirs[0], "/usr/local/cuda/include");
  EXPECT_EQ(dirs[1], "/usr/local/cuda/include");
}

TEST(CompilePtx, SourceErrorCarriesOptionsAndEscapedLog) {
  auto r = compile_ptx("this is \"not\" CUDA;", "sm_80");
  ASSERT_FALSE(r.ok());
  const std::string text = r.error().display();
  const std::string head =
      "CUDA error: NVRTC compile failed: CompileError { nvrtc: NvrtcError(NVRTC_ERROR_COMPILATION), "
      "options: " +
      render_option_list(nvrtc_options("sm_80")) + ", log: \"";
  EXPECT_EQ(text.substr(0, head.size()), head) << text;
  EXPECT_EQ(text.substr(text.size() - 3), "\" }");
  // The log's line breaks and quotes arrive escaped.
  const std::string log = text.substr(head.size(), text.size() - head.size() - 3);
  EXPECT_NE(log.find("\\n"), std::string::npos);
  EXPECT_EQ(log.find('\n'), std::string::npos);
}

using CacheTest = SimTest;

TEST_F(CacheTest, ColdBuildWritesTheFileAndWarmBuildLoadsIt) {
  const TempDir dir("cold");
  ScopedEnv env("TESVAN_KERNEL_CACHE", dir.c_str());
  const fs::path file = stub_cache_file(dir);
  ASSERT_NE(stub_engine(), nullptr);
  const std::string ptx = read_file(file);
  EXPECT_NE(ptx.find(".entry tesvan_nn("), std::string::npos);
  EXPECT_EQ(ptx.find('\0'), std::string::npos);
  // Only the final file remains: the temporary one was renamed.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);

  // Warm: one module load, the file untouched.
  const uint64_t loads = calls("cuModuleLoadData");
  ASSERT_NE(stub_engine(), nullptr);
  EXPECT_EQ(calls("cuModuleLoadData"), loads + 1);
  EXPECT_EQ(read_file(file), ptx);
  expect_nothing_left();
}

TEST_F(CacheTest, UnusableFilesAreReplacedByAFreshCompile) {
  const TempDir dir("corrupt");
  ScopedEnv env("TESVAN_KERNEL_CACHE", dir.c_str());
  const fs::path file = stub_cache_file(dir);

  // A complete PTX of the same kernels, to compare against afterwards.
  ASSERT_NE(stub_engine(), nullptr);
  const std::string good = read_file(file);

  // Missing a kernel: loads, but its table cannot be built (a file cut short).
  auto truncated = compile_ptx(stub_kernel_source({"tvn_cast_f16_to_f32"}), "sm_80");
  ASSERT_TRUE(truncated.ok());
  const std::string bad[] = {"", "garbage \x01\x02 not ptx", truncated.value(),
                             std::string("valid\0text", 10), "\xff\xfe not utf-8"};
  for (const std::string& content : bad) {
    write_file(file, content);
    EXPECT_NE(stub_engine(), nullptr);
    EXPECT_EQ(read_file(file), good) << "content of size " << content.size();
  }
  expect_nothing_left();
}

// What another user (or an accident) can leave under the entry's name is
// neither loaded, nor followed, nor waited on, nor read into memory when
// oversized; the entry is rebuilt as a file of this user's own.
TEST_F(CacheTest, PlantedEntriesAreNeitherFollowedNorLoaded) {
  const TempDir dir("planted");
  ScopedEnv env("TESVAN_KERNEL_CACHE", dir.c_str());
  const fs::path file = stub_cache_file(dir);
  ASSERT_NE(stub_engine(), nullptr);
  const std::string good = read_file(file);
  const std::string planted = good + "// planted\n";  // loads as well as the good one
  const fs::path victim = dir / "victim";
  write_file(victim, planted);
  fs::remove(file);
  const auto expect_rebuilt = [&](const char* what) {
    const struct stat st = lstat_of(file);
    EXPECT_TRUE(S_ISREG(st.st_mode)) << what;
    EXPECT_EQ(st.st_uid, ::geteuid()) << what;
    // (EXPECT_TRUE: a failure would print megabytes of PTX.)
    EXPECT_TRUE(read_file(file) == good) << what;
    EXPECT_TRUE(read_file(victim) == planted) << what;
    fs::remove(file);
  };

  fs::create_symlink(victim, file);
  ASSERT_NE(stub_engine(), nullptr);
  expect_rebuilt("link as the entry");

  // The temporary name used to be <key>.tmp-<pid>: a link there was written through.
  fs::path predictable = file;
  predictable.replace_extension("tmp-" + std::to_string(::getpid()));
  fs::create_symlink(victim, predictable);
  ASSERT_NE(stub_engine(), nullptr);
  expect_rebuilt("link at the predictable temporary name");
  fs::remove(predictable);

  ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
  auto built = std::async(std::launch::async, [] { return construction_error(); });
  if (built.wait_for(std::chrono::seconds(120)) != std::future_status::ready) {
    ADD_FAILURE() << "construction waits for a writer of the FIFO";
    ::close(::open(file.c_str(), O_WRONLY));  // let it go on
  }
  EXPECT_EQ(built.get(), "constructed");
  expect_rebuilt("FIFO");

  write_file(file, "");
  ASSERT_EQ(::truncate(file.c_str(), off_t{1} << 30), 0);  // sparse: costs no disk
  {
    HostAllocationScope allocations;
    ASSERT_NE(stub_engine(), nullptr);
    EXPECT_LT(allocations.largest(), kMaxCacheFileBytes);
  }
  expect_rebuilt("1 GiB");

  write_file(file, planted);
  if (!give_away(file)) GTEST_SKIP() << "changing a file's owner needs root";
  ASSERT_NE(stub_engine(), nullptr);
  expect_rebuilt("another user's");
  expect_nothing_left();
}

// Only a failure that blames the file's content removes it; a transient one
// (out of memory, a context error) fails this construction and keeps the
// file for the next.
TEST_F(CacheTest, TransientLoadFailuresKeepTheFile) {
  const TempDir dir("transient");
  ScopedEnv env("TESVAN_KERNEL_CACHE", dir.c_str());
  const fs::path file = stub_cache_file(dir);
  ASSERT_NE(stub_engine(), nullptr);
  // Marked, so that a rewrite shows (an inode number may be reused).
  const std::string marked = read_file(file) + "// kept\n";
  write_file(file, marked);

  struct Case {
    const char* function;
    int result;
    const char* message;
  } transient[] = {
      {"cuModuleLoadData", 2, "module load failed: DriverError(CUDA_ERROR_OUT_OF_MEMORY"},
      {"cuModuleLoadData", 201, "module load failed: DriverError(CUDA_ERROR_INVALID_CONTEXT"},
      {"cuModuleGetFunction", 201, "CUDA_ERROR_INVALID_CONTEXT"},
      {"cuFuncSetAttribute", 2, "CUDA_ERROR_OUT_OF_MEMORY"},
  };
  for (const Case& c : transient) {
    sim().tvnsim_inject(c.function, 1, c.result);
    const std::string error = construction_error();
    EXPECT_NE(error.find(c.message), std::string::npos) << c.function << ": " << error;
    EXPECT_TRUE(read_file(file) == marked) << c.function;
    sim().tvnsim_clear_injections();
  }
  const uint64_t loads = calls("cuModuleLoadData");
  ASSERT_NE(stub_engine(), nullptr);
  EXPECT_EQ(calls("cuModuleLoadData"), loads + 1);  // still warm

  // Not loadable as PTX: replaced by a fresh compile.
  sim().tvnsim_inject("cuModuleLoadData", 1, 218);  // CUDA_ERROR_INVALID_PTX
  ASSERT_NE(stub_engine(), nullptr);
  EXPECT_FALSE(read_file(file) == marked);
  EXPECT_TRUE(fs::exists(file));
  expect_nothing_left();
}

TEST_F(CacheTest, DisabledOrUnwritableCacheStillBuilds) {
  {
    ScopedEnv env("TESVAN_KERNEL_CACHE", "off");
    ASSERT_NE(stub_engine(), nullptr);
  }
  // The cache folder cannot be created (its parent is a file): every build
  // compiles and none fails.
  const TempDir dir("blocked");
  write_file(dir / "file", "x");
  ScopedEnv env("TESVAN_KERNEL_CACHE", (dir / "file" / "cache").c_str());
  for (int i = 0; i < 2; ++i) EXPECT_NE(stub_engine(), nullptr);
  EXPECT_FALSE(fs::exists(dir / "file" / "cache"));

  // A refused default folder in the temporary folder: built, nothing stored.
  ScopedEnv unset("TESVAN_KERNEL_CACHE", nullptr);
  ScopedEnv xdg("XDG_CACHE_HOME", nullptr);
  ScopedEnv home("HOME", nullptr);
  ScopedEnv tmp("TMPDIR", dir.c_str());
  const fs::path own = dir / ("tesvan-" + std::to_string(::geteuid()));
  fs::create_directory(own);
  ASSERT_EQ(::chmod(own.c_str(), 0777), 0);
  EXPECT_NE(stub_engine(), nullptr);
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    EXPECT_NE(entry.path().extension(), ".ptx") << entry.path();
  }
  expect_nothing_left();
}

TEST_F(CacheTest, ConcurrentColdBuildsInOneProcessAllSucceed) {
  const TempDir dir("threads");
  ScopedEnv env("TESVAN_KERNEL_CACHE", dir.c_str());
  std::vector<std::string> errors(4);
  {
    std::vector<std::thread> threads;
    for (std::string& e : errors) {
      threads.emplace_back([&e] { e = construction_error(); });
    }
    for (std::thread& t : threads) t.join();
  }
  for (const std::string& e : errors) EXPECT_EQ(e, "constructed");
  // The file left behind is complete: a warm build loads it.
  const uint64_t loads = calls("cuModuleLoadData");
  ASSERT_NE(stub_engine(), nullptr);
  EXPECT_EQ(calls("cuModuleLoadData"), loads + 1);
  expect_nothing_left();
}

// Run in child processes by the test below.
TEST_F(CacheTest, DISABLED_ChildBuildsEngine) { ASSERT_NE(stub_engine(), nullptr); }

TEST_F(CacheTest, ConcurrentColdBuildsInTwoProcessesBothSucceed) {
  const TempDir dir("processes");
  ScopedEnv env("TESVAN_KERNEL_CACHE", dir.c_str());
  const std::string self = fs::read_symlink("/proc/self/exe").string();
  std::vector<pid_t> children;
  for (int i = 0; i < 2; ++i) {
    char* argv[] = {const_cast<char*>(self.c_str()),
                    const_cast<char*>("--gtest_filter=CacheTest.DISABLED_ChildBuildsEngine"),
                    const_cast<char*>("--gtest_also_run_disabled_tests"), nullptr};
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, self.c_str(), &quiet, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&quiet);
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
  }
  EXPECT_TRUE(fs::exists(stub_cache_file(dir)));
}

}  // namespace
}  // namespace tesvan::test
