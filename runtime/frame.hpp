// frame.hpp: the running native function's frame: its globals and the source line reached.
#pragma once

#include <Python.h>

#include <source_location>

namespace qm {

struct FunctionObject;

/// One activation of a native function (or of a module body). Frames form a per-thread stack;
/// global lookups resolve against the innermost frame's globals, and the line last reached is
/// what a traceback entry reports when an exception leaves the function.
struct Frame {
    PyObject* globals;           // borrowed: the module's namespace
    PyObject* traceback_name;    // borrowed: "module.qualname"
    const char* file;            // source file of the function, relative to the project root
    int line;                    // line last reached (starts at the definition)
    Frame* back;

    Frame(PyObject* globals, PyObject* traceback_name, const char* file, int line) noexcept;
    ~Frame();
    Frame(const Frame&) = delete;
    Frame& operator=(const Frame&) = delete;

    /// Adds this frame's entry to the traceback of the pending exception.
    void add_traceback() const noexcept;
};

/// The innermost frame of this thread, or nullptr outside any native function.
Frame* current_frame() noexcept;

/// Records that execution has reached `loc` in the innermost frame.
inline void reached(const std::source_location& loc) noexcept {
    if (Frame* f = current_frame()) f->line = static_cast<int>(loc.line());
}

}  // namespace qm
