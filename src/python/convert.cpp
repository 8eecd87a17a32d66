#include "python/convert.h"

#include <limits>

namespace py = pybind11;

namespace tarnwick::python {
namespace {

[[noreturn]] void raise_type_error(const char* name, const std::string& message) {
  throw py::type_error("argument '" + std::string(name) + "': " + message);
}

// The int behind value (through __index__), or a TypeError naming the
// argument.
py::object as_index(py::handle value, const char* name) {
  PyObject* index = PyNumber_Index(value.ptr());
  if (index == nullptr) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      raise_type_error(name, "'" + type_name(value) + "' object cannot be interpreted as an integer");
    }
    throw py::error_already_set();
  }
  return py::reinterpret_steal<py::object>(index);
}

// A signed 64-bit value, or the host's OverflowError beyond it.
long long as_i64(py::handle value, const char* name) {
  const py::object index = as_index(value, name);
  const long long v = PyLong_AsLongLong(index.ptr());
  if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
  return v;
}

[[noreturn]] void raise_narrow_overflow() {
  PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
  throw py::error_already_set();
}

}  // namespace

std::string type_name(py::handle value) {
  return py::str(py::type::handle_of(value).attr("__name__"));
}

std::string to_str(py::handle value, const char* name) {
  if (!PyUnicode_Check(value.ptr())) raise_type_error(name, "expected str, not " + type_name(value));
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(value.ptr(), &size);
  if (data == nullptr) throw py::error_already_set();
  return std::string(data, static_cast<std::size_t>(size));
}

std::optional<std::string> to_optional_str(py::handle value, const char* name) {
  if (value.is_none()) return std::nullopt;
  return to_str(value, name);
}

std::uint64_t to_u64(py::handle value, const char* name) {
  const py::object index = as_index(value, name);
  const unsigned long long v = PyLong_AsUnsignedLongLong(index.ptr());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw py::error_already_set();
  return v;
}

std::optional<std::uint64_t> to_optional_u64(py::handle value, const char* name) {
  if (value.is_none()) return std::nullopt;
  return to_u64(value, name);
}

std::uint32_t to_u32(py::handle value, const char* name) {
  const long long v = as_i64(value, name);
  if (v < 0 || v > std::numeric_limits<std::uint32_t>::max()) raise_narrow_overflow();
  return static_cast<std::uint32_t>(v);
}

std::int32_t to_i32(py::handle value, const char* name) {
  const long long v = as_i64(value, name);
  if (v < std::numeric_limits<std::int32_t>::min() || v > std::numeric_limits<std::int32_t>::max()) {
    raise_narrow_overflow();
  }
  return static_cast<std::int32_t>(v);
}

double to_f64(py::handle value, const char* name) {
  const double v = PyFloat_AsDouble(value.ptr());
  if (v == -1.0 && PyErr_Occurred()) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      raise_type_error(name, "must be real number, not " + type_name(value));
    }
    throw py::error_already_set();
  }
  return v;
}

bool to_bool(py::handle value, const char* name) {
  if (!PyBool_Check(value.ptr())) raise_type_error(name, "expected bool, not " + type_name(value));
  return value.ptr() == Py_True;
}

}  // namespace tarnwick::python
