// load_program: parse, describe, allocate module variables, decode entries.
#include <cstring>

#include "core/address_space.h"
#include "numeric/fp_env.h"
#include "ptx/decoder.h"
#include "ptx/module_cache.h"
#include "ptx/program.h"
#include "ptx/syntax.h"

namespace tvnsim {
namespace ptx {

std::unique_ptr<ProgramImpl> ProgramImpl::instantiate(std::shared_ptr<const DecodedModule> module,
                                                      AddressSpace& memory) {
  std::unique_ptr<ProgramImpl> p(new ProgramImpl(std::move(module), memory));
  for (const ModuleVariable& v : p->module_->variables) {
    const uint64_t base = memory.allocate(v.size, /*user=*/false);
    if (base == 0) return nullptr;
    p->variables_.push_back(base);
    uint8_t* host = memory.resolve(base, v.size);
    std::memset(host, 0, v.size);
    std::memcpy(host, v.init.data(), v.init.size());
  }
  for (const DecodedEntry& e : p->module_->entries) {
    Constants c = e.constants;
    for (const auto& [index, variable] : e.relocations) c[index].second += p->variables_[variable];
    p->constants_.push_back(std::move(c));
  }
  return p;
}

ProgramImpl::~ProgramImpl() {
  for (uint64_t base : variables_) memory_.release(base);
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

// Parses and decodes a whole module; the error is empty on success.
std::string decode_module(DecodedModule* out) {
  ModuleSymbols symbols;
  size_t globals_done = 0;

  // Module variables (.global, .const) are recorded as they appear;
  // module-scope .shared ones are laid out per entry.
  auto absorb_globals = [&](const Module& m, std::string* err) {
    for (; globals_done < m.globals.size(); ++globals_done) {
      const VarDecl& v = m.globals[globals_done];
      if (v.space == Space::Shared) {
        symbols.shared.push_back(v);
        continue;
      }
      const uint64_t size = static_cast<uint64_t>(decl_type_bytes(v.type)) * v.count * v.vector;
      if (v.unsized || v.is_extern || size == 0) {
        *err = "unsupported module variable " + std::string(v.name);
        return false;
      }
      out->variables.push_back(ModuleVariable{std::string(v.name), size, v.init});
      symbols.variables.push_back(v.name);
    }
    return true;
  };

  auto on_function = [&](const Module& m, Function&& f, std::string* err) {
    if (!absorb_globals(m, err)) return false;
    if (!f.is_entry) {
      if (f.has_body) {
        *err = "device function definitions (.func " + std::string(f.name) + ") are not supported";
        return false;
      }
      symbols.functions.push_back(f.name);
      return true;
    }
    if (!f.has_body) return true;
    EntryInfo e;
    e.name = std::string(f.name);
    if (!describe_params(f, &e, err)) return false;
    std::memcpy(e.maxntid, f.maxntid, sizeof e.maxntid);
    std::memcpy(e.reqntid, f.reqntid, sizeof e.reqntid);
    e.minnctapersm = f.minnctapersm;
    DecodedEntry d;
    d.source = &out->source;
    if (!decode_entry(f, e, symbols, &d, err)) {
      *err = "in " + e.name + ": " + *err;
      return false;
    }
    e.static_shared_bytes = d.static_shared;
    e.local_bytes = d.local_bytes;
    out->info.entries.push_back(std::move(e));
    out->entries.push_back(std::move(d));
    return true;
  };

  Module m;
  std::string err = parse(out->source, &m, on_function);
  if (err.empty()) absorb_globals(m, &err);
  if (!err.empty()) return err;
  out->info.version_major = m.version_major;
  out->info.version_minor = m.version_minor;
  out->info.target = std::string(m.target);
  out->info.target_sm = target_number(m.target);
  return {};
}

}  // namespace
}  // namespace ptx

LoadResult load_program(std::string_view ptx_text, AddressSpace& memory) {
  using namespace ptx;
  LoadResult out;
  std::shared_ptr<const DecodedModule> module = find_decoded(ptx_text);
  if (!module) {
    const num::DefaultFpEnv fp_env;  // literals read the same under any caller's mode
    auto fresh = std::make_shared<DecodedModule>();
    fresh->source = std::string(ptx_text);
    const std::string err = decode_module(fresh.get());
    if (!err.empty()) {
      out.result = kInvalidPtx;
      out.message = "invalid PTX: " + err;
      return out;
    }
    module = fresh;
    remember_decoded(module);
  }
  out.program = ProgramImpl::instantiate(std::move(module), memory);
  if (!out.program) {
    out.result = kOutOfMemory;
    out.message = "no device memory for the module's variables";
  }
  return out;
}

}  // namespace tvnsim
