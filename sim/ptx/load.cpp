// load_program: parse, describe, allocate module variables, decode entries.
#include <cstring>

#include "core/address_space.h"
#include "ptx/decoder.h"
#include "ptx/program.h"
#include "ptx/syntax.h"

namespace tvnsim {
namespace ptx {

ProgramImpl::~ProgramImpl() {
  for (uint64_t base : globals_) memory_.release(base);
}

namespace {

constexpr int kInvalidPtx = 218;  // CUDA_ERROR_INVALID_PTX
constexpr int kOutOfMemory = 2;   // CUDA_ERROR_OUT_OF_MEMORY

struct ParamTypeName {
  std::string_view name;
  ParamType type;
};
constexpr ParamTypeName kParamTypes[] = {
    {".u8", ParamType::U8},   {".u16", ParamType::U16}, {".u32", ParamType::U32},
    {".u64", ParamType::U64}, {".s8", ParamType::S8},   {".s16", ParamType::S16},
    {".s32", ParamType::S32}, {".s64", ParamType::S64}, {".f16", ParamType::F16},
    {".f32", ParamType::F32}, {".f64", ParamType::F64}, {".b8", ParamType::B8},
    {".b16", ParamType::B16}, {".b32", ParamType::B32}, {".b64", ParamType::B64},
};

bool describe_params(const Function& f, EntryInfo* e, std::string* err) {
  uint32_t offset = 0;
  for (const VarDecl& v : f.params) {
    ParamInfo p;
    p.name = std::string(v.name);
    const uint32_t elem = decl_type_bytes(v.type);
    bool known = false;
    for (const ParamTypeName& t : kParamTypes) {
      if (t.name == v.type) {
        p.type = t.type;
        known = true;
      }
    }
    if (!known || v.unsized || v.space != Space::Param) {
      *err = "unsupported parameter " + std::string(v.type) + " " + std::string(v.name) +
             " of " + std::string(f.name);
      return false;
    }
    if (v.is_array || v.vector > 1) p.type = ParamType::Array;
    p.size = static_cast<uint32_t>(elem * v.count * v.vector);
    p.align = v.align ? v.align : elem * (v.is_array ? 1 : v.vector);
    offset = align_up(offset, p.align);
    p.offset = offset;
    offset += p.size;
    e->params.push_back(std::move(p));
  }
  e->param_bytes = offset;
  return true;
}

int target_number(std::string_view target) {
  int v = 0;
  for (char c : target.substr(3)) {
    if (c < '0' || c > '9') break;
    v = v * 10 + (c - '0');
  }
  return v;
}

}  // namespace

}  // namespace ptx

LoadResult load_program(std::string_view ptx_text, AddressSpace& memory) {
  using namespace ptx;
  LoadResult out;
  auto fail = [&](int code, std::string msg) {
    out.program.reset();
    out.result = code;
    out.message = std::move(msg);
    return std::move(out);
  };
  ParseResult parsed = parse(ptx_text);
  if (!parsed.error.empty()) return fail(kInvalidPtx, "PTX parse error: " + parsed.error);
  const Module& m = parsed.module;

  auto program = std::make_unique<ProgramImpl>(memory);
  ModuleInfo& info = program->info_;
  info.version_major = m.version_major;
  info.version_minor = m.version_minor;
  info.target = std::string(m.target);
  info.target_sm = target_number(m.target);

  // Module variables: .global and .const, zero unless initialised.
  ModuleSymbols symbols;
  for (const VarDecl& v : m.globals) {
    if (v.space == Space::Shared) {
      symbols.shared.push_back(&v);
      continue;
    }
    const uint64_t size = static_cast<uint64_t>(decl_type_bytes(v.type)) * v.count * v.vector;
    if (v.unsized || v.is_extern || size == 0) {
      return fail(kInvalidPtx, "unsupported module variable " + std::string(v.name));
    }
    const uint64_t base = memory.allocate(size, /*user=*/false);
    if (base == 0) return fail(kOutOfMemory, "no memory for module variable " + std::string(v.name));
    program->globals_.push_back(base);
    uint8_t* host = memory.resolve(base, size);
    std::memset(host, 0, size);
    std::memcpy(host, v.init.data(), v.init.size());
    symbols.global.emplace_back(v.name, base);
  }
  for (const Function& f : m.functions) {
    if (!f.is_entry) {
      if (f.has_body) {
        return fail(kInvalidPtx, "device function definitions (.func " + std::string(f.name) +
                                     ") are not supported");
      }
      symbols.functions.push_back(f.name);
    }
  }

  for (const Function& f : m.functions) {
    if (!f.is_entry || !f.has_body) continue;
    EntryInfo e;
    e.name = std::string(f.name);
    std::string err;
    if (!describe_params(f, &e, &err)) return fail(kInvalidPtx, err);
    std::memcpy(e.maxntid, f.maxntid, sizeof e.maxntid);
    std::memcpy(e.reqntid, f.reqntid, sizeof e.reqntid);
    e.minnctapersm = f.minnctapersm;
    DecodedEntry d;
    if (!decode_entry(f, e, symbols, &d, &err)) {
      return fail(kInvalidPtx, "in " + e.name + ": " + err);
    }
    e.static_shared_bytes = d.static_shared;
    e.local_bytes = d.local_bytes;
    info.entries.push_back(std::move(e));
    program->entries_.push_back(std::move(d));
  }
  out.program = std::move(program);
  return out;
}

}  // namespace tvnsim
