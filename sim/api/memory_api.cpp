// Device memory: allocation (plain and stream-ordered), memset and memcpy.
// The synchronous forms belong to the legacy NULL stream and, as the driver
// documents for device memory and pageable host memory, make the host wait
// only where it must: a memset and a device-to-device copy are queued like
// their asynchronous forms; a copy from the host takes the bytes at the call
// (the synchronous form after the legacy stream's earlier work has run) and
// is queued; a copy to the host completes before it returns.
#include <cstdio>
#include <cstring>
#include <limits>

#include "api/simulator.h"

using tvnsim::api::CopyWork;
using tvnsim::api::Entry;
using tvnsim::api::Fn;
using tvnsim::api::FreeWork;
using tvnsim::api::MemsetWork;
using tvnsim::api::Need;
using tvnsim::api::Simulator;
using tvnsim::api::Stream;

namespace {

std::string hex(uint64_t v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
  return buf;
}

// The real driver refuses a device range outside its allocations with
// CUDA_ERROR_INVALID_VALUE.
CUresult check_range(Simulator& sim, const char* what, uint64_t addr, uint64_t bytes) {
  if (sim.memory.resolve(addr, bytes)) return CUDA_SUCCESS;
  return sim.fail(CUDA_ERROR_INVALID_VALUE, std::string(what) + " range of " +
                                                std::to_string(bytes) + " bytes at " + hex(addr) +
                                                " does not lie inside one live allocation");
}

CUresult check_pools(Simulator& sim) {
  if (sim.config.memory_pools) return CUDA_SUCCESS;
  return sim.fail(CUDA_ERROR_NOT_SUPPORTED, "the device is configured without memory pools");
}

CUresult set_memory(Fn f, CUdeviceptr dst, uint32_t value, uint32_t width, size_t count,
                    CUstream h) {
  Entry e(f, Need::Context);
  if (e.failed()) return e.result();
  Stream* s = e.sim.stream(h);
  if (!s) return e.sim.fail(CUDA_ERROR_INVALID_HANDLE, "not a live stream");
  if (dst % width != 0)
    return e.sim.fail(CUDA_ERROR_INVALID_VALUE, "memset destination is misaligned");
  if (count == 0) return CUDA_SUCCESS;
  if (count > std::numeric_limits<uint64_t>::max() / width) return CUDA_ERROR_INVALID_VALUE;
  if (CUresult r = check_range(e.sim, "memset", dst, uint64_t{count} * width)) return r;
  e.sim.scheduler.enqueue(*s, MemsetWork{dst, value, width, count});
  return CUDA_SUCCESS;
}

enum class Direction { HtoD, DtoH, DtoD };

CUresult copy_memory(Fn f, Direction dir, uint64_t dst, void* host_dst, uint64_t src,
                     const void* host_src, size_t bytes, CUstream h, bool async) {
  Entry e(f, Need::Context);
  if (e.failed()) return e.result();
  Stream* s = e.sim.stream(h);
  if (!s) return e.sim.fail(CUDA_ERROR_INVALID_HANDLE, "not a live stream");
  if (bytes == 0) return CUDA_SUCCESS;
  CopyWork w;
  w.bytes = bytes;
  if (dir == Direction::DtoH) {
    if (!host_dst) return e.sim.fail(CUDA_ERROR_INVALID_VALUE, "null host destination");
    w.host_dst = host_dst;
  } else {
    if (CUresult r = check_range(e.sim, "memcpy destination", dst, bytes)) return r;
    w.dst = dst;
  }
  if (dir == Direction::HtoD) {
    if (!host_src) return e.sim.fail(CUDA_ERROR_INVALID_VALUE, "null host source");
    if (!async && !s->queue.empty()) {
      if (CUresult r = e.sim.sync_stream(s->id, UINT64_MAX - 1)) return r;
    }
    // Pageable host memory is staged at the call; the transfer itself may
    // still be pending when the call returns.
    const auto* p = static_cast<const uint8_t*>(host_src);
    w.snapshot.assign(p, p + bytes);
  } else {
    if (CUresult r = check_range(e.sim, "memcpy source", src, bytes)) return r;
    w.src = src;
  }
  const uint64_t seq = e.sim.scheduler.enqueue(*s, std::move(w));
  return dir == Direction::DtoH ? e.sim.sync_stream(s->id, seq) : CUDA_SUCCESS;
}

}  // namespace

