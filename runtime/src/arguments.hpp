// arguments.hpp: binding call arguments to a native function's parameters.
#pragma once

#include <Python.h>

namespace qm {

struct FunctionObject;

/// Most parameters a native function may declare.
inline constexpr Py_ssize_t max_params = 16;

/// Binds a vectorcall's arguments to `func`'s parameters, filling `values` (borrowed
/// references, defaults included). Returns -1 with a TypeError set when the call does not fit,
/// worded as the interpreter words it for compiled functions.
int bind_arguments(FunctionObject* func, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** values) noexcept;

}  // namespace qm
