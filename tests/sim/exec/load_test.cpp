// Loading PTX: module description, parameter layout, variables, and the
// refusal of anything the interpreter does not understand.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/address_space.h"
#include "exec/executor.h"
#include "ptx/module.h"

namespace tvnsim {
namespace {

constexpr int kInvalidPtx = 218;

std::string module(const std::string& body, const std::string& target = "sm_80") {
  return ".version 8.7\n.target " + target + "\n.address_size 64\n" + body;
}

TEST(Load, DescribesEntriesParametersAndResources) {
  AddressSpace mem;
  const std::string ptx = module(R"(
.global .align 1 .b8 $str[6] = {104, 101, 108, 108, 111};
.extern .shared .align 16 .b8 dyn[];
.visible .entry first(
	.param .u8 first_param_0,
	.param .u64 .ptr .align 1 first_param_1,
	.param .u16 first_param_2,
	.param .f64 first_param_3,
	.param .align 16 .b8 first_param_4[20],
	.param .f32 first_param_5
)
.maxntid 128, 2, 1
.minnctapersm 4
{
	.local .align 8 .b8 __local_depot0[24];
	.reg .b64 %rd<3>;
	.shared .align 4 .b8 tile[100];
	.shared .align 16 .b8 tile2[64];
	mov.u64 %rd1, dyn;
	mov.u64 %rd2, $str;
	ret;
}
.visible .entry second()
.reqntid 32, 4
{
	ret;
}
)",
                                 "sm_90a");
  LoadResult r = load_program(ptx, mem);
  ASSERT_EQ(r.result, 0) << r.message;
  ASSERT_TRUE(r.program);
  const ModuleInfo& info = r.program->info();
  EXPECT_EQ(info.version_major, 8);
  EXPECT_EQ(info.version_minor, 7);
  EXPECT_EQ(info.target, "sm_90a");
  EXPECT_EQ(info.target_sm, 90);
  ASSERT_EQ(info.entries.size(), 2u);

  const EntryInfo& e = info.entries[0];
  EXPECT_EQ(e.name, "first");
  ASSERT_EQ(e.params.size(), 6u);
  const struct {
    ParamType type;
    uint32_t size, align, offset;
  } expect[] = {{ParamType::U8, 1, 1, 0},     {ParamType::U64, 8, 8, 8},
                {ParamType::U16, 2, 2, 16},   {ParamType::F64, 8, 8, 24},
                {ParamType::Array, 20, 16, 32}, {ParamType::F32, 4, 4, 52}};
  for (size_t i = 0; i < 6; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(e.params[i].name, "first_param_" + std::to_string(i));
    EXPECT_EQ(e.params[i].type, expect[i].type);
    EXPECT_EQ(e.params[i].size, expect[i].size);
    EXPECT_EQ(e.params[i].align, expect[i].align);
    EXPECT_EQ(e.params[i].offset, expect[i].offset);
  }
  EXPECT_EQ(e.param_bytes, 56u);
  EXPECT_EQ(e.static_shared_bytes, 176u);  // 100, then 64 at offset 112
  EXPECT_EQ(e.local_bytes, 24u);
  EXPECT_EQ(e.maxntid[0], 128u);
  EXPECT_EQ(e.maxntid[1], 2u);
  EXPECT_EQ(e.maxntid[2], 1u);
  EXPECT_EQ(e.minnctapersm, 4u);
  EXPECT_EQ(e.reqntid[0], 0u);

