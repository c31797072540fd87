// cuGetErrorName and cuGetErrorString: the enumerator names of cuda.h and the
// driver's descriptions, for every result code.
#include "api/cuda_api.h"
#include "api/simulator.h"

namespace {

// The name table is shared with the engine, which does not include cuda.h:
// here every entry is checked against the header's own value.
#define X(value, name) static_assert(name == (value), #name " differs from cuda.h");
#include "cu_result_names.inc"
#undef X

const char* result_name(CUresult r) {
  switch (static_cast<int>(r)) {
#define X(value, name) \
  case value:          \
    return #name;
#include "cu_result_names.inc"
#undef X
  }
  return nullptr;
}

const char* result_description(CUresult r) {
  switch (static_cast<int>(r)) {
#define X(value, text) \
  case value:          \
    return text;
#include "api/result_descriptions.inc"
#undef X
  }
  return nullptr;
}

CUresult lookup(tvnsim::api::Fn f, const char* (*table)(CUresult), CUresult error,
                const char** out) {
  tvnsim::api::Entry e(f, tvnsim::api::Need::Nothing);
  if (e.failed()) return e.result();
  if (!out) return CUDA_ERROR_INVALID_VALUE;
  *out = table(error);
  return *out ? CUDA_SUCCESS : CUDA_ERROR_INVALID_VALUE;
}

}  // namespace

CUresult CUDAAPI cuGetErrorName(CUresult error, const char** pStr) try {
  return lookup(tvnsim::api::Fn::cuGetErrorName, result_name, error, pStr);
} TVNSIM_CATCH_ALL

CUresult CUDAAPI cuGetErrorString(CUresult error, const char** pStr) try {
  return lookup(tvnsim::api::Fn::cuGetErrorString, result_description, error, pStr);
} TVNSIM_CATCH_ALL
