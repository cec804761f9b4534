// NumPy's C API, bound by hand from the table that NumPy's multiarray module exports.
//
// No NumPy header is used, so nothing of NumPy is needed at build time and one binary serves
// NumPy 1.x and 2.x. The table is bound on the first call that needs it, never at import: the
// extension can be imported without importing NumPy.
#ifndef FENRO_PYTHON_NUMPY_API_H_
#define FENRO_PYTHON_NUMPY_API_H_

#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace fenro::python::numpy {

using npy_intp = intptr_t;

// The leading fields of NumPy's array object, unchanged since NumPy 1.7 and in 2.x. Only these
// fields are read; the dtype object is never looked into.
struct ArrayObject {
  PyObject_HEAD
  char* data;
  int nd;
  npy_intp* dimensions;
  npy_intp* strides;
  PyObject* base;
  PyObject* descr;
  int flags;
};

// Binds the table on first use: imports NumPy's multiarray module, reads its API capsule and
// checks the ABI version. Returns false with a Python exception set (ImportError for an
// unsupported NumPy, or whatever the import raised).
bool ensure_loaded();

// The calls below require ensure_loaded() to have succeeded.

// isinstance(obj, numpy.ndarray); runs no Python code.
bool is_array(PyObject* obj);
// type(obj) is numpy.ndarray exactly (no subclass that could run Python code on slicing).
bool is_exact_array(PyObject* obj);
// The array's dtype is equivalent to native-byte-order float32 (or float64).
bool has_float32_dtype(PyObject* array);
bool has_float64_dtype(PyObject* array);
// type(obj) is exactly one of NumPy's bool, integer or float scalar types.
bool is_number_scalar(PyObject* obj);
// The array holds unicode text (dtype kind "U"); runs no code of the caller.
bool has_text_dtype(PyObject* array);
inline ArrayObject* as_array(PyObject* obj) { return reinterpret_cast<ArrayObject*>(obj); }

// A new, writable, C-contiguous rows x cols float32 array over `data`, which the array then
// owns: `data` is released with `free_data` when the array (and every view of it) is gone.
// On failure `data` has already been released and a Python exception is set.
PyObject* adopt_float32_matrix(float* data, size_t rows, size_t cols, void (*free_data)(float*));
// The same for a count x rows x cols array, C-contiguous.
PyObject* adopt_float32_stack(float* data, size_t count, size_t rows, size_t cols,
                              void (*free_data)(float*));

}  // namespace fenro::python::numpy

#endif  // FENRO_PYTHON_NUMPY_API_H_
