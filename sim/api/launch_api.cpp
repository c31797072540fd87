// cuLaunchKernel: validated as the real driver validates it, recorded in the
// launch log, and queued on its stream (unless execution is switched off).
#include <cstring>

#include "api/simulator.h"

using tvnsim::api::Entry;
using tvnsim::api::Fn;
using tvnsim::api::Function;
using tvnsim::api::LaunchWork;
using tvnsim::api::Need;
using tvnsim::api::Simulator;
using tvnsim::api::Stream;

namespace {

int arg_kind(tvnsim::ParamType t) {
  using tvnsim::ParamType;
  switch (t) {
    case ParamType::U64:
    case ParamType::S64:
    case ParamType::B64:
      return TVNSIM_ARG_U64;
    case ParamType::S32:
      return TVNSIM_ARG_S32;
    case ParamType::U32:
    case ParamType::B32:
      return TVNSIM_ARG_U32;
    case ParamType::F32:
      return TVNSIM_ARG_F32;
    case ParamType::F64:
      return TVNSIM_ARG_F64;
    default:
      return TVNSIM_ARG_OTHER;
  }
}

CUresult invalid(Simulator& sim, const char* why) {
  return sim.fail(CUDA_ERROR_INVALID_VALUE, why);
}

CUresult check_dimensions(Simulator& sim, const Function& f, const unsigned (&grid)[3],
                          const unsigned (&block)[3]) {
  for (int i = 0; i < 3; ++i) {
    if (grid[i] == 0 || block[i] == 0) return invalid(sim, "a grid or block dimension is 0");
  }
  if (grid[0] > 2147483647u || grid[1] > 65535 || grid[2] > 65535) {
    return invalid(sim, "grid dimension above the device limit (2^31-1, 65535, 65535)");
  }
  if (block[0] > 1024 || block[1] > 1024 || block[2] > 64) {
    return invalid(sim, "block dimension above the device limit (1024, 1024, 64)");
  }
  const uint64_t threads = uint64_t{block[0]} * block[1] * block[2];
  if (threads > static_cast<uint64_t>(f.max_threads)) {
    return sim.fail(CUDA_ERROR_INVALID_VALUE,
                    std::to_string(threads) + " threads per block exceed the function's limit of " +
                        std::to_string(f.max_threads));
  }
  const tvnsim::EntryInfo& info = f.info();
  if (info.reqntid[0] &&
      (block[0] != info.reqntid[0] || block[1] != std::max(1u, info.reqntid[1]) ||
       block[2] != std::max(1u, info.reqntid[2]))) {
    return invalid(sim, "block shape differs from the entry's .reqntid");
  }
  return CUDA_SUCCESS;
}

// Where the argument bytes come from: kernelParams (one pointer per
// parameter) or an `extra` packed buffer.
struct ArgSource {
  void** params = nullptr;
  const uint8_t* buffer = nullptr;
  size_t buffer_size = 0;
};

CUresult read_extra(Simulator& sim, void** extra, ArgSource* src) {
  const void* pointer = nullptr;
  const size_t* size = nullptr;
  for (size_t i = 0; extra[i] != CU_LAUNCH_PARAM_END; i += 2) {
    if (extra[i] == CU_LAUNCH_PARAM_BUFFER_POINTER) {
      pointer = extra[i + 1];
    } else if (extra[i] == CU_LAUNCH_PARAM_BUFFER_SIZE) {
      size = static_cast<const size_t*>(extra[i + 1]);
    } else {
      return invalid(sim, "unknown key in the extra launch options");
    }
  }
  // A pointer without a size has no effect; a non-zero size needs a pointer.
  if (!size || *size == 0) return CUDA_SUCCESS;
  if (!pointer) return invalid(sim, "extra gives a buffer size but no buffer pointer");
  src->buffer = static_cast<const uint8_t*>(pointer);
  src->buffer_size = *size;
  return CUDA_SUCCESS;
}

// The bytes of parameter i, or nullptr when the caller gave none.
const void* arg_bytes(const ArgSource& src, const tvnsim::ParamInfo& p, size_t i) {
  if (src.params) return src.params[i];
  if (p.offset + p.size > src.buffer_size) return nullptr;
  return src.buffer + p.offset;
}

void log_launch(Simulator& sim, const Function& f, const unsigned (&grid)[3],
                const unsigned (&block)[3], unsigned shared, CUstream h, const ArgSource& src,
                uint64_t sequence) {
  const tvnsim::EntryInfo& info = f.info();
  TvnSimLaunch& l = sim.launches.emplace_back();
  const size_t n = std::min(info.name.size(), sizeof l.kernel - 1);
  std::memcpy(l.kernel, info.name.data(), n);
  l.kernel[n] = '\0';
  std::copy(std::begin(grid), std::end(grid), l.grid);
  std::copy(std::begin(block), std::end(block), l.block);
  l.dynamic_shared = shared;
  l.stream = tvnsim::api::handle_value(h);
  l.num_args = static_cast<int>(std::min<size_t>(info.params.size(), TVNSIM_MAX_ARGS));
  for (int i = 0; i < l.num_args; ++i) {
    const tvnsim::ParamInfo& p = info.params[i];
    TvnSimArg& a = l.args[i];
    a.kind = arg_kind(p.type);
    a.size = static_cast<int>(p.size);
    std::memcpy(&a.bits, arg_bytes(src, p, i), std::min<size_t>(p.size, sizeof a.bits));
  }
  l.sequence = sequence;
}

}  // namespace

