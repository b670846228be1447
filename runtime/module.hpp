// module.hpp: the module lifecycle: multi-phase initialisation, one interpreter, one body run.
#pragma once

#include <Python.h>

namespace qm {

/// Up to 3.11, a thread's GIL-state binding (what PyGILState_Ensure takes as this thread's
/// state) stays with the thread state made first, that of the main interpreter. Called while
/// a sub-interpreter runs, PyGILState_Ensure then waits for the GIL this very thread holds;
/// pybind11 calls it to destroy every caught error. While native code of a module that lives
/// in a sub-interpreter runs, this binds the thread's GIL state to the running thread state,
/// and puts the previous binding back afterwards.
class GilStateBinding {
public:
#if PY_VERSION_HEX < 0x030c0000
    GilStateBinding() noexcept {
        if (in_subinterpreter) bind();
    }
    ~GilStateBinding() {
        if (key_) PyThread_tss_set(key_, saved_);
    }
    static bool in_subinterpreter;  // the module was loaded into a sub-interpreter

private:
    void bind() noexcept;
    Py_tss_t* key_ = nullptr;
    void* saved_ = nullptr;
#else
    GilStateBinding() noexcept {}
    ~GilStateBinding() {}
#endif
public:
    GilStateBinding(const GilStateBinding&) = delete;
    GilStateBinding& operator=(const GilStateBinding&) = delete;
};

/// The module body: module-level code, run once in the module's namespace.
using ModuleBody = void (*)();

/// Everything PyInit_<name> needs: the bare module name, its body and its source file.
PyObject* module_init(const char* name, ModuleBody body, const char* file) noexcept;

}  // namespace qm

/// Defines the module's single exported symbol, PyInit_<name>.
#define QM_MODULE(name, body)                                                     \
    extern "C" __attribute__((visibility("default"))) PyObject* PyInit_##name() { \
        return ::qm::module_init(#name, body, __FILE__);                          \
    }