  const EntryInfo& s = info.entries[1];
  EXPECT_EQ(s.name, "second");
  EXPECT_TRUE(s.params.empty());
  EXPECT_EQ(s.param_bytes, 0u);
  EXPECT_EQ(s.reqntid[0], 32u);
  EXPECT_EQ(s.reqntid[1], 4u);
  EXPECT_EQ(s.static_shared_bytes, 0u);
}

TEST(Load, ModuleVariablesLiveInDeviceMemoryUntilTheProgramGoes) {
  AddressSpace mem;
  const std::string ptx = module(R"(
.global .align 1 .b8 $str[8] = {104, 105, 33};
.global .align 4 .u32 counters[3] = {7, -1};
.visible .entry k() { ret; }
)");
  LoadResult r = load_program(ptx, mem);
  ASSERT_EQ(r.result, 0) << r.message;
  EXPECT_EQ(mem.user_allocations(), 0u);  // module variables are not user memory
  const Allocation* str = mem.find(AddressSpace::kBase);
  ASSERT_NE(str, nullptr);
  ASSERT_EQ(str->size, 8u);
  EXPECT_EQ(std::memcmp(str->data, "hi!\0\0\0\0\0", 8), 0);  // zero past the initialiser
  const Allocation* counters = mem.find(str->base + str->size + AddressSpace::kGuard + 248);
  ASSERT_NE(counters, nullptr);
  uint32_t v[3];
  std::memcpy(v, counters->data, 12);
  EXPECT_EQ(v[0], 7u);
  EXPECT_EQ(v[1], 0xFFFFFFFFu);
  EXPECT_EQ(v[2], 0u);
  const uint64_t str_base = str->base;  // `str` goes with the program
  r.program.reset();
  EXPECT_EQ(mem.find(str_base), nullptr);
}

TEST(Load, ProgramsFromOneTextHaveTheirOwnVariables) {
  // Reads its variable through the generic and the global space.
  const std::string ptx = module(R"(
.global .align 4 .u32 counter[2] = {7, 8};
.visible .entry read(.param .u64 out) {
  .reg .b32 %r<3>; .reg .b64 %rd<4>;
  ld.param.u64 %rd1, [out];
  mov.u64 %rd2, counter;
  cvta.global.u64 %rd3, %rd2;
  ld.u32 %r1, [%rd3+4];
  ld.global.u32 %r2, [counter];
  add.s32 %r1, %r1, %r2;
  st.global.u32 [%rd1], %r1;
  st.global.u32 [counter], %r1;
  ret;
}
)");
  AddressSpace mem;
  LoadResult a = load_program(ptx, mem), b = load_program(ptx, mem);
  ASSERT_EQ(a.result, 0) << a.message;
  ASSERT_EQ(b.result, 0) << b.message;
  const uint64_t out = mem.allocate(4);
  auto run = [&](const Program& p) {
    LaunchSpec spec;
    spec.program = &p;
    spec.block = {1, 1, 1};
    uint8_t params[8];
    std::memcpy(params, &out, 8);
    spec.params = params;
    EXPECT_EQ(execute(spec, mem, ExecOptions{}).result, 0);
    uint32_t v;
    std::memcpy(&v, mem.resolve(out, 4), 4);
    return v;
  };
  EXPECT_EQ(run(*a.program), 15u);
  EXPECT_EQ(run(*a.program), 23u);  // its own counter changed
  EXPECT_EQ(run(*b.program), 15u);  // the other program's did not
  a.program.reset();
  EXPECT_EQ(run(*b.program), 23u);
  EXPECT_EQ(mem.user_allocations(), 1u);
}

// NVIDIA's cuda_fp16.hpp declares scoped registers as `.reg.b16 t;`, one
// token; it means `.reg .b16 t;`.
TEST(Load, ReadsDottedRegisterDeclarationsInScopes) {
  AddressSpace mem;
  const LoadResult r = load_program(
      module(".entry k() { .reg .b32 %r<2>; { .reg.b32 t, u; .reg.b16 h; .reg.pred p;\n"
             "mov.b32 t, 5; mov.b32 u, t; cvt.u16.u32 h, u; setp.eq.u16 p, h, 5; @p mov.b32 %r1, u; } ret; }"),
      mem);
  EXPECT_EQ(r.result, 0) << r.message;
  EXPECT_TRUE(r.program);
}

TEST(Load, RefusesWhatItDoesNotUnderstand) {
  const struct {
    const char* what;
    std::string ptx;
    const char* named;  // the message must name this
  } cases[] = {
      {"not PTX", "this is not PTX at all;", "this"},
      {"binary junk", std::string("\x7f" "ELF\x02\x01", 6), "0x7f"},
      {"missing target", ".version 8.0\n.address_size 64\n", ".target"},
      {"32-bit addressing", ".version 8.0\n.target sm_80\n.address_size 32\n", "address_size"},
      {"unknown directive", module(".blorp 3;\n"), ".blorp"},
      {"unknown instruction", module(".entry k() { frobnicate.b32 %r1; }"), "frobnicate"},
      {"unknown modifier", module(".entry k() { .reg .b32 %r<3>; add.wrap.s32 %r1, %r2, %r2; }"),
       ".wrap"},
      {"unsupported type", module(".entry k() { .reg .b32 %r<3>; add.f16 %r1, %r2, %r2; }"),
       "add.f16"},
      {"approximate math", module(".entry k() { .reg .f32 %f<3>; rcp.approx.f32 %f1, %f2; }"),
       "rcp.approx.f32"},
      {"undeclared register", module(".entry k() { .reg .b32 %r<3>; add.s32 %r1, %r2, %r9; }"),
       "%r9"},
      {"register out of its range",
       module(".entry k() { .reg .b32 %r<3>; mov.b32 %r1, %r3; }"), "%r3"},
      {"scoped register used outside its scope",
       module(".entry k() { .reg .b32 %r<2>; { .reg .b32 tmpvar; mov.b32 tmpvar, 1; } mov.b32 %r1, tmpvar; }"),
       "tmpvar"},
      {"unknown label", module(".entry k() { bra $L__nowhere; }"), "$L__nowhere"},
      {"debug line info", module(".file 1 \"a.cu\"\n"), ".file"},
      {"call of an unknown function",
       module(".extern .func helper_fn();\n.entry k() { call.uni helper_fn, (); }"),
       "helper_fn"},
      {"device function definitions", module(".func f() { ret; }\n"), ".func"},
      {"other mma shapes",
       module(".entry k() { .reg .b32 %r<9>; .reg .f32 %f<5>;\n"
              "mma.sync.aligned.m16n8k8.row.col.f32.bf16.bf16.f32 {%f1,%f2,%f3,%f4}, {%r1,%r2}, "
              "{%r3}, {%f1,%f2,%f3,%f4}; }"),
       "m16n8k8"},
      {"missing operand", module(".entry k() { .reg .b32 %r<3>; add.s32 %r1, %r2; }"), "add.s32"},
      // Forms outside what is run read as such, not as a missing type.
      {"packed integer arithmetic", module(".entry k() { .reg .b32 %r<3>; add.u16x2 %r1, %r2, %r2; }"),
       "unsupported form 'add.u16x2'"},
      {"tf32 conversion", module(".entry k() { .reg .b32 %r<3>; .reg .f32 %f<2>; cvt.rna.tf32.f32 %r1, %f1; }"),
       "unsupported form 'cvt.rna.tf32.f32'"},
      {"no type at all", module(".entry k() { .reg .b32 %r<3>; add %r1, %r2, %r2; }"), "missing type"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    AddressSpace mem;
    LoadResult r = load_program(c.ptx, mem);
    EXPECT_EQ(r.result, kInvalidPtx);
    EXPECT_FALSE(r.program);
    EXPECT_NE(r.message.find(c.named), std::string::npos) << r.message;
  }
}

}  // namespace
}  // namespace tvnsim
