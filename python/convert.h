// Argument conversion, borrow flags and the one place where library failures become Python
// exceptions. Every entry point of the extension goes through `guarded`, so no C++ exception
// ever reaches the interpreter.
//
// Conventions of the converters: each takes the parameter name for its messages, returns true
// on success, and on failure returns false with a Python exception set. A TypeError raised
// while converting is re-raised as "argument '<name>': <reason>"; any other exception (for
// example OverflowError or UnicodeEncodeError) passes through unchanged.
#ifndef FENRO_PYTHON_CONVERT_H_
#define FENRO_PYTHON_CONVERT_H_

#include <Python.h>

#include <exception>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "fenro/error/error.h"
#include "fenro/update/update.h"

namespace fenro::python {

// ---- Errors -------------------------------------------------------------------------------

// Raises ValueError with the error's rendered message, nothing added. Returns nullptr.
PyObject* raise_fenro_error(const FenroError& error);
// Raises ValueError with a plain message (method-text and JSON failures). Returns nullptr.
PyObject* raise_value_error(std::string_view message);
// Raises TypeError "argument '<name>': <reason>". Returns false.
bool raise_argument_error(const char* name, std::string_view reason);

// Runs `body` (returning a new reference or nullptr with an exception set) and turns any C++
// exception into a Python one: std::bad_alloc into MemoryError, anything else into
// RuntimeError. Nothing escapes.
template <class F>
PyObject* guarded(F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
    return nullptr;
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unexpected internal error");
    return nullptr;
  }
}

// ---- Borrow flags ---------------------------------------------------------------------------

// An instance's borrow state: 0 free, n > 0 shared borrows, -1 one exclusive borrow. It guards
// against Python code run during argument conversion calling back into the same instance.
class Borrow {
 public:
  enum Kind { kShared, kExclusive };
  // Takes the borrow, or sets RuntimeError ("Already borrowed" when an exclusive borrow is
  // refused, "Already mutably borrowed" when a shared one is) and leaves ok() false.
  Borrow(int& flag, Kind kind);
  ~Borrow();
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;
  bool ok() const { return held_; }

 private:
  int& flag_;
  Kind kind_;
  bool held_ = false;
};

// ---- Scalars ------------------------------------------------------------------------------

// A str (or subclass) encoded as UTF-8; lone surrogates raise UnicodeEncodeError.
bool to_text(PyObject* obj, const char* name, std::string* out);
// Python's float conversion (float, int, __float__, __index__), then rounded to the nearest
// float32; values beyond the float32 range become infinities.
bool to_f32(PyObject* obj, const char* name, float* out);
// None (or a missing argument, passed as nullptr) gives no value.
bool to_optional_f32(PyObject* obj, const char* name, std::optional<float>* out);
// Exactly True or False; ints, NumPy booleans and other truthy objects are refused.
bool to_bool(PyObject* obj, const char* name, bool* out);

// ---- Lists ----------------------------------------------------------------------------------

// Any object supporting the sequence protocol whose items are all str, in sequence order.
// None or nullptr gives no value. A str itself is refused.
bool to_text_list(PyObject* obj, const char* name, std::optional<std::vector<std::string>>* out);
// Any sequence whose items convert as float32 (a one-dimensional NumPy array works).
bool to_f32_list(PyObject* obj, const char* name, std::optional<std::vector<float>>* out);

// True when converting these optional client ids and weights cannot run any of the caller's
// Python code: each is None/absent, an exact list or tuple of exact str (ids) or exact
// float/int (weights), or (weights) an exact one-dimensional float32/float64 NumPy array.
// Inspects types only; runs no code. NumPy must be bound when `weights` may be an array.
bool conversion_runs_no_python(PyObject* client_ids, PyObject* weights);

// The `updates` argument: a sequence (not str) of two-dimensional float32 NumPy arrays.
//
// Arrays are read where they lie when that is safe and possible, else copied:
//  - with `copy_on_entry`, each array is copied as soon as it has passed its checks, so Python
//    code that runs later (a custom sequence, a __float__ of a weight) cannot change what the
//    round sees;
//  - without it (the caller has established that no Python code runs until the round is
//    over), the arrays are only referenced, and their data pointers, shapes and strides are
//    read in views(), after every argument has been converted. An array whose rows are not
//    contiguous, aligned float32 runs is copied there.
// Either way the round sees the same values. Strong references to every array are held until
// this object is destroyed, so the memory stays valid for the whole round.
class UpdateList {
 public:
  UpdateList() = default;
  ~UpdateList();
  UpdateList(const UpdateList&) = delete;
  UpdateList& operator=(const UpdateList&) = delete;

  // Converts the argument named `name`. Requires NumPy to be bound unless `obj` is an empty
  // list or tuple or a str. May throw std::bad_alloc.
  bool convert(PyObject* obj, const char* name, bool copy_on_entry);
  // The views, valid while this object lives. Call once, after all conversion. May throw
  // std::bad_alloc. Returns false with TypeError set only if an array referenced in place no
  // longer is a two-dimensional float32 array (which the caller's code cannot bring about on
  // the in-place path; checked so that memory safety never depends on that reasoning).
  bool views(const char* name, std::span<const UpdateView>* out);

  size_t size() const { return items_.size(); }

 private:
  struct Item {
    PyObject* array = nullptr;  // strong reference, or null once copied
    Matrix copy;
  };
  bool add(PyObject* item, const char* name, bool copy_on_entry);

  std::vector<Item> items_;
  std::vector<UpdateView> views_;
};

// True when `obj` needs no NumPy to be converted as `updates`: an empty exact list or tuple, or
// a str.
bool updates_need_no_numpy(PyObject* obj);

// ---- Results --------------------------------------------------------------------------------

// Widened exactly to a Python float.
PyObject* from_f32(float value);
// A str from UTF-8 bytes; bytes that are not valid UTF-8 are kept as surrogate escapes, so
// this never fails on content.
PyObject* from_text(std::string_view text);
// Hands the matrix's buffer to a new float32 NumPy array without copying it.
PyObject* from_matrix(Matrix matrix);

// ---- Module wiring --------------------------------------------------------------------------

// Creates the heap type from `type_spec`, adds it to the module under its bare name and appends
// that name to the module's __all__. Returns the type (a new reference), or nullptr with an
// exception set.
PyTypeObject* add_type(PyObject* module, PyType_Spec* type_spec, const char* name);

}  // namespace fenro::python

#endif  // FENRO_PYTHON_CONVERT_H_
