// The kernel source as built, checked where the bit-exact tests cannot see:
// every kernel at every target with its parameter types, launch bounds and
// static shared memory; no stack frame; the copy, store and load forms each
// family is allowed (write-through only for input-gradient outputs, the L2
// prefetch hint only where the narrow kernels read B, no atomics anywhere);
// the bias/alpha device assertion exactly where a bias seeds a chain; and the
// source's macros named and scoped so that no section leaks into the next.
// Needs NVRTC (and ptxas for the shared-memory report), no device.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "kernel_build.h"
#include "kernel_source.h"
#include "kernels.h"
#include "support/engine_resources.h"

namespace tesvan::test {
namespace {

// How a kernel moves operands into shared memory.
enum class Copies {
  kNone,      // synchronous loads only
  kPlain,     // cp.async of in-range elements, zeros stored; waits with wait_all
  kZeroFill,  // every cp.async carries a source size; waits with wait_group 0
};

// A kernel's contract as the host relies on it.  Parameters: p pointer,
// f float, i int.  min_blocks 0: no minimum; threads 0: no launch bounds.
struct Expected {
  std::string name;
  std::string params;
  int threads, min_blocks, static_smem;
  Copies copies;
};

std::vector<Expected> expected_kernels() {
  using C = Copies;
  std::vector<Expected> k = {
      {"tesvan_nn", "ppppffiiiiii", 256, 2, 0, C::kZeroFill},
      {"tesvan_tn", "pppfiii", 256, 2, 0, C::kZeroFill},
      {"tesvan_tn_splitm_partial", "pppiiii", 256, 2, 16896, C::kPlain},
      {"tesvan_splitm_reduce", "ppfiii", 256, 8, 0, C::kNone},
      {"tesvan_nt", "pppfiii", 256, 2, 0, C::kZeroFill},
      {"tesvan_nn_slim", "ppppffiiiiii", 128, 2, 25600, C::kPlain},
      {"tesvan_nn_splitk_slim_partial", "pppiiiiii", 128, 2, 25600, C::kPlain},
      {"tesvan_tn_slim", "pppfiii", 128, 2, 25600, C::kPlain},
      {"tesvan_nt_slim", "pppfiii", 128, 2, 25600, C::kPlain},
      {"tesvan_nn_ultra_thin", "ppppffiiiiii", 256, 4, 1024, C::kNone},
      {"tesvan_nn_gemv", "ppppffiiii", 128, 4, 0, C::kNone},
      {"tesvan_tn_gemv", "pppfiiii", 128, 4, 0, C::kNone},
      {"tesvan_nt_gemv", "pppfiiii", 256, 0, 0, C::kNone},
      {"tesvan_nn_narrow", "ppppffiiiiiii", 128, 4, 6656, C::kPlain},
      {"tesvan_nn_narrow_small", "ppppffiiiiiii", 64, 8, 2560, C::kPlain},
      {"tesvan_tn_narrow", "pppfiii", 128, 4, 6656, C::kPlain},
      {"tesvan_nt_narrow", "pppfiii", 128, 4, 6656, C::kPlain},
      {"tesvan_nn_splitk32_partial", "pppiiii", 128, 4, 13312, C::kPlain},
      {"tesvan_splitk_reduce", "pppppfiiiiii", 256, 8, 0, C::kNone},
      {"tesvan_dx_col_gemv", "pppiiii", 256, 8, 0, C::kNone},
      {"tesvan_transpose_f32_2d", "ppii", 1024, 2, 4224, C::kNone},
  };
  const Expected typed[] = {
      {"tesvan_nn_gemv", "ppppffiiii", 128, 4, 0, C::kNone},
      {"tesvan_tn_gemv", "pppfiiii", 128, 4, 0, C::kNone},
      {"tesvan_nt_gemv", "pppfiiii", 256, 0, 0, C::kNone},
      {"tesvan_nn_ultra_thin", "ppppffiiiiii", 256, 4, 1024, C::kNone},
      {"tesvan_nn_narrow", "ppppffiiiiiii", 128, 4, 6656, C::kNone},
      {"tesvan_nn_narrow_small", "ppppffiiiiiii", 64, 8, 2560, C::kNone},
      {"tesvan_tn_narrow", "pppfiii", 128, 4, 6656, C::kNone},
      {"tesvan_nt_narrow", "pppfiii", 128, 4, 6656, C::kNone},
      {"tesvan_nn_big", "ppppffiiiiii", 256, 2, 0, C::kNone},
      {"tesvan_tn_big", "pppfiii", 256, 2, 0, C::kNone},
      {"tesvan_nt_big", "pppfiii", 256, 2, 0, C::kNone},
      {"tesvan_nn_tc", "ppppffiiiiii", 256, 1, 0, C::kZeroFill},
      {"tesvan_tn_tc", "pppfiii", 256, 1, 0, C::kZeroFill},
      {"tesvan_nt_tc", "pppfiii", 256, 1, 0, C::kZeroFill},
      {"tesvan_nn_tc64", "ppppffiiiiii", 128, 1, 36864, C::kZeroFill},
      {"tesvan_tn_tc64", "pppfiii", 128, 1, 36864, C::kZeroFill},
      {"tesvan_nt_tc64", "pppfiii", 128, 1, 36864, C::kZeroFill},
  };
  for (const Expected &t : typed) {
    for (const char *suffix : {"_bf16", "_f16"}) {
      Expected e = t;
      e.name += suffix;
      k.push_back(e);
    }
  }
  for (const char *cast : {"tvn_cast_f32_to_bf16", "tvn_cast_bf16_to_f32", "tvn_cast_f32_to_f16",
                           "tvn_cast_f16_to_f32"})
    k.push_back({cast, "ppi", 0, 0, 0, C::kNone});
  return k;
}

// One .entry of the PTX: parameter kinds, launch bounds and its body.
struct PtxEntry {
  std::string params;
  int maxntid = 0, minnctapersm = 0;
  std::string body;
};

std::map<std::string, PtxEntry> parse_entries(const std::string &ptx) {
  std::map<std::string, PtxEntry> entries;
  const std::regex entry_re(R"(\.visible \.entry (\w+)\()");
  const std::regex param_re(R"(\.param \.(\w+))");
  const std::regex maxntid_re(R"(\.maxntid (\d+))");
  const std::regex min_re(R"(\.minnctapersm (\d+))");
  for (auto it = std::sregex_iterator(ptx.begin(), ptx.end(), entry_re);
       it != std::sregex_iterator(); ++it) {
    const size_t head = static_cast<size_t>(it->position(0));
    const size_t open = ptx.find("\n{", head), close = ptx.find("\n}\n", open);
    if (open == std::string::npos || close == std::string::npos) break;
    const std::string header = ptx.substr(head, open - head);
    PtxEntry e;
    for (auto p = std::sregex_iterator(header.begin(), header.end(), param_re);
         p != std::sregex_iterator(); ++p) {
      const std::string t = (*p)[1];
      e.params += t == "u64" ? 'p' : t == "f32" ? 'f' : t == "u32" ? 'i' : '?';
    }
    std::smatch m;
    if (std::regex_search(header, m, maxntid_re)) e.maxntid = std::stoi(m[1]);
    if (std::regex_search(header, m, min_re)) e.minnctapersm = std::stoi(m[1]);
    e.body = ptx.substr(open, close - open);
    entries[(*it)[1]] = e;
  }
  return entries;
}

// The byte strings the PTX declares ($str, $str$1, ...), decoded.
std::map<std::string, std::string> ptx_strings(const std::string &ptx) {
  std::map<std::string, std::string> strings;
  const std::regex str_re(R"(\.b8 (\$str[$\w]*)\[\d+\] = \{([\d, ]+)\})");
  for (auto it = std::sregex_iterator(ptx.begin(), ptx.end(), str_re); it != std::sregex_iterator();
       ++it) {
    std::string text;
    std::istringstream bytes(std::regex_replace(std::string((*it)[2]), std::regex(","), " "));
    for (int b; bytes >> b;)
      if (b != 0) text += static_cast<char>(b);
    strings[(*it)[1]] = text;
  }
  return strings;
}

bool contains(const std::string &text, const std::string &what) {
  return text.find(what) != std::string::npos;
}

// The lines of a body that issue an instruction starting with `opcode`,
// predicated or not.
std::vector<std::string> instructions(const std::string &body, const std::string &opcode) {
  const std::regex start(R"(^\s*(@!?%p\d+\s+)?)" +
                         std::regex_replace(opcode, std::regex(R"(\.)"), R"(\.)"));
  std::vector<std::string> lines;
  std::istringstream in(body);
  for (std::string line; std::getline(in, line);)
    if (std::regex_search(line, start)) lines.push_back(line);
  return lines;
}

std::string ptx_for(const char *target) {
  Result<std::string> ptx = kernel_ptx(target);
  EXPECT_TRUE(ptx.ok()) << target << ": " << (ptx.ok() ? "" : ptx.error().display());
  return ptx.ok() ? ptx.value() : std::string();
}

TEST(KernelStructure, EveryTargetHasEveryKernelWithItsParametersAndLaunchBounds) {
  const std::vector<Expected> kernels = expected_kernels();
  ASSERT_EQ(kernels.size(), 59u);  // 21 f32, 17 typed pairs, 4 casts
  for (const char *target : kCompileTargets) {
    const std::map<std::string, PtxEntry> entries = parse_entries(ptx_for(target));
    EXPECT_EQ(entries.size(), kernels.size()) << target;
    for (const Expected &k : kernels) {
      SCOPED_TRACE(std::string(target) + " " + k.name);
      auto it = entries.find(k.name);
      ASSERT_NE(it, entries.end());
      EXPECT_EQ(it->second.params, k.params);
      EXPECT_EQ(it->second.maxntid, k.threads);
      EXPECT_EQ(it->second.minnctapersm, k.min_blocks);
    }
  }
}

TEST(KernelStructure, CopiesStoresAndAssertionsWhereTheFamiliesUseThem) {
  const std::string ptx = ptx_for("sm_80");
  const std::map<std::string, PtxEntry> entries = parse_entries(ptx);
  const std::map<std::string, std::string> strings = ptx_strings(ptx);
  const std::set<std::string> write_through = {"tesvan_nt", "tesvan_nt_slim", "tesvan_nt_narrow"};
  const std::set<std::string> l2_prefetch = {"tesvan_tn_narrow", "tesvan_nt_narrow"};
  const std::set<std::string> asserting = {
      "tesvan_nn",         "tesvan_nn_slim",   "tesvan_nn_big_bf16",  "tesvan_nn_big_f16",
      "tesvan_nn_tc_bf16", "tesvan_nn_tc_f16", "tesvan_nn_tc64_bf16", "tesvan_nn_tc64_f16"};
  for (const Expected &k : expected_kernels()) {
    SCOPED_TRACE(k.name);
    auto it = entries.find(k.name);
    ASSERT_NE(it, entries.end());
    const std::string &body = it->second.body;

    EXPECT_TRUE(instructions(body, "atom.").empty());
    EXPECT_TRUE(instructions(body, "red.").empty());
    EXPECT_EQ(contains(body, "st.global.wt"), write_through.count(k.name) == 1);
    EXPECT_EQ(contains(body, "ld.global.L2::128B.v4.f32"), l2_prefetch.count(k.name) == 1);

    const std::vector<std::string> copies = instructions(body, "cp.async.ca.shared.global");
    EXPECT_EQ(copies.empty(), k.copies == Copies::kNone);
    // The zero-fill form has a fourth operand: [dst], [src], size, src-size.
    const std::regex zero_fill(R"(\], (4|16), %r\d+;)");
    for (const std::string &c : copies)
      EXPECT_EQ(std::regex_search(c, zero_fill), k.copies == Copies::kZeroFill) << c;
    EXPECT_EQ(contains(body, "cp.async.wait_all"), k.copies == Copies::kPlain);
    EXPECT_EQ(contains(body, "cp.async.wait_group 0"), k.copies == Copies::kZeroFill);

    // The bias seeds the chain and is then scaled: alpha must be 1 with it.
    const bool asserts = contains(body, "__assertfail");
    EXPECT_EQ(asserts, asserting.count(k.name) == 1);
    if (asserts) {
      bool message = false;
      for (const auto &[symbol, text] : strings)
        message |= contains(body, symbol + ";") && text == "alpha == 1.0f || bias == nullptr";
      EXPECT_TRUE(message);
    }
  }
}

// No stack frame (accumulators stay in registers within the launch bounds;
// spills of every function are checked by the resource report test), and
// exactly the static shared memory the launches assume: kernels launched
// with dynamic shared memory declare none of their own beyond it.
TEST(KernelStructure, StaticSharedMemoryAsLaunchedAndNoStack) {
  for (const char *target : {"sm_80", "sm_90"}) {
    const ptxas::EngineReport *built = engine_resources(target);
    if (built == nullptr) GTEST_SKIP() << "ptxas not found";
    const ptxas::Report &report = built->ptxas;
    ASSERT_EQ(report.error, "");
    for (const Expected &k : expected_kernels()) {
      SCOPED_TRACE(std::string(target) + " " + k.name);
      const ptxas::FunctionResources *f = report.find(k.name);
      ASSERT_NE(f, nullptr);
      EXPECT_EQ(f->stack, 0);
      EXPECT_EQ(f->shared, k.static_smem);
    }
  }
}

// The kernel source's sections as the build embedded them: the prelude, the
// cast unit and each numbered file of the main unit, read from the tree.
std::vector<std::pair<std::string, std::string>> source_sections() {
  namespace fs = std::filesystem;
  const fs::path dir = TESVAN_KERNEL_DIR;
  std::vector<fs::path> files = {dir / "_typed_prelude.cuh", dir / "cast.cu"};
  std::vector<fs::path> main;
  for (const fs::directory_entry &e : fs::directory_iterator(dir / "main"))
    if (e.path().extension() == ".cu") main.push_back(e.path());
  std::sort(main.begin(), main.end());
  files.insert(files.end(), main.begin(), main.end());
  std::vector<std::pair<std::string, std::string>> sections;
  for (const fs::path &f : files) {
    std::ifstream in(f, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    sections.emplace_back(f.filename().string(), text.str());
  }
  return sections;
}

// A section may name its tile constants briefly (BM, NBK, ...) as long as it
// undefines them before it ends; only macros that later sections rely on
// outlive it, and those carry the TVN_ prefix (or are the include guard).
// Redefining a live macro needs its #undef first.
TEST(KernelSource, OnlyPrefixedMacrosOutliveTheirSection) {
  const auto sections = source_sections();
  ASSERT_GE(sections.size(), 3u);
  std::string main;
  for (size_t i = 2; i < sections.size(); ++i) main += sections[i].second;
  const KernelSourceUnits &units = kernel_source_units();
  ASSERT_EQ(sections[0].second, units.prelude) << "the tree differs from the embedded source";
  ASSERT_EQ(sections[1].second, units.cast);
  ASSERT_EQ(main, units.main);

  const std::regex directive(R"(^\s*#\s*(define|undef)\s+(\w+))");
  std::set<std::string> live;
  for (const auto &[name, text] : sections) {
    std::istringstream in(text);
    std::smatch m;
    for (std::string line; std::getline(in, line);) {
      if (!std::regex_search(line, m, directive)) continue;
      if (m[1] == "undef") {
        live.erase(m[2]);
      } else {
        EXPECT_TRUE(live.insert(m[2]).second) << name << ": " << m[2] << " redefined without #undef";
      }
    }
    for (const std::string &macro : live) {
      EXPECT_TRUE(macro.rfind("TVN_", 0) == 0 || macro == "_TESVAN_PRELUDE_CUH")
          << macro << " outlives " << name;
    }
  }
}

// The host launches every kernel with the block of its table entry; the
// kernel's __launch_bounds__ (the PTX .maxntid) must admit it.
TEST(KernelStructure, TableBlocksFitTheLaunchBounds) {
  const std::map<std::string, PtxEntry> entries = parse_entries(ptx_for("sm_80"));
  for (const KernelEntryInfo &k : kernel_entries()) {
    const unsigned threads = k.shape.block.x * k.shape.block.y * k.shape.block.z;
    std::vector<std::string> names = {k.name};
    if (k.pair) names = {std::string(k.name) + "_bf16", std::string(k.name) + "_f16"};
    for (const std::string &name : names) {
      SCOPED_TRACE(name);
      auto it = entries.find(name);
      ASSERT_NE(it, entries.end());
      if (it->second.maxntid != 0) EXPECT_LE(threads, static_cast<unsigned>(it->second.maxntid));
    }
  }
}

// Run-time compilation without a toolkit beyond the half-precision headers:
// the prelude includes exactly those two, nothing else includes anything,
// and nothing is a template (every kernel is looked up by its plain name).
TEST(KernelSource, IncludesOnlyTheHalfHeadersAndHasNoTemplates) {
  const KernelSourceUnits &units = kernel_source_units();
  const std::regex include(R"(^\s*#\s*include\s*(\S+))");
  auto includes = [&](std::string_view unit) {
    std::vector<std::string> found;
    std::istringstream in{std::string(unit)};
    std::smatch m;
    for (std::string line; std::getline(in, line);)
      if (std::regex_search(line, m, include)) found.push_back(m[1]);
    return found;
  };
  EXPECT_EQ(includes(units.prelude), (std::vector<std::string>{"<cuda_fp16.h>", "<cuda_bf16.h>"}));
  EXPECT_TRUE(includes(units.cast).empty());
  EXPECT_TRUE(includes(units.main).empty());
  EXPECT_FALSE(std::regex_search(assemble_kernel_source(), std::regex(R"(\btemplate\s*<)")));
}

}  // namespace
}  // namespace tesvan::test
