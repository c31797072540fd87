#include "harness.h"

#include <map>
#include <mutex>

#include "kernel_build.h"

namespace tvnsim::test {

std::string ptx_module(const std::string& body, const std::string& target) {
  return ".version 8.7\n.target " + target + "\n.address_size 64\n" + body;
}

const std::string& cuda_ptx(const std::string& source, const std::string& target) {
  static std::mutex m;
  static std::map<std::pair<std::string, std::string>, std::string> cache;
  std::lock_guard<std::mutex> lk(m);
  auto key = std::make_pair(source, target);
  auto it = cache.find(key);
  if (it == cache.end()) {
    auto r = tesvan::compile_ptx(source, target);
    std::string ptx;
    if (r.ok()) ptx = r.value();
    else ADD_FAILURE() << "NVRTC: " << r.error().message();
    it = cache.emplace(key, std::move(ptx)).first;
  }
  return it->second;
}

const Program* Device::load(const std::string& ptx) {
  LoadResult r = load_program(ptx, memory);
  EXPECT_EQ(r.result, 0) << r.message;
  if (!r.program) return nullptr;
  programs_.push_back(std::move(r.program));
  return programs_.back().get();
}

int Device::find_entry(const std::string& entry) const {
  if (programs_.empty()) {
    ADD_FAILURE() << "no program loaded";
    return -1;
  }
  const ModuleInfo& info = programs_.back()->info();
  for (size_t e = 0; e < info.entries.size(); ++e) {
    if (info.entries[e].name == entry) return static_cast<int>(e);
  }
  ADD_FAILURE() << "no entry " << entry;
  return -1;
}

ExecResult Device::launch(const std::string& entry, Dim3 grid, Dim3 block,
                          std::initializer_list<Arg> args, uint32_t dynamic_shared) {
  const int e = find_entry(entry);
  if (e < 0) return ExecResult{-1};
  const EntryInfo& ei = programs_.back()->info().entries[static_cast<size_t>(e)];
  if (ei.params.size() != args.size()) {
    ADD_FAILURE() << entry << " takes " << ei.params.size() << " arguments";
    return ExecResult{-1};
  }
  std::vector<uint8_t> buffer(ei.param_bytes, 0);
  size_t i = 0;
  for (const Arg& a : args) {
    const ParamInfo& pi = ei.params[i++];
    EXPECT_EQ(pi.size, a.size) << "argument " << pi.name;
    std::memcpy(buffer.data() + pi.offset, &a.bits, std::min(a.size, pi.size));
  }
  return launch_packed(entry, grid, block, buffer, dynamic_shared);
}

ExecResult Device::launch_packed(const std::string& entry, Dim3 grid, Dim3 block,
                                 const std::vector<uint8_t>& params, uint32_t dynamic_shared) {
  const int e = find_entry(entry);
  if (e < 0) return ExecResult{-1};
  LaunchSpec spec;
  spec.program = programs_.back().get();
  spec.entry = static_cast<uint32_t>(e);
  spec.grid = grid;
  spec.block = block;
  spec.dynamic_shared = dynamic_shared;
  spec.params = params.data();
  return execute(spec, memory, options);
}

}  // namespace tvnsim::test
