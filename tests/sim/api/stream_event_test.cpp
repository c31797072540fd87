// Ordering of queued work: one stream in order, events between streams, the
// legacy NULL stream against blocking and non-blocking streams.  Producers
// and consumers are memsets and copies, so the ordering is tested without
// kernels.
#include "sim/api/driver_fixture.h"

namespace tvnsim_test {
namespace {

constexpr unsigned kNonBlocking = tesvan::cu::CU_STREAM_NON_BLOCKING;
constexpr unsigned kNoTiming = tesvan::cu::CU_EVENT_DISABLE_TIMING;

class StreamTest : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    if (HasFatalFailure()) return;
    buf = alloc(64, 0);
    dst = alloc(64, 0);
  }
  CUstream make_stream(unsigned flags) {
    CUstream s = nullptr;
    EXPECT_EQ(cu->cuStreamCreate(&s, flags), rc::CUDA_SUCCESS);
    return s;
  }
  CUevent make_event() {
    CUevent e = nullptr;
    EXPECT_EQ(cu->cuEventCreate(&e, kNoTiming), rc::CUDA_SUCCESS);
    return e;
  }
  uint32_t first(CUdeviceptr p) { return read_u32(p, 1)[0]; }

  CUdeviceptr buf = 0;
  CUdeviceptr dst = 0;
};

TEST_F(StreamTest, OneStreamRunsInEnqueueOrder) {
  CUstream s = make_stream(kNonBlocking);
  ASSERT_EQ(cu->cuMemsetD32Async(buf, 1, 16, s), rc::CUDA_SUCCESS);
  ASSERT_EQ(cu->cuMemcpyDtoDAsync(dst, buf, 64, s), rc::CUDA_SUCCESS);
  ASSERT_EQ(cu->cuMemsetD32Async(buf, 2, 16, s), rc::CUDA_SUCCESS);
  ASSERT_EQ(cu->cuMemcpyDtoDAsync(dst + 32, buf + 32, 32, s), rc::CUDA_SUCCESS);
  ASSERT_EQ(cu->cuStreamSynchronize(s), rc::CUDA_SUCCESS);
  const std::vector<uint32_t> d = read_u32(dst, 16);
  EXPECT_EQ(d[0], 1u);
  EXPECT_EQ(d[15], 2u);
  EXPECT_EQ(cu->cuStreamQuery(s), rc::CUDA_SUCCESS);
  EXPECT_EQ(cu->cuStreamDestroy(s), rc::CUDA_SUCCESS);
}

TEST_F(StreamTest, ConsumerWithoutAWaitSeesStaleData) {
  REQUIRE_SIM();  // on a GPU the race may go either way
  CUstream producer = make_stream(kNonBlocking);
  CUstream consumer = make_stream(kNonBlocking);
  ASSERT_EQ(cu->cuMemsetD32Async(buf, 7, 16, producer), rc::CUDA_SUCCESS);
  ASSERT_EQ(cu->cuMemcpyDtoDAsync(dst, buf, 64, consumer), rc::CUDA_SUCCESS);
  ASSERT_EQ(cu->cuCtxSynchronize(), rc::CUDA_SUCCESS);  // runs both, latest first
  EXPECT_EQ(first(dst), 0u);
  EXPECT_EQ(first(buf), 7u);
  cu->cuStreamDestroy(producer);
  cu->cuStreamDestroy(consumer);
}

TEST_F(StreamTest, ConsumerWaitingOnAnEventSeesTheProducersData) {
  CUstream producer = make_stream(kNonBlocking);
  CUstream consumer = make_stream(kNonBlocking);
  CUevent done = make_event();
  ASSERT_EQ(cu->cuMemsetD32Async(buf, 7, 16, producer), rc::CUDA_SUCCESS);
  ASSERT_EQ(cu->cuEventRecord(done, producer), rc::CUDA_SUCCESS);
  ASSERT_EQ(cu->cuStreamWaitEvent(consumer, done, 0), rc::CUDA_SUCCESS);
  ASSERT_EQ(cu->cuMemcpyDtoDAsync(dst, buf, 64, consumer), rc::CUDA_SUCCESS);
  ASSERT_EQ(cu->cuStreamSynchronize(consumer), rc::CUDA_SUCCESS);
  EXPECT_EQ(first(dst), 7u);
  EXPECT_EQ(cu->cuEventQuery(done), rc::CUDA_SUCCESS);
  EXPECT_EQ(cu->cuEventDestroy(done), rc::CUDA_SUCCESS);
  cu->cuStreamDestroy(producer);
  cu->cuStreamDestroy(consumer);
}

