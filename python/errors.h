// The one place where failures become Python exceptions, and the fixed texts of the errors
// the binding raises itself.
//
// Every text below is a contract: callers (user code, tests, the Flower strategy's logs) match
// on them, so none may be reworded. They are the binding's own; a FenroError's message comes
// from the library (src/fenro/error/error.cc), the method-text failures from
// src/fenro/pipeline/method.h, the JSON failures from the JSON readers, and each is raised as
// ValueError with nothing added.
//
//   exception     text                                                raised when
//   TypeError     "argument '<name>': <reason>"                       an argument fails to convert,
//                                                                     <reason> from this table or
//                                                                     from Python's own TypeError
//   (reason)      "Can't extract `str` to `Vec`"                      a str where a list is
//                                                                     expected
//   (reason)      "'<type>' object cannot be converted to '<kind>'"   <kind>: "Sequence" (not a
//                                                                     sequence), "PyArray<T, D>"
//                                                                     (an update that is no array),
//                                                                     "PyString", "PyBool"
//   (reason)      "dimensionality mismatch:\n from=<nd>, to=2"        an update array not 2-D
//   (reason)      "type mismatch:\n from=<dtype>, to=float32"         an update array of another
//                                                                     dtype
//   (reason)      "<rule> needs an integer <min> <= <name> < 2**64<extra>, got '<type>'"
//                                                                     an integer parameter given
//                                                                     a bool, float or other type
//   ValueError    "<name> = <value> is out of range: <rule> needs an integer <min> <= <name>
//                 < 2**64<extra>"                                     an integer parameter out of
//                                                                     its range (negative, too
//                                                                     large, below its minimum)
//   RuntimeError  "Already borrowed"                                  an exclusive borrow refused
//   RuntimeError  "Already mutably borrowed"                          a shared borrow refused
//   RuntimeError  "unexpected internal error"                         a C++ exception of no
//                                                                     standard type (a bug)
//   ImportError   "fenro._core can only be initialised once per process"
//   ImportError   "fenro._robust can only be initialised once per process"
//   ImportError   "fenro._core supports NumPy 1.x and 2.x; found NumPy C ABI version 0x<hex>"
//
// Conventions of the converters that use them: each returns true on success, and false with a
// Python exception set on failure.
#ifndef FENRO_PYTHON_ERRORS_H_
#define FENRO_PYTHON_ERRORS_H_

#include <Python.h>

#include <cstdint>
#include <exception>
#include <new>
#include <string>
#include <string_view>

#include "fenro/error/result.h"
#include "fenro/simd/cpu.h"

namespace fenro::python {

inline constexpr const char* kStrToList = "Can't extract `str` to `Vec`";
inline constexpr const char* kKindSequence = "Sequence";
inline constexpr const char* kKindArray = "PyArray<T, D>";
inline constexpr const char* kKindString = "PyString";
inline constexpr const char* kKindBool = "PyBool";
inline constexpr const char* kAlreadyBorrowed = "Already borrowed";
inline constexpr const char* kAlreadyMutablyBorrowed = "Already mutably borrowed";
inline constexpr const char* kInternalError = "unexpected internal error";
inline constexpr const char* kSecondInitialisation =
    "fenro._core can only be initialised once per process";
inline constexpr const char* kRobustSecondInitialisation =
    "fenro._robust can only be initialised once per process";
inline constexpr const char* kNumpyAbiFormat =  // PyErr_Format, with the ABI version
    "fenro._core supports NumPy 1.x and 2.x; found NumPy C ABI version 0x%x";

// "'<type of obj>' object cannot be converted to '<kind>'".
std::string cannot_convert(PyObject* obj, const char* kind);
// "dimensionality mismatch:\n from=<nd>, to=2".
std::string dimensionality_mismatch(int nd);
// "type mismatch:\n from=<str(dtype)>, to=float32".
std::string type_mismatch(PyObject* dtype);
// "<rule> needs an integer <min> <= <name> < 2**64<extra>": the range of an integer parameter.
std::string integer_requirement(const char* rule, const char* name, uint64_t min,
                                const char* extra);
// "<requirement>, got '<type of obj>'".
std::string not_an_integer(PyObject* obj, std::string_view requirement);
// "<name> = <str(value)> is out of range: <requirement>".
std::string integer_out_of_range(PyObject* value, const char* name, std::string_view requirement);

// Raises TypeError "<fn>() missing 1 required keyword-only argument: '<name>'", Python's own
// text, for a keyword-only parameter without a default that was not given (PyArg_Parse*
// cannot express one). Returns nullptr.
PyObject* missing_keyword(const char* fn, const char* name);

// Raises ValueError with the error's rendered message, nothing added. Returns nullptr.
PyObject* raise_fenro_error(const FenroError& error);
// Raises ValueError with a plain message (method-text and JSON failures). Returns nullptr.
PyObject* raise_value_error(std::string_view message);
// Raises TypeError "argument '<name>': <reason>". Returns false.
bool raise_argument_error(const char* name, std::string_view reason);
// Turns a pending TypeError into "argument '<name>': <its message>"; leaves any other pending
// exception as it is. Returns false.
bool prefix_type_error(const char* name);

// Runs `body` (returning a new reference or nullptr with an exception set) and turns any C++
// exception into a Python one: std::bad_alloc into MemoryError, simd::TargetError (FENRO_SIMD
// names a target that cannot run here, found by a kernel called outside a round) into ValueError
// with its message, anything else into RuntimeError. Nothing escapes. Every entry point of an
// extension goes through it.
template <class F>
PyObject* guarded(F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const simd::TargetError& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
    return nullptr;
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
    return nullptr;
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, kInternalError);
    return nullptr;
  }
}

}  // namespace fenro::python

#endif  // FENRO_PYTHON_ERRORS_H_
