// names.cpp: interned names, module-level names as a function sees them, and imports.
#include "caches.hpp"
#include "compat.hpp"
#include "frame.hpp"
#include "unwind.hpp"

#include <qm/language.hpp>

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>

namespace qm {

namespace {

py::object steal(PyObject* o) { return py::reinterpret_steal<py::object>(o); }
py::object borrow(PyObject* o) { return py::reinterpret_borrow<py::object>(o); }

[[noreturn]] void throw_pending() { throw py::error_already_set(); }

Frame& running_frame() {
    Frame* f = current_frame();
    if (!f) throw std::logic_error("no native function is running");
    return *f;
}

}  // namespace

/* Names ********************************************************************************/

const Name& make_name(const char* text) {
    // Names live as long as the process: they must never be released after the
    // interpreter is gone. A deque keeps them in place as it grows. A literal finds its
    // name by its address at once; the text joins equal literals to one name.
    static std::deque<Name> names;
    static std::unordered_map<const char*, const Name*> by_address;
    static std::unordered_map<std::string, const Name*> by_text;
    if (auto it = by_address.find(text); it != by_address.end()) return *it->second;
    const Name* name;
    if (auto it = by_text.find(text); it != by_text.end()) {
        name = it->second;
    } else {
        PyObject* s = PyUnicode_InternFromString(text);
        if (!s) throw py::error_already_set();
        name = &names.emplace_back(s);
        by_text.emplace(text, name);
    }
    by_address.emplace(text, name);
    return *name;
}

namespace detail {

void reached(const Location& loc) noexcept { qm::reached(loc); }

Namespace module_namespace;

namespace {

/// The one dict watcher the modules of this process share, and its count of changes. The
/// first module registers it and keeps it in the interpreter's dict for extensions, where the
/// others find it: an interpreter has only a few dict watchers to give.
struct SharedWatch {
    int watcher = -1;
    std::uint64_t changes = 0;
};
constexpr const char* shared_watch_key = "quaymark.runtime.dict-watch.1";

SharedWatch* shared_watch() noexcept {
    static SharedWatch own;
    PyObject* store = PyInterpreterState_GetDict(compat::interpreter());
    if (!store) return nullptr;
    PyObject* key = PyUnicode_InternFromString(shared_watch_key);
    if (!key) {
        PyErr_Clear();
        return nullptr;
    }
    py::object held_key = steal(key);
    if (PyObject* capsule = PyDict_GetItemWithError(store, key))
        return static_cast<SharedWatch*>(PyCapsule_GetPointer(capsule, shared_watch_key));
    if (PyErr_Occurred() || (own.watcher = compat::add_dict_watcher(&own.changes)) < 0) {
        PyErr_Clear();
        return nullptr;
    }
    py::object capsule = steal(PyCapsule_New(&own, shared_watch_key, nullptr));
    if (!capsule || PyDict_SetItem(store, key, capsule.ptr()) < 0) {
        PyErr_Clear();
        return nullptr;
    }
    return &own;
}

}  // namespace

void enter_namespace(PyObject* globals, PyObject* builtins) noexcept {
    Namespace& ns = module_namespace;
    Py_INCREF(globals);
    Py_XSETREF(ns.dict, globals);
    Py_XINCREF(builtins);
    Py_XSETREF(ns.builtins, builtins);
    ns.changes = nullptr;
    if constexpr (compat::dict_watchers) {
        SharedWatch* watch = shared_watch();
        if (watch && compat::watch_dict(watch->watcher, globals) &&
            (!builtins || compat::watch_dict(watch->watcher, builtins)))
            ns.changes = &watch->changes;
    }
}

}  // namespace detail

/* Global names *************************************************************************/

void set_name_error(PyObject* name) noexcept {
    PyErr_Format(PyExc_NameError, "name '%.200U' is not defined", name);
    if (!compat::name_error_has_name) return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (value && PyObject_SetAttrString(value, "name", name) < 0) PyErr_Clear();
    PyErr_Restore(type, value, tb);
}

namespace {

/// LOAD_GLOBAL: `globals`, then `builtins`; both exact dicts are read as dicts, anything
/// else as a mapping. A new reference, or an error set.
PyObject* load_global(PyObject* globals, PyObject* builtins, PyObject* key) {
    if (PyDict_CheckExact(globals) && builtins && PyDict_CheckExact(builtins)) {
        py::object held_globals = borrow(globals), held_builtins = borrow(builtins);
        if (PyObject* value = PyDict_GetItemWithError(globals, key)) return compat::new_ref(value);
        if (PyErr_Occurred()) return nullptr;
        if (PyObject* value = PyDict_GetItemWithError(builtins, key)) return compat::new_ref(value);
        if (!PyErr_Occurred()) set_name_error(key);
        return nullptr;
    }
    PyObject* value = parking_on_exit([&] { return PyObject_GetItem(globals, key); });
    if (value || !PyErr_ExceptionMatches(PyExc_KeyError)) return value;
    PyErr_Clear();
    if (!builtins) {
        set_name_error(key);
        return nullptr;
    }
    value = parking_on_exit([&] { return PyObject_GetItem(builtins, key); });
    if (!value && PyErr_ExceptionMatches(PyExc_KeyError)) {
        PyErr_Clear();
        set_name_error(key);
    }
    return value;
}

}  // namespace

Object global(const Name& name, const Location& loc) {
    if constexpr (shortcuts && compat::function_keeps_builtins) {
        // From 3.10, while every function of this module keeps the builtins the module
        // started with, whichever of them runs now reads those: the entry holds for it.
        using Caches = detail::NameCaches;
        const detail::Namespace& ns = detail::module_namespace;
        if (ns.functions_keep_its_builtins && ns.builtins) {
            const Caches::Layout& c = Caches::of(name);
            const std::uint64_t stamp = ns.stamp();
            if (stamp != 0 && stamp == c.global_stamp) return borrow(c.global_value);
        }
    }
    Frame& frame = running_frame();
    if constexpr (shortcuts) {
        // The value found last time, while neither the module's namespace nor its builtins
        // has changed since, for a function that runs with those two.
        using Caches = detail::NameCaches;
        const detail::Namespace& ns = detail::module_namespace;
        if (frame.globals == ns.dict && frame.builtins == ns.builtins && ns.builtins) {
            Caches::Layout& c = Caches::of(name);
            const std::uint64_t stamp = ns.stamp();
            if (stamp != 0 && stamp == c.global_stamp) return borrow(c.global_value);
            // The stamp is taken before the lookup: a change during it (a key's __eq__)
            // leaves the entry stale, and the next use looks again.
            PyObject* value = load_global(frame.globals, frame.builtins, name.str());
            if (!value) fail_at(loc);
            c.global_stamp = stamp;
            c.global_value = value;
            return steal(value);
        }
    }
    PyObject* value = load_global(frame.globals, frame.builtins, name.str());
    if (!value) fail_at(loc);
    return steal(value);
}

void set_global(const Name& name, py::handle value, const Location& loc) {
    reached(loc);
    // STORE_NAME at module level: the namespace is an exact dict.
    if (PyDict_SetItem(running_frame().globals, name.str(), value.ptr()) < 0) throw_pending();
}

/* Imports ******************************************************************************/

namespace {

/// Runs `source`, one import statement, as the module body's own code: compiled under the
/// module's file name and run in its namespace, so that the interpreter does all an import
/// statement does there (the `__import__` of its builtins, the messages of a failed
/// `from ... import`, the events and hooks of the import system). The statement's entry is
/// left out of a traceback: the body's frame adds its own.
void run_module_statement(const std::string& source, const Location& loc) {
    reached(loc);
    Frame& frame = running_frame();
    py::object code = steal(Py_CompileString(source.c_str(), frame.file, Py_file_input));
    if (!code) throw_pending();
    PyObject* result = parking_on_exit(
        [&] { return PyEval_EvalCode(code.ptr(), frame.globals, frame.globals); });
    if (result) {
        Py_DECREF(result);
        return;
    }
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (tb) {
        // The statement's own entry comes first; what it called follows.
        PyObject* next = PyObject_GetAttrString(tb, "tb_next");
        if (!next) PyErr_Clear();
        Py_SETREF(tb, next && next != Py_None ? next : nullptr);
        if (next == Py_None) Py_DECREF(next);
    }
    PyErr_Restore(type, value, tb);
    throw_pending();
}

}  // namespace

void import(const Name& name, const Location& loc) {
    run_module_statement("import " + std::string(PyUnicode_AsUTF8(name.str())), loc);
}

void import_from(const Name& module, const Name& name, const Location& loc) {
    run_module_statement("from " + std::string(PyUnicode_AsUTF8(module.str())) + " import " +
                             PyUnicode_AsUTF8(name.str()),
                         loc);
}

Object import_local(const Name& name, const Location& loc) {
    // IMPORT_NAME in a function: the `__import__` of the function's builtins, with no
    // locals, no fromlist and level 0; the interpreter's own is called directly.
    Frame& frame = running_frame();
    PyObject* builtins = frame.builtins;
    py::object import_func;
    if (builtins && PyDict_Check(builtins)) {
        import_func = borrow(PyDict_GetItemWithError(builtins, "__import__"_id.str()));
        if (!import_func && PyErr_Occurred()) fail_at(loc);
    }
    if (!import_func) {
        PyErr_SetString(PyExc_ImportError, "__import__ not found");
        fail_at(loc);
    }
    PyObject* level = PyLong_FromLong(0);
    if (!level) fail_at(loc);
    py::object held_level = steal(level);
    PyObject* module;
    if (PyCFunction_Check(import_func.ptr()) &&
        PyCFunction_GET_SELF(import_func.ptr()) == PyImport_AddModule("builtins") &&
        std::string(reinterpret_cast<PyCFunctionObject*>(import_func.ptr())->m_ml->ml_name) ==
            "__import__") {
        module = parking_on_exit([&] {
            return PyImport_ImportModuleLevelObject(name.str(), frame.globals, Py_None, Py_None, 0);
        });
    } else {
        PyObject* args[] = {name.str(), frame.globals, Py_None, Py_None, level};
        module = parking_on_exit(
            [&] { return compat::vectorcall(import_func.ptr(), args, 5, nullptr); });
    }
    if (!module) fail_at(loc);
    return steal(module);
}

}  // namespace qm
