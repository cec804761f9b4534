// NumPy arrays in and out: the `updates` argument as views the round can read, and a result
// matrix handed to NumPy without a copy.
#ifndef FENRO_PYTHON_UPDATE_LIST_H_
#define FENRO_PYTHON_UPDATE_LIST_H_

#include <Python.h>

#include <span>
#include <vector>

#include "fenro/update/update.h"
#include "fenro/update/update_stack.h"

namespace fenro::python {

// The `updates` argument: a sequence (not str) of two-dimensional float32 NumPy arrays, each
// checked in order for array type, two dimensions, float32 dtype (errors.h for the texts).
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

  // True when `obj` needs no NumPy to be converted: an empty exact list or tuple, or a str.
  static bool needs_no_numpy(PyObject* obj);

  // Converts the argument named `name`. Requires NumPy to be bound unless needs_no_numpy(obj).
  // Sequences other than exact lists, tuples and arrays may run Python code between two
  // items, so their arrays are copied on entry whatever `copy_on_entry` says. May throw
  // std::bad_alloc.
  bool convert(PyObject* obj, const char* name, bool copy_on_entry);
  // The same, and one three-dimensional float32 array (any strides, any ndarray subclass) is
  // taken whole as its first-axis slices, without a Python object per slice: read in place
  // when every slice's rows are aligned, contiguous float32 runs a whole number of elements
  // apart, else copied into one dense block (at once with `copy_on_entry`, else in views()).
  // Anything else converts as with convert(), so its errors are the same.
  bool convert_list_or_stack(PyObject* obj, const char* name, bool copy_on_entry);
  // One two-dimensional float32 array as the only item, checked as an item of a list is.
  bool convert_one(PyObject* obj, const char* name, bool copy_on_entry) {
    return add(obj, name, copy_on_entry);
  }
  // The views, valid while this object lives. Call once, after all conversion. May throw
  // std::bad_alloc. Returns false with TypeError set only if an array referenced in place no
  // longer is a two-dimensional float32 array (which the caller's code cannot bring about on
  // the in-place path; checked so that memory safety never depends on that reasoning).
  bool views(const char* name, std::span<const UpdateView>* out);

 private:
  struct Item {
    PyObject* array = nullptr;  // strong reference, or null once copied
    Matrix copy;
  };
  bool add(PyObject* item, const char* name, bool copy_on_entry);
  void copy_stack();
  bool stack_views(const char* name);

  std::vector<Item> items_;
  // A three-dimensional argument: a strong reference until copied, and its copy, count * rows
  // rows of cols elements.
  bool is_stack_ = false;
  PyObject* stack_ = nullptr;
  Matrix stack_copy_;
  size_t stack_count_ = 0;
  std::vector<UpdateView> views_;
};

// Hands the matrix's buffer to a new, writable, C-contiguous float32 NumPy array without
// copying it; the array owns the buffer from then on.
PyObject* from_matrix(Matrix matrix);
// The same for a stack of updates: a new count x rows x cols array.
PyObject* from_stack(UpdateStack stack);

}  // namespace fenro::python

#endif  // FENRO_PYTHON_UPDATE_LIST_H_