CUresult CUDAAPI cuMemAlloc(CUdeviceptr* dptr, size_t bytesize) try {
  Entry e(Fn::cuMemAlloc_v2, Need::Context);
  if (e.failed()) return e.result();
  if (!dptr || bytesize == 0) return e.sim.fail(CUDA_ERROR_INVALID_VALUE, "null pointer or size 0");
  const uint64_t p = e.sim.memory.allocate(bytesize);
  if (!p) return e.sim.fail(CUDA_ERROR_OUT_OF_MEMORY, "device memory capacity exceeded");
  *dptr = p;
  return CUDA_SUCCESS;
} TVNSIM_CATCH_ALL

CUresult CUDAAPI cuMemFree(CUdeviceptr dptr) try {
  Entry e(Fn::cuMemFree_v2, Need::Context);
  if (e.failed()) return e.result();
  const tvnsim::Allocation* a = e.sim.memory.find(dptr);
  if (!a || a->base != dptr || !a->user || e.sim.pending_frees.count(dptr)) {
    return e.sim.fail(CUDA_ERROR_INVALID_VALUE, "not the start of a live allocation: " + hex(dptr));
  }
  // The driver waits for the device before freeing memory from cuMemAlloc,
  // but not memory from cuMemAllocAsync: queued work that still uses that
  // memory faults when it runs.
  if (!e.sim.stream_ordered.erase(dptr)) {
    if (CUresult r = e.sim.sync_all()) return r;
  }
  e.sim.memory.release(dptr);
  return CUDA_SUCCESS;
} TVNSIM_CATCH_ALL

CUresult CUDAAPI cuMemAllocAsync(CUdeviceptr* dptr, size_t bytesize, CUstream hStream) try {
  Entry e(Fn::cuMemAllocAsync, Need::Context);
  if (e.failed()) return e.result();
  if (CUresult r = check_pools(e.sim)) return r;
  if (!dptr || bytesize == 0) return e.sim.fail(CUDA_ERROR_INVALID_VALUE, "null pointer or size 0");
  if (!e.sim.stream(hStream)) return e.sim.fail(CUDA_ERROR_INVALID_HANDLE, "not a live stream");
  const uint64_t p = e.sim.memory.allocate(bytesize);
  if (!p) return e.sim.fail(CUDA_ERROR_OUT_OF_MEMORY, "device memory capacity exceeded");
  e.sim.stream_ordered.insert(p);
  *dptr = p;
  return CUDA_SUCCESS;
} TVNSIM_CATCH_ALL

CUresult CUDAAPI cuMemFreeAsync(CUdeviceptr dptr, CUstream hStream) try {
  Entry e(Fn::cuMemFreeAsync, Need::Context);
  if (e.failed()) return e.result();
  if (CUresult r = check_pools(e.sim)) return r;
  Stream* s = e.sim.stream(hStream);
  if (!s) return e.sim.fail(CUDA_ERROR_INVALID_HANDLE, "not a live stream");
  const tvnsim::Allocation* a = e.sim.memory.find(dptr);
  if (!a || a->base != dptr || !a->user || e.sim.pending_frees.count(dptr)) {
    return e.sim.fail(CUDA_ERROR_INVALID_VALUE, "not the start of a live allocation: " + hex(dptr));
  }
  e.sim.pending_frees.insert(dptr);
  e.sim.scheduler.enqueue(*s, FreeWork{dptr});
  return CUDA_SUCCESS;
} TVNSIM_CATCH_ALL

