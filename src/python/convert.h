#pragma once
// Conversion of Python arguments with the messages users see: a type error
// names the argument; integers out of range raise OverflowError.

#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>
#include <string>

namespace tarnwick::python {

std::string to_str(pybind11::handle value, const char* name);
std::optional<std::string> to_optional_str(pybind11::handle value, const char* name);
std::uint64_t to_u64(pybind11::handle value, const char* name);
std::optional<std::uint64_t> to_optional_u64(pybind11::handle value, const char* name);
std::uint32_t to_u32(pybind11::handle value, const char* name);
std::int32_t to_i32(pybind11::handle value, const char* name);
double to_f64(pybind11::handle value, const char* name);
bool to_bool(pybind11::handle value, const char* name);

// The Python type name of value, e.g. "int".
std::string type_name(pybind11::handle value);

}  // namespace tarnwick::python
