// Driver initialisation and the one simulated device.
#include <cstring>

#include "api/device_model.h"
#include "api/simulator.h"

using tvnsim::api::Entry;
using tvnsim::api::Fn;
using tvnsim::api::Need;

namespace {

CUresult check_device(tvnsim::api::Simulator& sim, CUdevice dev) {
  if (dev != 0)
    return sim.fail(CUDA_ERROR_INVALID_DEVICE, "the simulated driver has one device, ordinal 0");
  return CUDA_SUCCESS;
}

}  // namespace

CUresult CUDAAPI cuInit(unsigned int Flags) try {
  Entry e(Fn::cuInit, Need::Nothing);
  if (e.failed()) return e.result();
  if (Flags != 0) return e.sim.fail(CUDA_ERROR_INVALID_VALUE, "cuInit flags must be 0");
  e.sim.ensure_config();
  e.sim.initialized = true;
  return CUDA_SUCCESS;
} TVNSIM_CATCH_ALL

CUresult CUDAAPI cuDriverGetVersion(int* driverVersion) try {
  Entry e(Fn::cuDriverGetVersion, Need::Nothing);
  if (e.failed()) return e.result();
  if (!driverVersion) return CUDA_ERROR_INVALID_VALUE;
  e.sim.ensure_config();
  *driverVersion = e.sim.config.driver_version;
  return CUDA_SUCCESS;
} TVNSIM_CATCH_ALL

// The driver's private interfaces.  NVRTC loads libcuda.so.1 and asks for
// them; it must learn that this driver has none instead of failing to find
// the symbol.
CUresult CUDAAPI cuGetExportTable(const void** ppExportTable, const CUuuid* pExportTableId) try {
  Entry e(Fn::cuGetExportTable, Need::Nothing);
  if (e.failed()) return e.result();
  if (!ppExportTable || !pExportTableId) return CUDA_ERROR_INVALID_VALUE;
  *ppExportTable = nullptr;
  return e.sim.fail(CUDA_ERROR_NOT_SUPPORTED, "the simulated driver has no private export tables");
} TVNSIM_CATCH_ALL

CUresult CUDAAPI cuDeviceGet(CUdevice* device, int ordinal) try {
  Entry e(Fn::cuDeviceGet, Need::Init);
  if (e.failed()) return e.result();
  if (!device) return CUDA_ERROR_INVALID_VALUE;
  if (CUresult r = check_device(e.sim, ordinal)) return r;
  *device = 0;
  return CUDA_SUCCESS;
} TVNSIM_CATCH_ALL

CUresult CUDAAPI cuDeviceGetCount(int* count) try {
  Entry e(Fn::cuDeviceGetCount, Need::Init);
  if (e.failed()) return e.result();
  if (!count) return CUDA_ERROR_INVALID_VALUE;
  *count = 1;
  return CUDA_SUCCESS;
} TVNSIM_CATCH_ALL

CUresult CUDAAPI cuDeviceGetName(char* name, int len, CUdevice dev) try {
  Entry e(Fn::cuDeviceGetName, Need::Init);
  if (e.failed()) return e.result();
  if (!name || len <= 0) return CUDA_ERROR_INVALID_VALUE;
  if (CUresult r = check_device(e.sim, dev)) return r;
  const std::string text = tvnsim::api::device_name(e.sim.config);
  const size_t n = std::min(static_cast<size_t>(len) - 1, text.size());
  std::memcpy(name, text.data(), n);
  name[n] = '\0';
  return CUDA_SUCCESS;
} TVNSIM_CATCH_ALL

CUresult CUDAAPI cuDeviceGetAttribute(int* pi, CUdevice_attribute attrib, CUdevice dev) try {
  Entry e(Fn::cuDeviceGetAttribute, Need::Init);
  if (e.failed()) return e.result();
  if (!pi) return CUDA_ERROR_INVALID_VALUE;
  if (CUresult r = check_device(e.sim, dev)) return r;
  const std::optional<int> v = tvnsim::api::device_attribute(e.sim.config, attrib);
  if (!v) {
    return e.sim.fail(CUDA_ERROR_INVALID_VALUE,
                      "device attribute " + std::to_string(attrib) + " is not modelled");
  }
  *pi = *v;
  return CUDA_SUCCESS;
} TVNSIM_CATCH_ALL

CUresult CUDAAPI cuDeviceTotalMem(size_t* bytes, CUdevice dev) try {
  Entry e(Fn::cuDeviceTotalMem_v2, Need::Init);
  if (e.failed()) return e.result();
  if (!bytes) return CUDA_ERROR_INVALID_VALUE;
  if (CUresult r = check_device(e.sim, dev)) return r;
  *bytes = e.sim.config.memory_bytes;
  return CUDA_SUCCESS;
} TVNSIM_CATCH_ALL