CUresult CUDAAPI cuLaunchKernel(CUfunction f, unsigned int gridDimX, unsigned int gridDimY,
                                unsigned int gridDimZ, unsigned int blockDimX,
                                unsigned int blockDimY, unsigned int blockDimZ,
                                unsigned int sharedMemBytes, CUstream hStream, void** kernelParams,
                                void** extra) try {
  Entry e(Fn::cuLaunchKernel, Need::Context);
  if (e.failed()) return e.result();
  Simulator& sim = e.sim;
  auto fit = sim.functions.find(tvnsim::api::handle_value(f));
  if (fit == sim.functions.end())
    return sim.fail(CUDA_ERROR_INVALID_HANDLE, "not a function of a loaded module");
  const Function& fn = fit->second;
  Stream* stream = sim.stream(hStream);
  if (!stream) return sim.fail(CUDA_ERROR_INVALID_HANDLE, "not a live stream");

  const unsigned grid[3] = {gridDimX, gridDimY, gridDimZ};
  const unsigned block[3] = {blockDimX, blockDimY, blockDimZ};
  if (CUresult r = check_dimensions(sim, fn, grid, block)) return r;
  if (sharedMemBytes > static_cast<unsigned>(fn.max_dynamic_shared)) {
    return sim.fail(CUDA_ERROR_INVALID_VALUE, "dynamic shared memory " +
                                                  std::to_string(sharedMemBytes) +
                                                  " exceeds the function's limit of " +
                                                  std::to_string(fn.max_dynamic_shared));
  }

  const tvnsim::EntryInfo& info = fn.info();
  ArgSource src;
  if (kernelParams && extra) return invalid(sim, "both kernelParams and extra given");
  if (extra) {
    if (CUresult r = read_extra(sim, extra, &src)) return r;
  } else {
    src.params = kernelParams;
  }
  if (!info.params.empty()) {
    if (!kernelParams && !extra)
      return invalid(sim, "the kernel has parameters but none were given");
    for (size_t i = 0; i < info.params.size(); ++i) {
      if (!arg_bytes(src, info.params[i], i)) return invalid(sim, "a kernel argument is missing");
    }
  }

  const uint64_t sequence = sim.next_launch++;
  log_launch(sim, fn, grid, block, sharedMemBytes, hStream, src, sequence);
  if (!sim.config.execute) return CUDA_SUCCESS;

  LaunchWork w;
  w.program = fn.program;
  w.entry = fn.entry;
  w.grid = {grid[0], grid[1], grid[2]};
  w.block = {block[0], block[1], block[2]};
  w.dynamic_shared = sharedMemBytes;
  w.sequence = sequence;
  w.params.assign_zero(info.param_bytes);
  for (size_t i = 0; i < info.params.size(); ++i) {
    const tvnsim::ParamInfo& p = info.params[i];
    std::memcpy(w.params.data() + p.offset, arg_bytes(src, p, i), p.size);
  }
  sim.scheduler.enqueue(*stream, std::move(w));
  return CUDA_SUCCESS;
} TVNSIM_CATCH_ALL
