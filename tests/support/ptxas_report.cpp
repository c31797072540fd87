#include "support/ptxas_report.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <sstream>

#include "kernel_build.h"

extern char** environ;

namespace tesvan::ptxas {
namespace {

namespace fs = std::filesystem;

// Index of the function called `name`, appended when new.
size_t slot(std::vector<FunctionResources>& fns, const std::string& name) {
  for (size_t i = 0; i < fns.size(); ++i) {
    if (fns[i].name == name) return i;
  }
  fns.push_back(FunctionResources{.name = name});
  return fns.size() - 1;
}

int number(const std::smatch& m, int group) { return std::stoi(m[group].str()); }

struct Output {
  int status = -1;  // exit status, or -1 when the program could not be run
  std::string text; // stdout and stderr together
};

// Runs argv[0] with argv, collecting stdout and stderr; no shell involved.
Output run(const std::vector<std::string>& args) {
  Output out;
  int fds[2];
  if (::pipe(fds) != 0) return out;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
  posix_spawn_file_actions_addclose(&actions, fds[1]);
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int spawned = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  char buf[4096];
  ssize_t n;
  while ((n = ::read(fds[0], buf, sizeof buf)) > 0) out.text.append(buf, static_cast<size_t>(n));
  ::close(fds[0]);
  if (spawned != 0) return out;
  int wstatus = 0;
  if (::waitpid(pid, &wstatus, 0) == pid && WIFEXITED(wstatus)) out.status = WEXITSTATUS(wstatus);
  return out;
}

// A private file holding `text`, removed when the object goes.
class TempFile {
 public:
  TempFile(std::string_view text, const char* suffix) {
    std::error_code ec;
    std::string pattern = (fs::temp_directory_path(ec) / "tvn-ptxas-XXXXXX").string() + suffix;
    const int fd = ::mkstemps(pattern.data(), static_cast<int>(std::char_traits<char>::length(suffix)));
    if (fd < 0) return;
    size_t done = 0;
    while (done < text.size()) {
      const ssize_t w = ::write(fd, text.data() + done, text.size() - done);
      if (w <= 0) break;
      done += static_cast<size_t>(w);
    }
    ::close(fd);
    path_ = pattern;
    if (done != text.size()) path_.clear();
  }
  ~TempFile() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace

std::vector<FunctionResources> parse_verbose_log(std::string_view log) {
  static const std::regex entry_re("Compiling entry function '([^']+)'");
  static const std::regex properties_re("Function properties for (\\S+)");
  static const std::regex frame_re(
      "(\\d+) bytes stack frame, (\\d+) bytes spill stores, (\\d+) bytes spill loads");
  static const std::regex used_re("Used (\\d+) registers");
  static const std::regex barriers_re("used (\\d+) barriers");
  static const std::regex smem_re("(\\d+) bytes smem");
  static const std::regex cmem_re("(\\d+) bytes cmem\\[0\\]");

  std::vector<FunctionResources> fns;
  // The entry whose "Used ..." line comes next, and the function whose
  // stack/spill line comes next: ptxas names each before its numbers.
  size_t entry = SIZE_MAX, properties = SIZE_MAX;
  std::istringstream lines{std::string(log)};
  std::string line;
  std::smatch m;
  while (std::getline(lines, line)) {
    if (std::regex_search(line, m, entry_re)) {
      entry = slot(fns, m[1]);
      fns[entry].entry = true;
    } else if (std::regex_search(line, m, properties_re)) {
      properties = slot(fns, m[1]);
    } else if (std::regex_search(line, m, frame_re)) {
      if (properties == SIZE_MAX) continue;
      FunctionResources& f = fns[properties];
      f.stack = number(m, 1);
      f.spill_stores = number(m, 2);
      f.spill_loads = number(m, 3);
    } else if (std::regex_search(line, m, used_re)) {
      if (entry == SIZE_MAX) continue;
      FunctionResources& f = fns[entry];
      f.registers = number(m, 1);
      if (std::regex_search(line, m, barriers_re)) f.barriers = number(m, 1);
      if (std::regex_search(line, m, smem_re)) f.shared = number(m, 1);
      if (std::regex_search(line, m, cmem_re)) f.constant = number(m, 1);
    }
  }
  return fns;
}

std::vector<std::string> ptx_entries(std::string_view ptx) {
  std::vector<std::string> names;
  static constexpr std::string_view kEntry = ".entry ";
  for (size_t at = ptx.find(kEntry); at != std::string_view::npos; at = ptx.find(kEntry, at + 1)) {
    size_t begin = at + kEntry.size();
    size_t end = begin;
    while (end < ptx.size() && ptx[end] != '(' && ptx[end] != ' ' && ptx[end] != '\n') ++end;
    names.emplace_back(ptx.substr(begin, end - begin));
  }
  return names;
}

std::string find_ptxas() {
  std::vector<fs::path> candidates;
  for (const char* var : {"CUDA_HOME", "CUDA_PATH", "CUDA_ROOT"}) {
    if (const char* v = std::getenv(var)) candidates.push_back(fs::path(v) / "bin" / "ptxas");
  }
  candidates.emplace_back("/usr/local/cuda/bin/ptxas");
  for (const fs::path& p : candidates) {
    if (::access(p.c_str(), X_OK) == 0) return p.string();
  }
  return "";
}

std::string version(const std::string& ptxas) {
  const Output out = run({ptxas, "--version"});
  if (out.status != 0) return "";
  std::istringstream lines(out.text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.find("release") != std::string::npos) return line;
  }
  return "";
}

const FunctionResources* Report::find(std::string_view name) const {
  for (const FunctionResources& f : functions) {
    if (f.name == name) return &f;
  }
  return nullptr;
}

Report assemble(const std::string& ptxas, std::string_view ptx, std::string_view target,
                const std::vector<std::string>& extra_options) {
  Report report;
  TempFile file(ptx, ".ptx");
  if (file.path().empty()) {
    report.error = "cannot write the PTX to a temporary file";
    return report;
  }
  std::vector<std::string> args = {ptxas, "-arch=" + std::string(target), "-v"};
  args.insert(args.end(), extra_options.begin(), extra_options.end());
  args.insert(args.end(), {file.path(), "-o", "/dev/null"});

  const auto start = std::chrono::steady_clock::now();
  const Output out = run(args);
  report.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (out.status != 0) {
    report.error = (out.status < 0 ? "cannot run " : "ptxas failed for ") + std::string(target) +
                   " (" + ptxas + "):\n" + out.text;
    return report;
  }
  report.functions = parse_verbose_log(out.text);
  return report;
}

EngineReport engine_report(const std::string& ptxas, const std::string& target) {
  EngineReport r;
  r.target = target;
  const auto start = std::chrono::steady_clock::now();
  Result<std::string> ptx = kernel_ptx(target);
  r.ptx_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!ptx.ok()) {
    r.ptxas.error = ptx.error().display();
    return r;
  }
  r.entries = ptx_entries(ptx.value());
  r.ptxas = assemble(ptxas, ptx.value(), target);
  return r;
}

}  // namespace tesvan::ptxas
