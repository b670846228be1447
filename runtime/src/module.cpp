// module.cpp: multi-phase initialisation with the version warning, the single-interpreter
// rule and the refusal to run a body twice.
#include "module.hpp"

#include "boundary.hpp"
#include "caches.hpp"
#include "compat.hpp"
#include "frame.hpp"
#include "function.hpp"

#include <qm/define.hpp>

#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <exception>
#include <link.h>

namespace qm {

namespace {

// Each extension module links its own copy of this file, so these are per module.
const char* module_name = nullptr;
ModuleBody module_body = nullptr;
const char* module_file = nullptr;
bool body_started = false;
int64_t owner_interpreter = -1;

/// Loading into a second interpreter of the process is refused: module code keeps
/// process-wide state (interned names, the function type) tied to the first one.
int check_single_interpreter() {
    const int64_t current = PyInterpreterState_GetID(compat::interpreter());
    if (current == -1) return -1;
    if (owner_interpreter == -1) {
        owner_interpreter = current;
        GilStateBinding::in_subinterpreter = compat::interpreter() != PyInterpreterState_Main();
        return 0;
    }
    if (owner_interpreter != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return -1;
    }
    return 0;
}

/// The interpreter's GIL-state key: the thread-specific slot inside _PyRuntime that holds
/// each thread's first thread state. No API reaches it, so it is found once, within the
/// bounds of the _PyRuntime symbol, by what CPython 3.8 to 3.11 keep there: the main
/// interpreter (the GIL state's interpreter) right before an initialised Py_tss_t through
/// which PyGILState_GetThisThreadState()'s value is read. nullptr (and no binding) unless
/// exactly one place fits.
Py_tss_t* find_gilstate_key() noexcept {
    void* runtime = dlsym(RTLD_DEFAULT, "_PyRuntime");
    Dl_info info;
    void* entry = nullptr;
    if (!runtime || !dladdr1(runtime, &info, &entry, RTLD_DL_SYMENT) || !entry) return nullptr;
    const auto size = static_cast<const ElfW(Sym)*>(entry)->st_size;
    void* first_state = PyGILState_GetThisThreadState();
    void* main_interpreter = PyInterpreterState_Main();
    if (!first_state || !main_interpreter) return nullptr;
    const char* base = static_cast<const char*>(runtime);
    Py_tss_t* found = nullptr;
    for (std::size_t at = sizeof(void*); at + sizeof(Py_tss_t) <= size; at += sizeof(void*)) {
        void* before;
        int initialised;
        std::memcpy(&before, base + at - sizeof(void*), sizeof before);
        std::memcpy(&initialised, base + at, sizeof initialised);  // Py_tss_t's first member
        if (before != main_interpreter || initialised != 1) continue;
        auto* key = reinterpret_cast<Py_tss_t*>(static_cast<char*>(runtime) + at);
        if (PyThread_tss_get(key) != first_state) continue;
        if (found) return nullptr;
        found = key;
    }
    return found;
}

/// Warns when the interpreter's major.minor is not the one the module was compiled for.
int check_binary_version() {
    char compiled[8];
    std::snprintf(compiled, sizeof compiled, "%s", compat::compiled_version());
    // The running version is the leading "major.minor" of Py_GetVersion(), at most 4 chars.
    const char* running = Py_GetVersion();
    char rt[5] = {0};
    bool found_dot = false;
    for (int i = 0; i < 4; ++i) {
        const char c = running[i];
        if (c == '.') {
            if (found_dot) break;
            found_dot = true;
        } else if (c < '0' || c > '9') {
            break;
        }
        rt[i] = c;
    }
    if (std::strcmp(rt, compiled) == 0) return 0;
    char message[200];
    std::snprintf(message, sizeof message,
                  "compiletime version %s of module '%.100s' does not match runtime version %s",
                  compiled, module_name, rt);
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1);
}

}  // namespace

bool GilStateBinding::in_subinterpreter = false;

void GilStateBinding::bind() noexcept {
    static Py_tss_t* const key = find_gilstate_key();
    if (!key) return;
    void* running = PyThreadState_Get();
    void* bound = PyThread_tss_get(key);
    if (bound == running || PyThread_tss_set(key, running) != 0) return;
    key_ = key;
    saved_ = bound;
}

namespace {

PyObject* module_create(PyObject* spec, PyModuleDef*) noexcept {
    if (check_single_interpreter() < 0) return nullptr;
    if (body_started) {
        PyErr_Format(PyExc_ImportError,
                     "Module '%s' has already been imported. Re-initialisation is not "
                     "supported.",
                     module_name);
        return nullptr;
    }
    PyObject* name = PyObject_GetAttrString(spec, "name");
    if (!name) return nullptr;
    PyObject* module = PyModule_NewObject(name);
    Py_DECREF(name);
    return module;
}

int module_exec(PyObject* module) noexcept {
    if (body_started) {
        PyErr_Format(PyExc_ImportError,
                     "Module '%s' has already been imported. Re-initialisation is not "
                     "supported.",
                     module_name);
        return -1;
    }
    if (check_binary_version() < 0) return -1;

    PyObject* globals = PyModule_GetDict(module);  // borrowed
    if (!globals) return -1;

    // The module enters itself under its bare name, unless that name is taken.
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    bool entered = false;
    PyObject* existing = PyDict_GetItemString(modules, module_name);
    if (!existing) {
        if (PyDict_SetItemString(modules, module_name, module) < 0) return -1;
        entered = true;
    }
    // Frames of native functions need builtins; with them in the namespace, 3.8 does not
    // build a new builtins dict for every traceback entry.
    if (!PyDict_GetItemString(globals, "__builtins__") &&
        PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins()) < 0)
        return -1;

    PyObject* builtins = builtins_of(globals);
    if (!builtins) return -1;
    detail::enter_namespace(globals, PyDict_CheckExact(builtins) ? builtins : nullptr);
    body_started = true;
    bool ok;
    {
        GilStateBinding gil_state;
        PyObject* name = PyUnicode_FromString("<module>");
        if (!name) {
            Py_DECREF(builtins);
            return -1;
        }
        Frame frame(globals, builtins, name, module_file, 1);
        ok = at_c_boundary(module_body);
        if (!ok) frame.add_traceback();
        Py_DECREF(name);
    }
    Py_DECREF(builtins);
    if (ok) return 0;

    // A failed body leaves nothing that marks the module imported, so that importing it
    // again (say, once a missing dependency is installed) runs the body afresh.
    body_started = false;
    if (entered && PyDict_GetItemString(modules, module_name) == module) {
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        if (PyDict_DelItemString(modules, module_name) < 0) PyErr_Clear();
        PyErr_Restore(type, value, tb);
    }
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    nullptr,  // m_name, set by module_init
    nullptr,  // m_doc: the modules have no docstring
    0,        // m_size: no per-module state; nothing here holds Python objects
    nullptr,  // m_methods
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyObject* module_init(const char* name, ModuleBody body, const char* file) noexcept {
    module_name = name;
    module_body = body;
    module_file = file;
    module_def.m_name = name;
    return PyModuleDef_Init(&module_def);
}

}  // namespace qm