TEST_F(StreamTest, WaitFollowsTheRecordMadeBeforeIt) {
  REQUIRE_SIM();  // on a GPU the second memset may already have run
  CUstream producer = make_stream(kNonBlocking);
  CUstream consumer = make_stream(kNonBlocking);
  CUevent ev = make_event();
  ASSERT_EQ(cu->cuMemsetD32Async(buf, 1, 16, producer), rc::CUDA_SUCCESS);
  ASSERT_EQ(cu->cuEventRecord(ev, producer), rc::CUDA_SUCCESS);
  ASSERT_EQ(cu->cuStreamWaitEvent(consumer, ev, 0), rc::CUDA_SUCCESS);
  ASSERT_EQ(cu->cuMemsetD32Async(buf, 2, 16, producer), rc::CUDA_SUCCESS);
  ASSERT_EQ(cu->cuEventRecord(ev, producer), rc::CUDA_SUCCESS);  // re-recorded after the wait
  ASSERT_EQ(cu->cuMemcpyDtoDAsync(dst, buf, 64, consumer), rc::CUDA_SUCCESS);
  ASSERT_EQ(cu->cuStreamSynchronize(consumer), rc::CUDA_SUCCESS);
  EXPECT_EQ(first(dst), 1u);
  ASSERT_EQ(cu->cuEventSynchronize(ev), rc::CUDA_SUCCESS);
  EXPECT_EQ(first(buf), 2u);
  cu->cuEventDestroy(ev);
  cu->cuStreamDestroy(producer);
  cu->cuStreamDestroy(consumer);
}

TEST_F(StreamTest, SynchronisationRunsOnlyTheWorkItWaitsFor) {
  REQUIRE_SIM();
  CUstream a = make_stream(kNonBlocking);
  CUstream b = make_stream(kNonBlocking);
  CUevent ev = make_event();
  ASSERT_EQ(cu->cuMemsetD32Async(buf, 3, 16, a), rc::CUDA_SUCCESS);
  ASSERT_EQ(cu->cuEventRecord(ev, a), rc::CUDA_SUCCESS);
  ASSERT_EQ(cu->cuMemsetD32Async(dst, 4, 16, b), rc::CUDA_SUCCESS);
  ASSERT_EQ(cu->cuEventSynchronize(ev), rc::CUDA_SUCCESS);
  EXPECT_EQ(first(buf), 3u);
  uint32_t host = 0;
  // Reading on a non-blocking stream does not wait for b.
  ASSERT_EQ(cu->cuMemcpyDtoHAsync(&host, dst, 4, a), rc::CUDA_SUCCESS);
  EXPECT_EQ(host, 0u);
  ASSERT_EQ(cu->cuStreamSynchronize(b), rc::CUDA_SUCCESS);
  EXPECT_EQ(first(dst), 4u);
  cu->cuEventDestroy(ev);
  cu->cuStreamDestroy(a);
  cu->cuStreamDestroy(b);
}

TEST_F(StreamTest, LegacyStreamSynchronisesWithBlockingStreamsOnly) {
  CUstream blocking = make_stream(0);
  ASSERT_EQ(cu->cuMemsetD32Async(buf, 5, 16, blocking), rc::CUDA_SUCCESS);
  EXPECT_EQ(first(buf), 5u);  // the synchronous copy waits for the blocking stream

  // Work on a blocking stream waits for earlier legacy-stream work.
  ASSERT_EQ(cu->cuMemsetD32Async(buf, 6, 16, nullptr), rc::CUDA_SUCCESS);
  ASSERT_EQ(cu->cuMemcpyDtoDAsync(dst, buf, 64, blocking), rc::CUDA_SUCCESS);
  ASSERT_EQ(cu->cuStreamSynchronize(blocking), rc::CUDA_SUCCESS);
  EXPECT_EQ(first(dst), 6u);
  cu->cuStreamDestroy(blocking);

  if (!sim().available()) return;  // the rest shows a missing order: simulator only
  CUstream free_running = make_stream(kNonBlocking);
  ASSERT_EQ(cu->cuMemsetD32Async(buf, 8, 16, free_running), rc::CUDA_SUCCESS);
  EXPECT_EQ(first(buf), 6u);  // not waited for
  ASSERT_EQ(cu->cuMemsetD32Async(dst, 9, 16, nullptr), rc::CUDA_SUCCESS);
  ASSERT_EQ(cu->cuMemcpyDtoDAsync(buf, dst, 64, free_running), rc::CUDA_SUCCESS);
  ASSERT_EQ(cu->cuStreamSynchronize(free_running), rc::CUDA_SUCCESS);
  EXPECT_EQ(first(buf), 6u);  // copied from dst before the legacy memset of 9 ran
  cu->cuStreamDestroy(free_running);
}

