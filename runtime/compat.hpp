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
