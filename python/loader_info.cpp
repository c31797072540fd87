#include "loader_info.h"

#include <dlfcn.h>

#include <string>
#include <vector>

#include "driver.h"
#include "kernel_build.h"

namespace tesvan::py {
namespace {

// NVIDIA's wheels share the `nvidia` namespace package; its folders come from
// the interpreter's search path (sys.path, .pth files, user site), which a
// path relative to this module would miss.
std::vector<std::string> nvidia_package_roots() {
  std::vector<std::string> roots;
  PyObject* util = PyImport_ImportModule("importlib.util");
  PyObject* spec = util ? PyObject_CallMethod(util, "find_spec", "s", "nvidia") : nullptr;
  PyObject* locations =
      spec && spec != Py_None ? PyObject_GetAttrString(spec, "submodule_search_locations") : nullptr;
  PyObject* it = locations && locations != Py_None ? PyObject_GetIter(locations) : nullptr;
  while (PyObject* item = it ? PyIter_Next(it) : nullptr) {
    Py_ssize_t size = 0;
    if (const char* text = PyUnicode_Check(item) ? PyUnicode_AsUTF8AndSize(item, &size) : nullptr) {
      roots.emplace_back(text, static_cast<size_t>(size));
    }
    Py_DECREF(item);
  }
  Py_XDECREF(it);
  Py_XDECREF(locations);
  Py_XDECREF(spec);
  Py_XDECREF(util);
  // A broken `nvidia` package only means no wheels to search.
  PyErr_Clear();
  return roots;
}

// Builds a dict from (key, new reference) pairs; null if any value is null.
class Dict {
 public:
  Dict() : d_(PyDict_New()) {}
  ~Dict() { Py_XDECREF(d_); }
  Dict& set(const char* key, PyObject* value) {
    if (!value || !d_ || PyDict_SetItemString(d_, key, value) < 0) {
      Py_CLEAR(d_);
    }
    Py_XDECREF(value);
    return *this;
  }
  PyObject* release() {
    PyObject* d = d_;
    d_ = nullptr;
    return d;
  }

 private:
  PyObject* d_;
};

PyObject* str(const std::string& s) { return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())); }
PyObject* str_or_none(const std::string& s) { return s.empty() ? Py_NewRef(Py_None) : str(s); }

template <class T, class F>
PyObject* list(const std::vector<T>& items, F convert) {
  PyObject* l = PyList_New(0);
  for (const T& item : items) {
    PyObject* v = convert(item);
    if (!l || !v || PyList_Append(l, v) < 0) {
      Py_XDECREF(v);
      Py_XDECREF(l);
      return nullptr;
    }
    Py_DECREF(v);
  }
  return l;
}

PyObject* driver_report() {
  auto loaded = cu::cuda();
  if (!loaded.ok()) return Dict().set("error", str(loaded.error().display())).release();
  const cu::CudaApi& api = *loaded.value();
  Dl_info where{};
  std::string path = "libcuda.so.1";
  if (dladdr(reinterpret_cast<void*>(api.cuInit), &where) && where.dli_fname) path = where.dli_fname;
  int version = 0;
  api.cuDriverGetVersion(&version);
  struct Device {
    std::string name;
    int major = 0, minor = 0;
  };
  std::vector<Device> devices;
  int count = 0;
  std::string error;
  if (cu::CUresult r = api.cuInit(0); r != cu::CUDA_SUCCESS) {
    error = "cuInit failed: " + cu::driver_error(r);
  } else if (api.cuDeviceGetCount(&count) == cu::CUDA_SUCCESS) {
    for (int i = 0; i < count; ++i) {
      Device d;
      char name[256] = {};
      cu::CUdevice dev = 0;
      api.cuDeviceGet(&dev, i);
      api.cuDeviceGetName(name, sizeof name, dev);
      api.cuDeviceGetAttribute(&d.major, cu::CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MAJOR, dev);
      api.cuDeviceGetAttribute(&d.minor, cu::CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MINOR, dev);
      d.name = name;
      devices.push_back(d);
    }
  }
  return Dict()
      .set("path", str(path))
      .set("simulated", PyBool_FromLong(cu::driver_is_simulated(api)))
      .set("version", PyLong_FromLong(version))
      .set("error", str_or_none(error))
      .set("devices", list(devices,
                           [](const Device& d) {
                             return Dict()
                                 .set("name", str(d.name))
                                 .set("compute_capability", Py_BuildValue("(ii)", d.major, d.minor))
                                 .release();
                           }))
      .release();
}

PyObject* nvrtc_report() {
  const cu::NvrtcReport& r = cu::nvrtc_report();
  return Dict()
      .set("found", list(r.found,
                         [](const cu::NvrtcReport::Entry& e) {
                           return Dict()
                               .set("path", str(e.path))
                               .set("why", str(e.why))
                               .set("version", str(cu::cuda_version_text(e.version)))
                               .set("include_dir", str_or_none(e.include_dir))
                               .release();
                         }))
      .set("failed", list(r.failed, str))
      .set("chosen", r.chosen ? PyLong_FromSize_t(*r.chosen) : Py_NewRef(Py_None))
      .set("form", str(r.form == cu::CodeForm::Cubin ? "cubin" : "ptx"))
      .set("error", str_or_none(r.error))
      .release();
}

// The loader's view of this process, as plain Python values.
PyObject* loader_report() {
  const std::optional<std::filesystem::path> cache = cache_directory();
  return Dict()
      .set("driver", driver_report())
      .set("nvrtc", nvrtc_report())
      .set("include_dirs", list(include_directories(), str))
      .set("package_roots", list(cu::python_package_roots(), str))
      .set("cache_dir", cache ? str(cache->string()) : Py_NewRef(Py_None))
      .release();
}

}  // namespace

int add_loader_info(PyObject*) {
  cu::set_python_package_roots(nvidia_package_roots());
  return 0;
}

}  // namespace tesvan::py

// The loader's report, for tesvan.loader through ctypes.PyDLL (which holds
// the interpreter lock): the module itself registers Engine alone.
extern "C" __attribute__((visibility("default"))) PyObject* tesvan_loader_report() {
  return tesvan::py::loader_report();
}
