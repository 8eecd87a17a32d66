#pragma once
// The one place where library errors become Python exceptions. Call with
// the interpreter lock held.

#include <pybind11/pybind11.h>

#include <utility>

#include "format/error.h"

namespace tarnwick::python {

// Every TarnwickError reaches Python as RuntimeError with its display text.
[[noreturn]] inline void raise_error(const TarnwickError& error) {
  PyErr_SetString(PyExc_RuntimeError, error.display().c_str());
  throw pybind11::error_already_set();
}

template <class T>
T unwrap(Result<T> result) {
  if (!result) raise_error(result.error());
  if constexpr (!std::is_void_v<T>) return std::move(*result);
}

}  // namespace tarnwick::python
