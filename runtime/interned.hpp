// interned.hpp: interned names, made once per process.
#pragma once

#include "pybind.hpp"

namespace qm {

/// The interned str for a name given as a string literal. The strings are kept for the life
/// of the process on purpose: they must never be released after the interpreter is gone.
py::handle intern(const char* name);

}  // namespace qm
