// Streams and events.  Work is queued and runs only when a synchronising call
// needs it (see scheduler.h); queries run the pending work they are about and
// then report completion.
#include "api/simulator.h"

using tvnsim::api::Entry;
using tvnsim::api::Event;
using tvnsim::api::Fn;
using tvnsim::api::HandleKind;
using tvnsim::api::MarkerWork;
using tvnsim::api::Need;
using tvnsim::api::Simulator;
using tvnsim::api::Stream;
using tvnsim::api::WaitWork;

namespace {

Event* find_event(Simulator& sim, CUevent h) {
  auto it = sim.events.find(tvnsim::api::handle_value(h));
  return it == sim.events.end() ? nullptr : &it->second;
}

CUresult bad_stream(Simulator& sim) {
  return sim.fail(CUDA_ERROR_INVALID_HANDLE, "not a live stream of the current context");
}

CUresult bad_event(Simulator& sim) {
  return sim.fail(CUDA_ERROR_INVALID_HANDLE, "not a live event of the current context");
}

// The capture a stream belongs to, 0 when it is not being captured.
uint64_t capture_of(const Simulator& sim, const Stream& s) {
  auto it = sim.captures.find(s.id);
  return it == sim.captures.end() ? 0 : it->second;
}

CUresult sync_stream(Simulator& sim, Stream& s) {
  if (capture_of(sim, s) != 0) {
    return sim.fail(CUDA_ERROR_STREAM_CAPTURE_UNSUPPORTED,
                    "the stream is being captured and cannot be synchronised");
  }
  if (s.queue.empty()) return CUDA_SUCCESS;
  return sim.sync_stream(s.id, UINT64_MAX - 1);
}

CUresult sync_event(Simulator& sim, const Event& ev) {
  if (!ev.recorded) return CUDA_SUCCESS;
  return sim.sync_stream(ev.stream, ev.seq);
}

}  // namespace

CUresult CUDAAPI cuStreamCreate(CUstream* phStream, unsigned int Flags) try {
  Entry e(Fn::cuStreamCreate, Need::Context);
  if (e.failed()) return e.result();
  if (!phStream) return CUDA_ERROR_INVALID_VALUE;
  if (Flags & ~static_cast<unsigned>(CU_STREAM_NON_BLOCKING)) {
    return e.sim.fail(CUDA_ERROR_INVALID_VALUE, "unknown stream flags");
  }
  const uint64_t id = e.sim.new_handle(HandleKind::Stream);
  e.sim.scheduler.create(id, (Flags & CU_STREAM_NON_BLOCKING) == 0);
  *phStream = tvnsim::api::make_handle<CUstream>(id);
  return CUDA_SUCCESS;
} TVNSIM_CATCH_ALL

CUresult CUDAAPI cuStreamDestroy(CUstream hStream) try {
  Entry e(Fn::cuStreamDestroy_v2, Need::Context);
  if (e.failed()) return e.result();
  Stream* s = e.sim.stream(hStream);
  if (!s || s == &e.sim.scheduler.legacy()) return bad_stream(e.sim);
  e.sim.scheduler.destroy(*s);
  return CUDA_SUCCESS;
} TVNSIM_CATCH_ALL

CUresult CUDAAPI cuStreamSynchronize(CUstream hStream) try {
  Entry e(Fn::cuStreamSynchronize, Need::Context);
  if (e.failed()) return e.result();
  Stream* s = e.sim.stream(hStream);
  if (!s) return bad_stream(e.sim);
  return sync_stream(e.sim, *s);
} TVNSIM_CATCH_ALL

CUresult CUDAAPI cuStreamQuery(CUstream hStream) try {
  Entry e(Fn::cuStreamQuery, Need::Context);
  if (e.failed()) return e.result();
  Stream* s = e.sim.stream(hStream);
  if (!s) return bad_stream(e.sim);
  return sync_stream(e.sim, *s);
} TVNSIM_CATCH_ALL

CUresult CUDAAPI cuStreamWaitEvent(CUstream hStream, CUevent hEvent, unsigned int Flags) try {
  Entry e(Fn::cuStreamWaitEvent, Need::Context);
  if (e.failed()) return e.result();
  Stream* s = e.sim.stream(hStream);
  if (!s) return bad_stream(e.sim);
  const Event* ev = find_event(e.sim, hEvent);
  if (!ev) return bad_event(e.sim);
  if (Flags != CU_EVENT_WAIT_DEFAULT)
    return e.sim.fail(CUDA_ERROR_INVALID_VALUE, "unknown wait flags");
  // Waiting for an event recorded inside a live capture joins that capture,
  // as the driver does for cross-stream dependencies.
  if (ev->capture != 0 && e.sim.captures.count(ev->capture) != 0) {
    e.sim.captures[s->id] = ev->capture;
  }
  // Waiting for an event that was never recorded, or whose work has run,
  // orders nothing.
  if (!ev->recorded || e.sim.scheduler.reached(ev->stream, ev->seq)) return CUDA_SUCCESS;
  e.sim.scheduler.enqueue(*s, WaitWork{ev->stream, ev->seq});
  return CUDA_SUCCESS;
} TVNSIM_CATCH_ALL

