// traceback.cpp: the frame stack and synthetic traceback entries for native functions.
#include "frame.hpp"

#include <frameobject.h>

namespace qm {

namespace {
// initial-exec: one load from the thread pointer, where the default model calls into the
// dynamic linker on every access.
__attribute__((tls_model("initial-exec"))) thread_local Frame* innermost = nullptr;
}

Frame* current_frame() noexcept { return innermost; }

Frame::Frame(PyObject* globals_, PyObject* traceback_name_, const char* file_, int line_) noexcept
    : globals(globals_), traceback_name(traceback_name_), file(file_), line(line_),
      back(innermost) {
    innermost = this;
}

Frame::~Frame() { innermost = back; }

void Frame::add_traceback() const noexcept {
    // Save and clear the pending exception: nothing below may run with an error set.
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);

    PyCodeObject* code = nullptr;
    PyFrameObject* frame = nullptr;
    const char* funcname = PyUnicode_AsUTF8(traceback_name);
    if (funcname) code = PyCode_NewEmpty(file, funcname, line);
    if (code) frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);

    if (!frame) {
        // Building the entry failed: keep the original error, chained to nothing new.
        PyErr_Clear();
        PyErr_Restore(type, value, tb);
        Py_XDECREF(code);
        return;
    }
    PyErr_Restore(type, value, tb);
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
    Py_DECREF(code);
}

}  // namespace qm
