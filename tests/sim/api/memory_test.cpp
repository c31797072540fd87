// Device memory: allocation, copies and memsets, their range checks, and
// stream-ordered allocation.
#include <cstring>

#include "sim/api/driver_fixture.h"

namespace tvnsim_test {
namespace {

using MemoryTest = DriverTest;

TEST_F(MemoryTest, CopiesAndMemsetsRoundTrip) {
  const CUdeviceptr a = alloc(64);
  const CUdeviceptr b = alloc(64);
  std::vector<uint32_t> host(16);
  for (uint32_t i = 0; i < 16; ++i) host[i] = 0x01020304u * (i + 1);
  ASSERT_EQ(cu->cuMemcpyHtoD(a, host.data(), 64), rc::CUDA_SUCCESS);
  ASSERT_EQ(cu->cuMemcpyDtoD(b, a, 64), rc::CUDA_SUCCESS);
  EXPECT_EQ(read_u32(b, 16), host);

  ASSERT_EQ(cu->cuMemsetD32(b + 8, 0xDEADBEEF, 2), rc::CUDA_SUCCESS);
  ASSERT_EQ(cu->cuMemsetD8(b + 16, 0xAB, 3), rc::CUDA_SUCCESS);
  std::vector<uint32_t> expect = host;
  expect[2] = expect[3] = 0xDEADBEEF;
  expect[4] = (expect[4] & 0xFF000000u) | 0x00ABABABu;  // little-endian: low three bytes
  EXPECT_EQ(read_u32(b, 16), expect);

  std::vector<uint32_t> part(2);
  ASSERT_EQ(cu->cuMemcpyDtoH(part.data(), b + 12, 8), rc::CUDA_SUCCESS);
  EXPECT_EQ(part, (std::vector<uint32_t>{0xDEADBEEF, expect[4]}));
  EXPECT_EQ(cu->cuMemFree(a), rc::CUDA_SUCCESS);
  EXPECT_EQ(cu->cuMemFree(b), rc::CUDA_SUCCESS);
}

TEST_F(MemoryTest, FreshMemoryIsPoisonedAndFarFromHostAddresses) {
  REQUIRE_SIM();
  CUdeviceptr p = 0;
  ASSERT_EQ(cu->cuMemAlloc(&p, 12), rc::CUDA_SUCCESS);
  EXPECT_NE(p & (1ull << 60), 0u);
  EXPECT_EQ(read_u32(p, 3), (std::vector<uint32_t>(3, 0xFFFFFFFFu)));
  CUdeviceptr q = 0;
  ASSERT_EQ(cu->cuMemAlloc(&q, 12), rc::CUDA_SUCCESS);
  ASSERT_EQ(cu->cuMemFree(p), rc::CUDA_SUCCESS);
  CUdeviceptr r = 0;
  ASSERT_EQ(cu->cuMemAlloc(&r, 12), rc::CUDA_SUCCESS);
  EXPECT_NE(r, p);  // addresses are never reused
  EXPECT_EQ(cu->cuMemFree(q), rc::CUDA_SUCCESS);
  EXPECT_EQ(cu->cuMemFree(r), rc::CUDA_SUCCESS);
}

TEST_F(MemoryTest, RangesOutsideOneLiveAllocationAreRefused) {
  REQUIRE_SIM();  // a real driver may accept ranges inside its own padding
  const CUdeviceptr a = alloc(100);
  const CUdeviceptr b = alloc(100);
  uint8_t host[256] = {};
  EXPECT_EQ(cu->cuMemcpyHtoD(a + 1, host, 100), rc::CUDA_ERROR_INVALID_VALUE);  // one past the end
  EXPECT_EQ(cu->cuMemcpyDtoH(host, a - 1, 4), rc::CUDA_ERROR_INVALID_VALUE);
  EXPECT_EQ(cu->cuMemcpyDtoD(b, a, 101), rc::CUDA_ERROR_INVALID_VALUE);
  EXPECT_EQ(cu->cuMemsetD8(reinterpret_cast<CUdeviceptr>(host), 0, 4),
            rc::CUDA_ERROR_INVALID_VALUE);                                // a host pointer
  EXPECT_EQ(cu->cuMemsetD32(a + 2, 0, 1), rc::CUDA_ERROR_INVALID_VALUE);  // misaligned
  EXPECT_EQ(cu->cuMemsetD32(a, 0, 26), rc::CUDA_ERROR_INVALID_VALUE);     // 104 bytes
  EXPECT_EQ(cu->cuMemcpyHtoD(a, nullptr, 4), rc::CUDA_ERROR_INVALID_VALUE);
  EXPECT_EQ(cu->cuMemcpyHtoD(a, host, 0), rc::CUDA_SUCCESS);  // nothing to do

  ASSERT_EQ(cu->cuMemFree(a), rc::CUDA_SUCCESS);
  EXPECT_EQ(cu->cuMemcpyHtoD(a, host, 4), rc::CUDA_ERROR_INVALID_VALUE);  // freed
  EXPECT_EQ(cu->cuMemFree(a), rc::CUDA_ERROR_INVALID_VALUE);              // twice
  EXPECT_EQ(cu->cuMemFree(b + 4), rc::CUDA_ERROR_INVALID_VALUE);          // not the start
  EXPECT_EQ(cu->cuMemFree(b), rc::CUDA_SUCCESS);
  EXPECT_NE(std::string(sim().tvnsim_last_error_message()), "");
}

TEST_F(MemoryTest, CapacityIsEnforced) {
  REQUIRE_SIM();
  TvnSimConfig c;
  sim().tvnsim_get_config(&c);
  c.memory_bytes = 1 << 20;
  sim().tvnsim_set_config(&c);
  CUdeviceptr a = 0, b = 0;
  ASSERT_EQ(cu->cuMemAlloc(&a, 768 << 10), rc::CUDA_SUCCESS);
  EXPECT_EQ(cu->cuMemAlloc(&b, 512 << 10), rc::CUDA_ERROR_OUT_OF_MEMORY);
  CUstream s = nullptr;
  ASSERT_EQ(cu->cuStreamCreate(&s, 0), rc::CUDA_SUCCESS);
  EXPECT_EQ(cu->cuMemAllocAsync(&b, 512 << 10, s), rc::CUDA_ERROR_OUT_OF_MEMORY);
  EXPECT_EQ(cu->cuMemAlloc(&b, 0), rc::CUDA_ERROR_INVALID_VALUE);
  ASSERT_EQ(cu->cuMemFree(a), rc::CUDA_SUCCESS);
  ASSERT_EQ(cu->cuMemAlloc(&b, 512 << 10), rc::CUDA_SUCCESS);
  EXPECT_EQ(cu->cuMemFree(b), rc::CUDA_SUCCESS);
  EXPECT_EQ(cu->cuStreamDestroy(s), rc::CUDA_SUCCESS);
}

TEST_F(MemoryTest, StreamOrderedAllocationNeedsMemoryPools) {
  REQUIRE_SIM();
  TvnSimConfig c;
  sim().tvnsim_get_config(&c);
  c.memory_pools = 0;
  sim().tvnsim_set_config(&c);
  CUdeviceptr p = 0;
  EXPECT_EQ(cu->cuMemAllocAsync(&p, 64, nullptr), rc::CUDA_ERROR_NOT_SUPPORTED);
  ASSERT_EQ(cu->cuMemAlloc(&p, 64), rc::CUDA_SUCCESS);
  EXPECT_EQ(cu->cuMemFreeAsync(p, nullptr), rc::CUDA_ERROR_NOT_SUPPORTED);
  EXPECT_EQ(cu->cuMemFree(p), rc::CUDA_SUCCESS);
}

TEST_F(MemoryTest, AsyncFreeHappensInStreamOrder) {
  CUstream s = nullptr;
  ASSERT_EQ(cu->cuStreamCreate(&s, 1), rc::CUDA_SUCCESS);
  CUdeviceptr p = 0;
  ASSERT_EQ(cu->cuMemAllocAsync(&p, 64, s), rc::CUDA_SUCCESS);
  ASSERT_EQ(cu->cuMemsetD32Async(p, 42, 16, s), rc::CUDA_SUCCESS);
  const CUdeviceptr out = alloc(64);
  ASSERT_EQ(cu->cuMemcpyDtoDAsync(out, p, 64, s), rc::CUDA_SUCCESS);
  ASSERT_EQ(cu->cuMemFreeAsync(p, s), rc::CUDA_SUCCESS);
  if (sim().available()) {
    EXPECT_EQ(cu->cuMemFreeAsync(p, s), rc::CUDA_ERROR_INVALID_VALUE);  // already queued
  }
  ASSERT_EQ(cu->cuStreamSynchronize(s), rc::CUDA_SUCCESS);
  EXPECT_EQ(read_u32(out, 16), std::vector<uint32_t>(16, 42));  // queued work saw the memory
  if (sim().available()) {
    EXPECT_EQ(cu->cuMemsetD8(p, 0, 4), rc::CUDA_ERROR_INVALID_VALUE);  // then it was gone
  }
  EXPECT_EQ(cu->cuStreamDestroy(s), rc::CUDA_SUCCESS);
}

TEST_F(MemoryTest, WorkQueuedAfterAnAsyncFreeFaults) {
  REQUIRE_SIM();
  CUstream s = nullptr;
  ASSERT_EQ(cu->cuStreamCreate(&s, 1), rc::CUDA_SUCCESS);
  CUdeviceptr p = 0;
  ASSERT_EQ(cu->cuMemAllocAsync(&p, 64, s), rc::CUDA_SUCCESS);
  ASSERT_EQ(cu->cuMemFreeAsync(p, s), rc::CUDA_SUCCESS);
  ASSERT_EQ(cu->cuMemsetD8Async(p, 0, 64, s), rc::CUDA_SUCCESS);  // still live when queued
  EXPECT_EQ(cu->cuStreamSynchronize(s), rc::CUDA_ERROR_ILLEGAL_ADDRESS);
  TvnSimFault f;
  ASSERT_EQ(sim().tvnsim_last_fault(&f), 0);
  EXPECT_EQ(f.result, rc::CUDA_ERROR_ILLEGAL_ADDRESS);
  EXPECT_EQ(f.address, p);
  // The fault is sticky until the context is reset.
  CUdeviceptr q = 0;
  EXPECT_EQ(cu->cuMemAlloc(&q, 16), rc::CUDA_ERROR_ILLEGAL_ADDRESS);
  EXPECT_EQ(cu->cuCtxSynchronize(), rc::CUDA_ERROR_ILLEGAL_ADDRESS);
  ASSERT_EQ(cu->cuDevicePrimaryCtxRelease(0), rc::CUDA_SUCCESS);
  ASSERT_EQ(cu->cuDevicePrimaryCtxRetain(&ctx, 0), rc::CUDA_SUCCESS);
  EXPECT_EQ(cu->cuMemAlloc(&q, 16), rc::CUDA_SUCCESS);
}

TEST_F(MemoryTest, MemFreeWaitsForTheDeviceOnlyForMemoryFromMemAlloc) {
  REQUIRE_SIM();
  CUstream s = nullptr;
  ASSERT_EQ(cu->cuStreamCreate(&s, 1), rc::CUDA_SUCCESS);
  CUdeviceptr plain = 0, pooled = 0;
  ASSERT_EQ(cu->cuMemAlloc(&plain, 64), rc::CUDA_SUCCESS);
  ASSERT_EQ(cu->cuMemsetD32Async(plain, 1, 16, s), rc::CUDA_SUCCESS);
  ASSERT_EQ(cu->cuMemFree(plain), rc::CUDA_SUCCESS);  // ran the memset first
  EXPECT_EQ(cu->cuStreamSynchronize(s), rc::CUDA_SUCCESS);

  // cuda.h: no implicit synchronisation for cuMemAllocAsync memory; the
  // caller must have waited for its users.
  ASSERT_EQ(cu->cuMemAllocAsync(&pooled, 64, s), rc::CUDA_SUCCESS);
  ASSERT_EQ(cu->cuMemsetD32Async(pooled, 2, 16, s), rc::CUDA_SUCCESS);
  ASSERT_EQ(cu->cuMemFree(pooled), rc::CUDA_SUCCESS);
  EXPECT_EQ(cu->cuStreamSynchronize(s), rc::CUDA_ERROR_ILLEGAL_ADDRESS);
  TvnSimFault f;
  ASSERT_EQ(sim().tvnsim_last_fault(&f), 0);
  EXPECT_EQ(f.address, pooled);
}

TEST_F(MemoryTest, AsyncCopyToDeviceTakesTheHostBytesAtTheCall) {
  CUstream s = nullptr;
  ASSERT_EQ(cu->cuStreamCreate(&s, 1), rc::CUDA_SUCCESS);
  const CUdeviceptr p = alloc(16);
  uint32_t host[4] = {1, 2, 3, 4};
  ASSERT_EQ(cu->cuMemcpyHtoDAsync(p, host, 16, s), rc::CUDA_SUCCESS);
  host[0] = 99;  // pageable memory: the copy already has the bytes
  ASSERT_EQ(cu->cuStreamSynchronize(s), rc::CUDA_SUCCESS);
  EXPECT_EQ(read_u32(p, 4), (std::vector<uint32_t>{1, 2, 3, 4}));

  // A copy to pageable host memory is complete when the call returns.
  ASSERT_EQ(cu->cuMemsetD32Async(p, 7, 4, s), rc::CUDA_SUCCESS);
  uint32_t back[4] = {};
  ASSERT_EQ(cu->cuMemcpyDtoHAsync(back, p, 16, s), rc::CUDA_SUCCESS);
  EXPECT_EQ(back[3], 7u);
  EXPECT_EQ(cu->cuStreamDestroy(s), rc::CUDA_SUCCESS);
}

}  // namespace
}  // namespace tvnsim_test
