#pragma once

#include <pybind11/pybind11.h>

namespace tarnwick::python {

// Defines the class TarnwickManager on module m.
void bind_manager(pybind11::module_& m);

}  // namespace tarnwick::python
