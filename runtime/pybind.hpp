// pybind.hpp: pybind11's object API, configured for these modules.
#pragma once

// Keeps pybind11 from setting up its internals (and a builtins entry) when a caught
// error_already_set is destroyed: the modules use the object API only.
#ifndef PYBIND11_SIMPLE_GIL_MANAGEMENT
#define PYBIND11_SIMPLE_GIL_MANAGEMENT
#endif
#include <pybind11/pybind11.h>

namespace qm {
namespace py = pybind11;
using namespace pybind11::literals;
}  // namespace qm
