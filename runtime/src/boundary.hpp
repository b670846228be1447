// boundary.hpp: C++ code run where CPython calls into native code.
#pragma once

#include <qm/object.hpp>
#include "unwind.hpp"

#include <exception>
#include <utility>

namespace qm {

/// Runs `body` where CPython called in, so that nothing unwinds into the interpreter: a Python
/// error stays set, any other C++ exception becomes SystemError, and the interpreter ending
/// this thread at exit parks it (nothing further out may run then). True when `body`
/// returned normally.
template <typename Body>
bool at_c_boundary(Body&& body) noexcept {
    try {
        std::forward<Body>(body)();
        return true;
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        park_if_ending();
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
    return false;
}

}  // namespace qm
