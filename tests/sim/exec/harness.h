// Running PTX on the interpreter directly (no driver half): load a module,
// place buffers in an address space, pack arguments, launch.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "core/address_space.h"
#include "exec/executor.h"
#include "ptx/module.h"

namespace tvnsim::test {

// One kernel argument: raw bits and size.
struct Arg {
  uint64_t bits;
  uint32_t size;
  static Arg u64(uint64_t v) { return {v, 8}; }
  static Arg u32(uint32_t v) { return {v, 4}; }
  static Arg i32(int32_t v) { return {static_cast<uint32_t>(v), 4}; }
  static Arg f32(float v) { return {std::bit_cast<uint32_t>(v), 4}; }
};

// ".version/.target/.address_size" header plus `body`.
std::string ptx_module(const std::string& body, const std::string& target = "sm_80");

// PTX of CUDA source compiled with the engine's NVRTC options (cached per
// source and target for the life of the test binary).
const std::string& cuda_ptx(const std::string& source, const std::string& target = "sm_80");

class Device {
 public:
  AddressSpace memory;
  ExecOptions options;  // race check on, one host thread, cc 8.0

  Device() { options.racecheck = true; }

  // Loads PTX; fails the test (and returns null) when the load fails.
  const Program* load(const std::string& ptx);

  uint64_t alloc(size_t bytes) { return memory.allocate(bytes); }
  template <class T>
  uint64_t upload(const std::vector<T>& v) {
    const uint64_t p = alloc(v.size() * sizeof(T));
    std::memcpy(memory.resolve(p, v.size() * sizeof(T)), v.data(), v.size() * sizeof(T));
    return p;
  }
  template <class T>
  std::vector<T> download(uint64_t p, size_t n) {
    std::vector<T> v(n);
    std::memcpy(v.data(), memory.resolve(p, n * sizeof(T)), n * sizeof(T));
    return v;
  }

  // Launches `entry` of the last loaded program with its parameters packed
  // as the module declares them.
  ExecResult launch(const std::string& entry, Dim3 grid, Dim3 block, std::initializer_list<Arg> args,
                    uint32_t dynamic_shared = 0);
  // The same with the parameter buffer already packed.
  ExecResult launch_packed(const std::string& entry, Dim3 grid, Dim3 block,
                           const std::vector<uint8_t>& params, uint32_t dynamic_shared = 0);

 private:
  std::vector<std::unique_ptr<Program>> programs_;
  // Index of `entry` in the last loaded program, or -1 after a test failure.
  int find_entry(const std::string& entry) const;
};

}  // namespace tvnsim::test
