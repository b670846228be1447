// module.hpp: the module lifecycle: multi-phase initialisation, one interpreter, one body run.
#pragma once

#include <Python.h>

namespace qm {

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