CUresult CUDAAPI cuEventCreate(CUevent* phEvent, unsigned int Flags) try {
  Entry e(Fn::cuEventCreate, Need::Context);
  if (e.failed()) return e.result();
  if (!phEvent) return CUDA_ERROR_INVALID_VALUE;
  constexpr unsigned kKnown =
      CU_EVENT_BLOCKING_SYNC | CU_EVENT_DISABLE_TIMING | CU_EVENT_INTERPROCESS;
  if ((Flags & ~kKnown) ||
      ((Flags & CU_EVENT_INTERPROCESS) && !(Flags & CU_EVENT_DISABLE_TIMING))) {
    return e.sim.fail(CUDA_ERROR_INVALID_VALUE, "invalid event flags");
  }
  const uint64_t id = e.sim.new_handle(HandleKind::Event);
  e.sim.events[id].flags = Flags;
  *phEvent = tvnsim::api::make_handle<CUevent>(id);
  return CUDA_SUCCESS;
} TVNSIM_CATCH_ALL

CUresult CUDAAPI cuEventRecord(CUevent hEvent, CUstream hStream) try {
  Entry e(Fn::cuEventRecord, Need::Context);
  if (e.failed()) return e.result();
  Event* ev = find_event(e.sim, hEvent);
  if (!ev) return bad_event(e.sim);
  Stream* s = e.sim.stream(hStream);
  if (!s) return bad_stream(e.sim);
  ev->recorded = true;
  ev->stream = s->id;
  ev->capture = capture_of(e.sim, *s);
  ev->seq = e.sim.scheduler.enqueue(*s, MarkerWork{});
  return CUDA_SUCCESS;
} TVNSIM_CATCH_ALL

CUresult CUDAAPI cuEventSynchronize(CUevent hEvent) try {
  Entry e(Fn::cuEventSynchronize, Need::Context);
  if (e.failed()) return e.result();
  const Event* ev = find_event(e.sim, hEvent);
  if (!ev) return bad_event(e.sim);
  return sync_event(e.sim, *ev);
} TVNSIM_CATCH_ALL

CUresult CUDAAPI cuEventQuery(CUevent hEvent) try {
  Entry e(Fn::cuEventQuery, Need::Context);
  if (e.failed()) return e.result();
  const Event* ev = find_event(e.sim, hEvent);
  if (!ev) return bad_event(e.sim);
  return sync_event(e.sim, *ev);
} TVNSIM_CATCH_ALL

CUresult CUDAAPI cuEventDestroy(CUevent hEvent) try {
  Entry e(Fn::cuEventDestroy_v2, Need::Context);
  if (e.failed()) return e.result();
  if (e.sim.events.erase(tvnsim::api::handle_value(hEvent)) == 0) return bad_event(e.sim);
  return CUDA_SUCCESS;
} TVNSIM_CATCH_ALL

CUresult CUDAAPI cuStreamBeginCapture(CUstream hStream, CUstreamCaptureMode mode) try {
  Entry e(Fn::cuStreamBeginCapture_v2, Need::Context);
  if (e.failed()) return e.result();
  Stream* s = e.sim.stream(hStream);
  if (!s) return bad_stream(e.sim);
  if (mode != CU_STREAM_CAPTURE_MODE_GLOBAL && mode != CU_STREAM_CAPTURE_MODE_THREAD_LOCAL &&
      mode != CU_STREAM_CAPTURE_MODE_RELAXED) {
    return e.sim.fail(CUDA_ERROR_INVALID_VALUE, "unknown capture mode");
  }
  if (s == &e.sim.scheduler.legacy()) {
    return e.sim.fail(CUDA_ERROR_STREAM_CAPTURE_UNSUPPORTED,
                      "the legacy NULL stream cannot be captured");
  }
  if (capture_of(e.sim, *s) != 0) {
    return e.sim.fail(CUDA_ERROR_ILLEGAL_STATE, "the stream is already being captured");
  }
  e.sim.captures[s->id] = s->id;
  return CUDA_SUCCESS;
} TVNSIM_CATCH_ALL

CUresult CUDAAPI cuStreamEndCapture(CUstream hStream, CUgraph* phGraph) try {
  Entry e(Fn::cuStreamEndCapture, Need::Context);
  if (e.failed()) return e.result();
  if (!phGraph) return CUDA_ERROR_INVALID_VALUE;
  Stream* s = e.sim.stream(hStream);
  if (!s) return bad_stream(e.sim);
  const uint64_t capture = capture_of(e.sim, *s);
  if (capture == 0) return e.sim.fail(CUDA_ERROR_ILLEGAL_STATE, "the stream is not capturing");
  if (capture != s->id) {
    return e.sim.fail(CUDA_ERROR_STREAM_CAPTURE_UNMATCHED,
                      "the capture was not begun on this stream");
  }
  // Every stream that joined the capture leaves it with its origin.
  std::erase_if(e.sim.captures, [&](const auto& entry) { return entry.second == capture; });
  *phGraph = nullptr;  // no graph is built
  return CUDA_SUCCESS;
} TVNSIM_CATCH_ALL

CUresult CUDAAPI cuStreamIsCapturing(CUstream hStream, CUstreamCaptureStatus* captureStatus) try {
  Entry e(Fn::cuStreamIsCapturing, Need::Context);
  if (e.failed()) return e.result();
  if (!captureStatus) return CUDA_ERROR_INVALID_VALUE;
  Stream* s = e.sim.stream(hStream);
  if (!s) return bad_stream(e.sim);
  *captureStatus = capture_of(e.sim, *s) != 0 ? CU_STREAM_CAPTURE_STATUS_ACTIVE
                                              : CU_STREAM_CAPTURE_STATUS_NONE;
  return CUDA_SUCCESS;
} TVNSIM_CATCH_ALL