CUresult CUDAAPI cuMemGetInfo(size_t* free, size_t* total) try {
  Entry e(Fn::cuMemGetInfo_v2, Need::Context);
  if (e.failed()) return e.result();
  if (!free || !total) return CUDA_ERROR_INVALID_VALUE;
  *total = e.sim.config.memory_bytes;
  *free = *total - std::min<uint64_t>(*total, e.sim.memory.user_bytes());
  return CUDA_SUCCESS;
} TVNSIM_CATCH_ALL

CUresult CUDAAPI cuMemsetD8(CUdeviceptr dstDevice, unsigned char uc, size_t N) try {
  return set_memory(Fn::cuMemsetD8_v2, dstDevice, uc, 1, N, nullptr);
} TVNSIM_CATCH_ALL

CUresult CUDAAPI cuMemsetD32(CUdeviceptr dstDevice, unsigned int ui, size_t N) try {
  return set_memory(Fn::cuMemsetD32_v2, dstDevice, ui, 4, N, nullptr);
} TVNSIM_CATCH_ALL

CUresult CUDAAPI cuMemsetD8Async(CUdeviceptr dstDevice, unsigned char uc, size_t N,
                                 CUstream hStream) try {
  return set_memory(Fn::cuMemsetD8Async, dstDevice, uc, 1, N, hStream);
} TVNSIM_CATCH_ALL

CUresult CUDAAPI cuMemsetD32Async(CUdeviceptr dstDevice, unsigned int ui, size_t N,
                                  CUstream hStream) try {
  return set_memory(Fn::cuMemsetD32Async, dstDevice, ui, 4, N, hStream);
} TVNSIM_CATCH_ALL

CUresult CUDAAPI cuMemcpyHtoD(CUdeviceptr dstDevice, const void* srcHost, size_t ByteCount) try {
  return copy_memory(Fn::cuMemcpyHtoD_v2, Direction::HtoD, dstDevice, nullptr, 0, srcHost,
                     ByteCount, nullptr, false);
} TVNSIM_CATCH_ALL

CUresult CUDAAPI cuMemcpyDtoH(void* dstHost, CUdeviceptr srcDevice, size_t ByteCount) try {
  return copy_memory(Fn::cuMemcpyDtoH_v2, Direction::DtoH, 0, dstHost, srcDevice, nullptr,
                     ByteCount, nullptr, false);
} TVNSIM_CATCH_ALL

CUresult CUDAAPI cuMemcpyDtoD(CUdeviceptr dstDevice, CUdeviceptr srcDevice, size_t ByteCount) try {
  return copy_memory(Fn::cuMemcpyDtoD_v2, Direction::DtoD, dstDevice, nullptr, srcDevice, nullptr,
                     ByteCount, nullptr, false);
} TVNSIM_CATCH_ALL

CUresult CUDAAPI cuMemcpyHtoDAsync(CUdeviceptr dstDevice, const void* srcHost, size_t ByteCount,
                                   CUstream hStream) try {
  return copy_memory(Fn::cuMemcpyHtoDAsync_v2, Direction::HtoD, dstDevice, nullptr, 0, srcHost,
                     ByteCount, hStream, true);
} TVNSIM_CATCH_ALL

CUresult CUDAAPI cuMemcpyDtoHAsync(void* dstHost, CUdeviceptr srcDevice, size_t ByteCount,
                                   CUstream hStream) try {
  return copy_memory(Fn::cuMemcpyDtoHAsync_v2, Direction::DtoH, 0, dstHost, srcDevice, nullptr,
                     ByteCount, hStream, true);
} TVNSIM_CATCH_ALL

CUresult CUDAAPI cuMemcpyDtoDAsync(CUdeviceptr dstDevice, CUdeviceptr srcDevice, size_t ByteCount,
                                   CUstream hStream) try {
  return copy_memory(Fn::cuMemcpyDtoDAsync_v2, Direction::DtoD, dstDevice, nullptr, srcDevice,
                     nullptr, ByteCount, hStream, true);
} TVNSIM_CATCH_ALL
