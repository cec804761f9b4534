#include "numpy_api.h"

#include <new>
#include <vector>

#include "errors.h"

namespace fenro::python::numpy {
namespace {

// Slots of the exported table; identical in NumPy 1.x and 2.x.
constexpr int kSlotAbiVersion = 0;
constexpr int kSlotArrayType = 2;
constexpr int kSlotDescrFromType = 45;
constexpr int kSlotNew = 93;
constexpr int kSlotEquivTypes = 182;
constexpr int kSlotSetBaseObject = 282;

constexpr int kTypeFloat32 = 11;
constexpr int kTypeFloat64 = 12;
// bool, the signed and unsigned integers, float32, float64, long double and float16.
constexpr int kNumberTypes[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 23};
constexpr int kFlagsCArrayWritable = 0x0001 | 0x0100 | 0x0400;  // C-contiguous, aligned, writeable
constexpr unsigned kAbiNumpy1 = 0x01000009;
constexpr unsigned kAbiNumpy2 = 0x02000000;

constexpr const char* kCapsuleName = "fenro._core.matrix";

using DescrFromTypeFn = PyObject* (*)(int);
using NewFn = PyObject* (*)(PyTypeObject*, int, const npy_intp*, int, const npy_intp*, void*, int,
                            int, PyObject*);
using EquivTypesFn = unsigned char (*)(PyObject*, PyObject*);
using SetBaseObjectFn = int (*)(PyObject*, PyObject*);

struct Table {
  PyTypeObject* array_type = nullptr;
  NewFn array_new = nullptr;
  EquivTypesFn equiv_types = nullptr;
  SetBaseObjectFn set_base_object = nullptr;
  PyObject* float32_descr = nullptr;  // kept for the life of the process
  PyObject* float64_descr = nullptr;
  // NumPy's own scalar types of bools, integers and floats (exact types, no subclasses), whose
  // conversion to a Python float is NumPy's C code.
  std::vector<PyTypeObject*> number_scalar_types;
};

// Bound once and never released: the extension is never unloaded, and neither is NumPy once
// imported. Every access happens with the interpreter lock held.
Table* g_table = nullptr;

PyObject* import_multiarray() {
  PyObject* mod = PyImport_ImportModule("numpy._core._multiarray_umath");
  if (mod != nullptr || !PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) return mod;
  // NumPy 1.x keeps the module under its old package name.
  PyErr_Clear();
  return PyImport_ImportModule("numpy.core._multiarray_umath");
}

void free_capsule(PyObject* capsule) {
  auto* entry = static_cast<void**>(PyCapsule_GetPointer(capsule, kCapsuleName));
  if (entry == nullptr) {
    PyErr_Clear();
    return;
  }
  auto free_data = reinterpret_cast<void (*)(float*)>(entry[1]);
  free_data(static_cast<float*>(entry[0]));
  delete[] entry;
}

}  // namespace

bool ensure_loaded() {
  if (g_table != nullptr) return true;
  PyObject* mod = import_multiarray();
  if (mod == nullptr) return false;
  PyObject* capsule = PyObject_GetAttrString(mod, "_ARRAY_API");
  Py_DECREF(mod);
  if (capsule == nullptr) return false;
  auto** api = static_cast<void**>(PyCapsule_GetPointer(capsule, nullptr));
  // The module holds the capsule, and NumPy is never unloaded, so the table outlives it.
  Py_DECREF(capsule);
  if (api == nullptr) return false;
  unsigned abi = reinterpret_cast<unsigned (*)()>(api[kSlotAbiVersion])();
  if (abi != kAbiNumpy1 && abi != kAbiNumpy2) {
    PyErr_Format(PyExc_ImportError, kNumpyAbiFormat, abi);
    return false;
  }
  auto descr_from_type = reinterpret_cast<DescrFromTypeFn>(api[kSlotDescrFromType]);
  PyObject* f32 = descr_from_type(kTypeFloat32);
  if (f32 == nullptr) return false;
  PyObject* f64 = descr_from_type(kTypeFloat64);
  if (f64 == nullptr) {
    Py_DECREF(f32);
    return false;
  }
  std::vector<PyTypeObject*> scalars;
  for (int type_num : kNumberTypes) {
    PyObject* descr = descr_from_type(type_num);
    PyObject* type = descr == nullptr ? nullptr : PyObject_GetAttrString(descr, "type");
    Py_XDECREF(descr);
    if (type == nullptr || !PyType_Check(type)) {
      Py_XDECREF(type);
      Py_DECREF(f32);
      Py_DECREF(f64);
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, kInternalError);
      return false;
    }
    // Kept for the life of the process, like the descriptors.
    scalars.push_back(reinterpret_cast<PyTypeObject*>(type));
  }
  g_table = new Table{static_cast<PyTypeObject*>(api[kSlotArrayType]),
                      reinterpret_cast<NewFn>(api[kSlotNew]),
                      reinterpret_cast<EquivTypesFn>(api[kSlotEquivTypes]),
                      reinterpret_cast<SetBaseObjectFn>(api[kSlotSetBaseObject]),
                      f32,
                      f64,
                      std::move(scalars)};
  return true;
}

