// module.hpp: the GIL-state binding native code needs in a sub-interpreter up to 3.11.
#pragma once

#include <Python.h>

#include "compat.hpp"

namespace qm {

/// Up to 3.11, a thread's GIL-state binding (what PyGILState_Ensure takes as this thread's
/// state) stays with the thread state made first, that of the main interpreter. Called while
/// a sub-interpreter runs, PyGILState_Ensure then waits for the GIL this very thread holds;
/// pybind11 calls it to destroy every caught error. While native code of a module that lives
/// in a sub-interpreter runs, this binds the thread's GIL state to the running thread state,
/// and puts the previous binding back afterwards.
class GilStateBinding {
public:
    GilStateBinding() noexcept {
        if (compat::gil_state_follows_first_thread_state && in_subinterpreter) bind();
    }
    ~GilStateBinding() {
        if (key_) PyThread_tss_set(key_, saved_);
    }
    GilStateBinding(const GilStateBinding&) = delete;
    GilStateBinding& operator=(const GilStateBinding&) = delete;

    static bool in_subinterpreter;  // the module was loaded into a sub-interpreter

private:
    void bind() noexcept;
    Py_tss_t* key_ = nullptr;
    void* saved_ = nullptr;
};

}  // namespace qm
