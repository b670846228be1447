// frame.hpp: the running native function's frame: its globals, its builtins and the source
// line reached.
#pragma once

#include <Python.h>

#include "compat.hpp"

#include <cstdint>
#include <source_location>

namespace qm {

struct Frame;

namespace detail {
/// One running native function on this thread. `key` is the Python frame it was called
/// from; it is kept here, never read back from the Frame, because a Frame of a greenlet
/// that is switched out lies in stack memory that another greenlet is using now.
struct FrameEntry {
    const void* key;
    Frame* frame;
};
/// The thread's running native functions, innermost last, and the thread state they run
/// in: fetched once per call, so that the helpers inside find their frame without asking
/// the interpreter again (a greenlet switch keeps the thread state).
struct FrameStack {
    FrameEntry* entries;
    std::uint32_t size;
    std::uint32_t capacity;
    PyThreadState* tstate;  // valid while size > 0
};
// __thread: constant-initialised, so every access is one load from the thread pointer.
extern __thread FrameStack frames __attribute__((tls_model("initial-exec")));
bool grow_frames() noexcept;
Frame* find_frame(const void* key) noexcept;
void remove_frame(const Frame* frame, const void* key) noexcept;

inline const void* frame_key(PyThreadState* tstate) noexcept {
    return tstate ? compat::running_python_frame(tstate) : nullptr;
}
}  // namespace detail

/// One activation of a native function (or of a module body). The running ones form a
/// per-thread registry; the frame that helpers see is the newest one that was called from
/// the Python frame running now. Greenlets switch that Python frame along with the C stack,
/// so each greenlet finds its own native frames and never one that is switched out. Global
/// lookups resolve against the frame's globals, and the line last reached is what a
/// traceback entry reports when an exception leaves the function.
struct Frame {
    PyObject* globals;           // borrowed: the module's namespace
    PyObject* builtins;          // borrowed: what its global lookups fall back to (a mapping)
    PyObject* traceback_name;    // borrowed: "module.qualname"
    const char* file;            // source file of the function, relative to the project root
    int line;                    // line last reached (starts at the definition)
    bool registered;             // false when the registry could not grow (out of memory)
    const void* key;             // the Python frame this one was called from
    PyThreadState* outer_tstate; // the registry's thread state before this frame

    /// `tstate`: this thread's state, as the caller fetched it.
    Frame(PyObject* globals_, PyObject* builtins_, PyObject* traceback_name_, const char* file_,
          int line_, PyThreadState* tstate) noexcept
        : globals(globals_), builtins(builtins_), traceback_name(traceback_name_), file(file_),
          line(line_),
          registered(false), key(detail::frame_key(tstate)) {
        detail::FrameStack& s = detail::frames;
        if (s.size == s.capacity && !detail::grow_frames()) return;
        s.entries[s.size++] = {key, this};
        outer_tstate = s.tstate;
        s.tstate = tstate;
        registered = true;
    }
    Frame(PyObject* globals_, PyObject* builtins_, PyObject* traceback_name_, const char* file_,
          int line_) noexcept
        : Frame(globals_, builtins_, traceback_name_, file_, line_,
                compat::thread_state_unchecked()) {}
    ~Frame() {
        if (!registered) return;
        detail::FrameStack& s = detail::frames;
        const detail::FrameEntry& top = s.entries[s.size - 1];
        if (top.frame == this && top.key == key) {
            --s.size;
            s.tstate = outer_tstate;
        } else {
            // A switched-out greenlet's frames lie above; they run in the same thread state.
            detail::remove_frame(this, key);
        }
    }
    Frame(const Frame&) = delete;
    Frame& operator=(const Frame&) = delete;

    /// Adds this frame's entry to the traceback of the pending exception.
    void add_traceback() const noexcept;
};

/// The innermost frame of the running greenlet of this thread, or nullptr outside any
/// native function.
inline Frame* current_frame() noexcept {
    const detail::FrameStack& s = detail::frames;
    if (s.size == 0) return nullptr;
    const void* key = detail::frame_key(s.tstate);
    const detail::FrameEntry& top = s.entries[s.size - 1];
    if (top.key == key) return top.frame;
    return detail::find_frame(key);
}

/// Records that execution has reached `loc` in the innermost frame.
inline void reached(const std::source_location& loc) noexcept {
    if (Frame* f = current_frame()) f->line = static_cast<int>(loc.line());
}

/// Records `loc` in the innermost frame and throws the pending Python error. The helpers
/// that run most record their line this way, only when they fail: the line is read only by
/// the traceback entry of an exception leaving the function.
[[noreturn, gnu::cold]] void fail_at(const std::source_location& loc);

}  // namespace qm
