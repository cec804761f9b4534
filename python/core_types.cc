#include "core_types.h"

#include <string>

#include "args.h"
#include "errors.h"

namespace fenro::python {

AggregatorInstance* core_aggregator(PyObject* obj, const char* module) {
  constexpr const char* kAggregatorKind = "ByzantineAggregator";
  static PyTypeObject* type = nullptr;
  if (type == nullptr) {
    const Ref core{PyImport_ImportModule("fenro._core")};
    if (core.p == nullptr) return nullptr;
    PyObject* found = PyObject_GetAttrString(core.p, kAggregatorKind);
    if (found == nullptr) return nullptr;
    const Ref size{PyObject_GetAttrString(found, "__basicsize__")};
    if (size.p == nullptr || !PyType_Check(found) ||
        PyLong_AsSsize_t(size.p) != static_cast<Py_ssize_t>(sizeof(AggregatorInstance))) {
      Py_DECREF(found);
      if (!PyErr_Occurred()) {
        const std::string message =
            std::string("fenro._core and ") + module + " come from different builds";
        PyErr_SetString(PyExc_ImportError, message.c_str());
      }
      return nullptr;
    }
    type = reinterpret_cast<PyTypeObject*>(found);  // one reference, kept for the process
  }
  if (Py_TYPE(obj) != type) {
    raise_argument_error("aggregator", cannot_convert(obj, kAggregatorKind));
    return nullptr;
  }
  return AggregatorInstance::of(obj);
}

}  // namespace fenro::python
