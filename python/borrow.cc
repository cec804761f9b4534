#include "borrow.h"

#include <Python.h>

#include "errors.h"

namespace fenro::python {

Borrow::Borrow(int& flag, Kind kind) : flag_(flag), kind_(kind) {
  if (kind == kExclusive) {
    if (flag != 0) {
      PyErr_SetString(PyExc_RuntimeError, kAlreadyBorrowed);
      return;
    }
    flag = -1;
  } else {
    if (flag < 0) {
      PyErr_SetString(PyExc_RuntimeError, kAlreadyMutablyBorrowed);
      return;
    }
    ++flag;
  }
  held_ = true;
}

Borrow::~Borrow() {
  if (!held_) return;
  if (kind_ == kExclusive) {
    flag_ = 0;
  } else {
    --flag_;
  }
}

}  // namespace fenro::python