TEST_F(StreamTest, SynchronousCopiesToTheDeviceAndMemsetsDoNotWaitForIt) {
  REQUIRE_SIM();  // on a GPU each read below races with the legacy stream
  CUstream free_running = make_stream(kNonBlocking);
  // A memset of device memory is queued on the legacy stream; the host does
  // not wait for it, so a non-blocking stream may read the old bytes.
  ASSERT_EQ(cu->cuMemsetD32(buf, 5, 16), rc::CUDA_SUCCESS);
  ASSERT_EQ(cu->cuMemcpyDtoDAsync(dst, buf, 64, free_running), rc::CUDA_SUCCESS);
  ASSERT_EQ(cu->cuStreamSynchronize(free_running), rc::CUDA_SUCCESS);
  EXPECT_EQ(first(dst), 0u);
  EXPECT_EQ(first(buf), 5u);  // the copy to the host waits for the legacy stream

  // Likewise a device-to-device copy: it may still read a source that a
  // non-blocking stream overwrites after the call.
  ASSERT_EQ(cu->cuMemcpyDtoD(dst, buf, 64), rc::CUDA_SUCCESS);
  ASSERT_EQ(cu->cuMemsetD32Async(buf, 6, 16, free_running), rc::CUDA_SUCCESS);
  ASSERT_EQ(cu->cuStreamSynchronize(free_running), rc::CUDA_SUCCESS);
  EXPECT_EQ(first(dst), 6u);

  // A copy from pageable host memory waits for the legacy stream's earlier
  // work, takes the host bytes and returns; the transfer may still be pending.
  ASSERT_EQ(cu->cuMemsetD32Async(dst, 8, 16, nullptr), rc::CUDA_SUCCESS);
  uint32_t host[16];
  std::fill(std::begin(host), std::end(host), 9u);
  ASSERT_EQ(cu->cuMemcpyHtoD(buf, host, 64), rc::CUDA_SUCCESS);
  host[0] = 10;  // the driver already holds the bytes
  ASSERT_EQ(cu->cuMemcpyDtoDAsync(dst + 56, dst, 4, free_running), rc::CUDA_SUCCESS);
  ASSERT_EQ(cu->cuMemcpyDtoDAsync(dst + 60, buf, 4, free_running), rc::CUDA_SUCCESS);
  ASSERT_EQ(cu->cuStreamSynchronize(free_running), rc::CUDA_SUCCESS);
  const std::vector<uint32_t> d = read_u32(dst, 16);
  EXPECT_EQ(d[14], 8u);  // the memset queued before the copy had run
  EXPECT_EQ(d[15], 6u);  // the transfer had not: buf still held the old bytes
  EXPECT_EQ(first(buf), 9u);
  cu->cuStreamDestroy(free_running);
}

