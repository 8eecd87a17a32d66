#include <pybind11/pybind11.h>

#include "python/manager.h"

PYBIND11_MODULE(tarnwick, m) {
  m.attr("__version__") = "0.0.9";
  tarnwick::python::bind_manager(m);
}
