// compat.hpp: the one place where CPython version differences are spelled out.
#pragma once

#include <Python.h>

namespace qm::compat {

#if PY_VERSION_HEX < 0x03090000
inline constexpr unsigned long TPFLAGS_HAVE_VECTORCALL = _Py_TPFLAGS_HAVE_VECTORCALL;
inline PyObject* vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                            PyObject* kwnames) {
    return _PyObject_Vectorcall(callable, args, nargsf, kwnames);
}
/// The interpreter that runs this thread; 3.8 has no public getter.
inline PyInterpreterState* interpreter() { return PyThreadState_Get()->interp; }
#else
inline constexpr unsigned long TPFLAGS_HAVE_VECTORCALL = Py_TPFLAGS_HAVE_VECTORCALL;
inline PyObject* vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                            PyObject* kwnames) {
    return PyObject_Vectorcall(callable, args, nargsf, kwnames);
}
inline PyInterpreterState* interpreter() { return PyInterpreterState_Get(); }
#endif

/// The thread state of this thread, or nullptr (no check that it holds the GIL).
inline PyThreadState* thread_state_unchecked() {
#if PY_VERSION_HEX < 0x030d0000
    return _PyThreadState_UncheckedGet();
#else
    return PyThreadState_GetUnchecked();
#endif
}

/// The Python frame that this thread state is running now, as an opaque key, or nullptr.
/// A greenlet switch swaps it along with the C stack, and it stays the same while a native
/// function called from that frame runs (calls out restore it on return).
inline const void* running_python_frame(PyThreadState* tstate) {
#if PY_VERSION_HEX < 0x030b0000
    return tstate->frame;
#elif PY_VERSION_HEX < 0x030d0000
    return tstate->cframe->current_frame;
#else
    return tstate->current_frame;
#endif
}

/// Counts a native function's activation as the interpreter counts a Python frame's, so that
/// sys.setrecursionlimit bounds both alike: up to 3.11 Python frames count in the recursion
/// depth that C code shares; from 3.12 they have their own counter (C recursion has a fixed
/// limit of its own, and the C stack is watched by the caller). Nonzero, with RecursionError
/// set, when the limit is reached.
#if PY_VERSION_HEX >= 0x030c0000
int python_recursion_exceeded(PyThreadState* tstate);
#endif
inline int enter_recursion() {
#if PY_VERSION_HEX < 0x030c0000
    return Py_EnterRecursiveCall("");
#else
    PyThreadState* tstate = thread_state_unchecked();
    if (tstate->py_recursion_remaining-- <= 0 && python_recursion_exceeded(tstate)) {
        ++tstate->py_recursion_remaining;
        return -1;
    }
    return 0;
#endif
}
inline void leave_recursion() {
#if PY_VERSION_HEX < 0x030c0000
    Py_LeaveRecursiveCall();
#else
    ++thread_state_unchecked()->py_recursion_remaining;
#endif
}

/// NameError carries the missing name as `.name` (the interpreter's "Did you mean" hint reads
/// it) since 3.10.
inline constexpr bool name_error_has_name = PY_VERSION_HEX >= 0x030a0000;

/// The error of a `with` statement whose manager's type lacks `missing` (__enter__ or
/// __exit__), as this interpreter words it.
inline void context_manager_error(PyObject* manager, const char* missing) {
#if PY_VERSION_HEX < 0x030b0000
    (void)manager;
    PyErr_SetString(PyExc_AttributeError, missing);
#elif PY_VERSION_HEX < 0x030d0000
    (void)missing;
    PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol",
                 Py_TYPE(manager)->tp_name);
#else
    PyErr_Format(PyExc_TypeError,
                 "'%.200s' object does not support the context manager protocol%s",
                 Py_TYPE(manager)->tp_name,
                 missing[2] == 'e' && missing[3] == 'x' ? " (missed __exit__ method)" : "");
#endif
}

/// Makes a str's characters readable with PyUnicode_DATA (a no-op since 3.12).
inline int unicode_ready(PyObject* s) {
#if PY_VERSION_HEX < 0x030c0000
    return PyUnicode_READY(s);
#else
    (void)s;
    return 0;
#endif
}

/// The message of UnboundLocalError for `name`, as this interpreter words it.
inline const char* unbound_local_message() {
#if PY_VERSION_HEX < 0x030b0000
    return "local variable '%s' referenced before assignment";
#else
    return "cannot access local variable '%s' where it is not associated with a value";
#endif
}

/// Major.minor of the headers this module was compiled against, e.g. "3.8".
inline constexpr const char* compiled_version() {
#define QM_STR2(x) #x
#define QM_STR(x) QM_STR2(x)
    return QM_STR(PY_MAJOR_VERSION) "." QM_STR(PY_MINOR_VERSION);
#undef QM_STR
#undef QM_STR2
}

}  // namespace qm::compat