bool is_array(PyObject* obj) { return PyObject_TypeCheck(obj, g_table->array_type) != 0; }

bool is_exact_array(PyObject* obj) { return Py_TYPE(obj) == g_table->array_type; }

bool has_float32_dtype(PyObject* array) {
  return g_table->equiv_types(as_array(array)->descr, g_table->float32_descr) != 0;
}

bool has_float64_dtype(PyObject* array) {
  return g_table->equiv_types(as_array(array)->descr, g_table->float64_descr) != 0;
}

bool is_number_scalar(PyObject* obj) {
  for (PyTypeObject* type : g_table->number_scalar_types) {
    if (Py_TYPE(obj) == type) return true;
  }
  return false;
}

bool has_text_dtype(PyObject* array) {
  // The dtype's `kind` is a C getter of NumPy's descriptor type: no code of the caller runs.
  PyObject* kind = PyObject_GetAttrString(as_array(array)->descr, "kind");
  if (kind == nullptr) {
    PyErr_Clear();
    return false;
  }
  const bool text = PyUnicode_Check(kind) && PyUnicode_CompareWithASCIIString(kind, "U") == 0;
  Py_DECREF(kind);
  return text;
}

namespace {

PyObject* adopt_float32(float* data, int nd, const npy_intp* dims, void (*free_data)(float*)) {
  // The capsule carries the buffer and its release function; it becomes the array's base, so
  // the buffer lives exactly as long as the array and its views.
  void** entry = new (std::nothrow) void*[2];
  if (entry == nullptr) {
    free_data(data);
    return PyErr_NoMemory();
  }
  entry[0] = data;
  entry[1] = reinterpret_cast<void*>(free_data);
  PyObject* capsule = PyCapsule_New(entry, kCapsuleName, free_capsule);
  if (capsule == nullptr) {
    free_data(data);
    delete[] entry;
    return nullptr;
  }
  PyObject* array = g_table->array_new(g_table->array_type, nd, dims, kTypeFloat32, nullptr, data,
                                       0, kFlagsCArrayWritable, nullptr);
  if (array == nullptr) {
    Py_DECREF(capsule);
    return nullptr;
  }
  // Steals the capsule, also on failure, and then the array's deallocation releases it.
  if (g_table->set_base_object(array, capsule) < 0) {
    Py_DECREF(array);
    return nullptr;
  }
  return array;
}

}  // namespace

PyObject* adopt_float32_matrix(float* data, size_t rows, size_t cols, void (*free_data)(float*)) {
  const npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
  return adopt_float32(data, 2, dims, free_data);
}

PyObject* adopt_float32_stack(float* data, size_t count, size_t rows, size_t cols,
                              void (*free_data)(float*)) {
  const npy_intp dims[3] = {static_cast<npy_intp>(count), static_cast<npy_intp>(rows),
                            static_cast<npy_intp>(cols)};
  return adopt_float32(data, 3, dims, free_data);
}

}  // namespace fenro::python::numpy
