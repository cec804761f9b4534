// The class plumbing every type of the binding shares: an instance that owns one library value
// and a borrow flag, its creation and release, its PyType_Spec, and the type's registration in
// its module; and the registration of module-level functions.
#ifndef FENRO_PYTHON_HEAP_TYPE_H_
#define FENRO_PYTHON_HEAP_TYPE_H_

#include <Python.h>

#include <memory>
#include <utility>

namespace fenro::python {

// The object layout of a class whose instances own a T.
template <class T>
struct Instance {
  PyObject_HEAD
  int borrow;  // the flag of Borrow (borrow.h)
  T* value;    // owned, freed with the instance

  static Instance* of(PyObject* self) { return reinterpret_cast<Instance*>(self); }
};

// A new instance of `type` owning `value`, with no borrow taken; nullptr with an exception set
// when the allocation fails.
template <class T>
PyObject* new_instance(PyTypeObject* type, T value) {
  auto owned = std::make_unique<T>(std::move(value));
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* obj = alloc(type, 0);
  if (obj == nullptr) return nullptr;
  Instance<T>::of(obj)->borrow = 0;
  Instance<T>::of(obj)->value = owned.release();
  return obj;
}

// The Py_tp_dealloc slot: frees the value and the instance, and the instance's reference to its
// type (instances of heap types own one).
template <class T>
void dealloc_instance(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete Instance<T>::of(self)->value;
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

// The PyType_Spec of a class whose instances own a T. `qualified_name` is "builtins.<name>", so
// that the class's __module__ reads "builtins"; the flags give no BASETYPE (not subclassable)
// and the layout has no dict or weak-reference slots.
template <class T>
PyType_Spec instance_spec(const char* qualified_name, PyType_Slot* slots) {
  return {qualified_name, static_cast<int>(sizeof(Instance<T>)), 0, Py_TPFLAGS_DEFAULT, slots};
}

// Creates the heap type from `type_spec`, adds it to the module under its bare name (the part
// of type_spec->name after the last '.') and appends that name to the module's __all__.
// Returns the type, a reference that lives for the process, or nullptr with an exception set.
PyTypeObject* add_type(PyObject* module, PyType_Spec* type_spec);

// Adds the module-level functions of `methods` (up to its null entry) to the module and
// appends their names to its __all__, in table order, except the private ones (a name with a
// leading underscore). False with an exception set on failure.
bool add_functions(PyObject* module, PyMethodDef* methods);

// A METH_VARARGS | METH_KEYWORDS function, for the PyCFunction slot of a method table.
inline PyCFunction as_method(PyCFunctionWithKeywords f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace fenro::python

#endif  // FENRO_PYTHON_HEAP_TYPE_H_
