// Shared setup of the engine tests: a fresh simulated device per test,
// environment overrides undone at the end, engines built from the stub
// kernels, and readers for the launch log and the resource accounting.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine_inner.h"
#include "support/sim_control.h"
#include "support/stub_kernels.h"

namespace tesvan::test {

// Sets (or, with nullptr, unsets) an environment variable for one scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      setenv(name_.c_str(), old_->c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

class SimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!sim().available()) GTEST_SKIP() << "needs the simulated device (libcuda.so.1 from simdev)";
    sim().tvnsim_reset();
    set_config([](TvnSimConfig& c) { c.execute = 0; });
  }
  void TearDown() override {
    if (sim().available()) sim().tvnsim_reset();
  }

  template <class F>
  static void set_config(F&& edit) {
    TvnSimConfig c;
    sim().tvnsim_get_config(&c);
    edit(c);
    sim().tvnsim_set_config(&c);
  }

  // An engine on device 0 whose table comes from the stub kernels.
  static std::unique_ptr<EngineInner> stub_engine(const std::vector<std::string>& omit = {}) {
    auto r = EngineInner::create_from_source(0, stub_kernel_source(omit));
    EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().display());
    return r.ok() ? std::move(r).value() : nullptr;
  }

  static std::string construction_error(const std::vector<std::string>& omit = {}) {
    auto r = EngineInner::create_from_source(0, stub_kernel_source(omit));
    return r.ok() ? "constructed" : r.error().display();
  }

  // Accounting once queued work (stream-ordered frees included) has run.
  static TvnSimResources resources() {
    sim().tvnsim_drain();
    TvnSimResources r{};
    sim().tvnsim_resources(&r);
    return r;
  }

  static void expect_nothing_left() {
    const TvnSimResources r = resources();
    EXPECT_EQ(r.allocations, 0u);
    EXPECT_EQ(r.streams, 0u);
    EXPECT_EQ(r.events, 0u);
    EXPECT_EQ(r.modules, 0u);
    EXPECT_EQ(r.primary_ctx_refs, 0u);
  }

  static std::vector<TvnSimLaunch> launches() {
    std::vector<TvnSimLaunch> out(sim().tvnsim_launch_count());
    for (size_t i = 0; i < out.size(); ++i) sim().tvnsim_launch_get(i, &out[i]);
    return out;
  }

  static std::vector<std::string> launched_kernels() {
    std::vector<std::string> names;
    for (const TvnSimLaunch& l : launches()) names.emplace_back(l.kernel);
    return names;
  }

  static uint64_t calls(const char* fn) { return sim().tvnsim_call_count(fn); }
};

// A SimTest with one stub-kernel engine, built after configure().
class StubEngineTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    if (IsSkipped()) return;
    configure();
    inner_ = stub_engine();
    ASSERT_NE(inner_, nullptr);
  }
  void TearDown() override {
    inner_.reset();
    SimTest::TearDown();
  }
  virtual void configure() {}
  Tesvan& e() { return inner_->engine(); }

  std::unique_ptr<EngineInner> inner_;
};

// The driver-error rendering the simulated device gives for a result code.
inline std::string rendered(int result) { return cu::driver_error(result); }

}  // namespace tesvan::test