TEST_F(StreamTest, TwoWayHandshakeWithTheLegacyStream) {
  // A caller on the NULL stream hands work to a non-blocking stream and takes
  // the result back, ordered only by one event each way.  Synchronising the
  // worker first checks the way in, reading on the NULL stream first the way
  // back.
  CUstream worker = make_stream(kNonBlocking);
  CUevent in = make_event();
  CUevent out = make_event();
  for (const bool worker_first : {true, false}) {
    const unsigned value = worker_first ? 21 : 31;
    ASSERT_EQ(cu->cuMemsetD32Async(buf, value, 16, nullptr), rc::CUDA_SUCCESS);
    ASSERT_EQ(cu->cuEventRecord(in, nullptr), rc::CUDA_SUCCESS);
    ASSERT_EQ(cu->cuStreamWaitEvent(worker, in, 0), rc::CUDA_SUCCESS);
    ASSERT_EQ(cu->cuMemcpyDtoDAsync(dst, buf, 64, worker), rc::CUDA_SUCCESS);
    ASSERT_EQ(cu->cuEventRecord(out, worker), rc::CUDA_SUCCESS);
    ASSERT_EQ(cu->cuStreamWaitEvent(nullptr, out, 0), rc::CUDA_SUCCESS);
    ASSERT_EQ(cu->cuMemsetD32Async(buf, value + 1, 16, nullptr), rc::CUDA_SUCCESS);
    if (worker_first) {
      ASSERT_EQ(cu->cuStreamSynchronize(worker), rc::CUDA_SUCCESS);
    }
    uint32_t host[16] = {};
    ASSERT_EQ(cu->cuMemcpyDtoHAsync(host, dst, 64, nullptr), rc::CUDA_SUCCESS);
    EXPECT_EQ(host[0], value) << (worker_first ? "worker first" : "NULL stream first");
    EXPECT_EQ(host[15], value);
    EXPECT_EQ(first(buf), value + 1);
  }
  cu->cuEventDestroy(in);
  cu->cuEventDestroy(out);
  cu->cuStreamDestroy(worker);
}

TEST_F(StreamTest, LegacyAndPerThreadHandlesNameTheNullStream) {
  const CUstream legacy = reinterpret_cast<CUstream>(0x1);
  const CUstream per_thread = reinterpret_cast<CUstream>(0x2);
  ASSERT_EQ(cu->cuMemsetD32Async(buf, 11, 16, legacy), rc::CUDA_SUCCESS);
  ASSERT_EQ(cu->cuStreamSynchronize(per_thread), rc::CUDA_SUCCESS);
  EXPECT_EQ(first(buf), 11u);
}

TEST_F(StreamTest, DestroyedStreamStillRunsItsWork) {
  CUstream s = make_stream(kNonBlocking);
  CUevent ev = make_event();
  ASSERT_EQ(cu->cuMemsetD32Async(buf, 12, 16, s), rc::CUDA_SUCCESS);
  ASSERT_EQ(cu->cuEventRecord(ev, s), rc::CUDA_SUCCESS);
  ASSERT_EQ(cu->cuStreamDestroy(s), rc::CUDA_SUCCESS);
  ASSERT_EQ(cu->cuEventSynchronize(ev), rc::CUDA_SUCCESS);
  EXPECT_EQ(first(buf), 12u);
  cu->cuEventDestroy(ev);
}

// Capture status only: no graph is built and captured work still runs, but a
// stream knows it is captured, joins a capture through an event recorded
// inside it, and leaves it when the origin ends the capture.
TEST_F(StreamTest, CaptureStatusFollowsEventsAndEndsWithItsOrigin) {
  using tesvan::cu::CU_STREAM_CAPTURE_MODE_GLOBAL;
  using tesvan::cu::CU_STREAM_CAPTURE_STATUS_ACTIVE;
  using tesvan::cu::CU_STREAM_CAPTURE_STATUS_NONE;
  CUstream origin = make_stream(kNonBlocking);
  CUstream joined = make_stream(kNonBlocking);
  CUstream apart = make_stream(kNonBlocking);
  CUevent ev = make_event();
  const auto status = [&](CUstream s) {
    tesvan::cu::CUstreamCaptureStatus st = CU_STREAM_CAPTURE_STATUS_ACTIVE;
    EXPECT_EQ(cu->cuStreamIsCapturing(s, &st), rc::CUDA_SUCCESS);
    return st;
  };
  // An event recorded before the capture does not pull a stream in.
  ASSERT_EQ(cu->cuEventRecord(ev, origin), rc::CUDA_SUCCESS);
  ASSERT_EQ(cu->cuStreamBeginCapture(origin, CU_STREAM_CAPTURE_MODE_GLOBAL), rc::CUDA_SUCCESS);
  ASSERT_EQ(cu->cuStreamWaitEvent(apart, ev, 0), rc::CUDA_SUCCESS);
  EXPECT_EQ(status(origin), CU_STREAM_CAPTURE_STATUS_ACTIVE);
  EXPECT_EQ(status(apart), CU_STREAM_CAPTURE_STATUS_NONE);
  ASSERT_EQ(cu->cuEventRecord(ev, origin), rc::CUDA_SUCCESS);
  ASSERT_EQ(cu->cuStreamWaitEvent(joined, ev, 0), rc::CUDA_SUCCESS);
  EXPECT_EQ(status(joined), CU_STREAM_CAPTURE_STATUS_ACTIVE);

  // A captured stream cannot be synchronised, captured twice, or ended
  // anywhere but at its origin.
  EXPECT_EQ(cu->cuStreamSynchronize(origin), rc::CUDA_ERROR_STREAM_CAPTURE_UNSUPPORTED);
  EXPECT_EQ(cu->cuStreamBeginCapture(origin, CU_STREAM_CAPTURE_MODE_GLOBAL),
            rc::CUDA_ERROR_ILLEGAL_STATE);
  tesvan::cu::CUgraph graph = nullptr;
  EXPECT_EQ(cu->cuStreamEndCapture(joined, &graph), rc::CUDA_ERROR_STREAM_CAPTURE_UNMATCHED);
  EXPECT_EQ(cu->cuStreamBeginCapture(nullptr, CU_STREAM_CAPTURE_MODE_GLOBAL),
            rc::CUDA_ERROR_STREAM_CAPTURE_UNSUPPORTED);

  ASSERT_EQ(cu->cuStreamEndCapture(origin, &graph), rc::CUDA_SUCCESS);
  EXPECT_EQ(status(origin), CU_STREAM_CAPTURE_STATUS_NONE);
  EXPECT_EQ(status(joined), CU_STREAM_CAPTURE_STATUS_NONE);
  EXPECT_EQ(cu->cuStreamEndCapture(origin, &graph), rc::CUDA_ERROR_ILLEGAL_STATE);
  // The event keeps its capture's mark, but that capture is over.
  ASSERT_EQ(cu->cuStreamWaitEvent(apart, ev, 0), rc::CUDA_SUCCESS);
  EXPECT_EQ(status(apart), CU_STREAM_CAPTURE_STATUS_NONE);
  EXPECT_EQ(cu->cuStreamSynchronize(origin), rc::CUDA_SUCCESS);
  for (CUstream s : {origin, joined, apart}) cu->cuStreamDestroy(s);
  cu->cuEventDestroy(ev);
}

TEST_F(StreamTest, HandlesAndFlagsAreChecked) {
  REQUIRE_SIM();  // a real driver may crash on stale handles
  CUstream s = nullptr;
  EXPECT_EQ(cu->cuStreamCreate(&s, 0x4), rc::CUDA_ERROR_INVALID_VALUE);
  CUevent e = nullptr;
  EXPECT_EQ(cu->cuEventCreate(&e, 0x10), rc::CUDA_ERROR_INVALID_VALUE);
  EXPECT_EQ(cu->cuEventCreate(&e, 0x4),
            rc::CUDA_ERROR_INVALID_VALUE);  // interprocess needs no timing
  s = make_stream(0);
  e = make_event();
  EXPECT_EQ(cu->cuStreamWaitEvent(s, e, 0), rc::CUDA_SUCCESS);  // never recorded: no wait
  EXPECT_EQ(cu->cuEventSynchronize(e), rc::CUDA_SUCCESS);
  EXPECT_EQ(cu->cuStreamDestroy(nullptr), rc::CUDA_ERROR_INVALID_HANDLE);
  EXPECT_EQ(cu->cuStreamDestroy(s), rc::CUDA_SUCCESS);
  EXPECT_EQ(cu->cuStreamSynchronize(s), rc::CUDA_ERROR_INVALID_HANDLE);
  EXPECT_EQ(cu->cuEventRecord(e, s), rc::CUDA_ERROR_INVALID_HANDLE);
  EXPECT_EQ(cu->cuStreamWaitEvent(nullptr, reinterpret_cast<CUevent>(s), 0),
            rc::CUDA_ERROR_INVALID_HANDLE);  // a stream is no event
  EXPECT_EQ(cu->cuEventDestroy(e), rc::CUDA_SUCCESS);
  EXPECT_EQ(cu->cuEventDestroy(e), rc::CUDA_ERROR_INVALID_HANDLE);
}

}  // namespace
}  // namespace tvnsim_test
