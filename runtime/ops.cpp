// ops.cpp: global lookups, imports, interpolation and the small operations module code uses.
#include "ops.hpp"

#include "compat.hpp"
#include "interned.hpp"

#include <string>
#include <unordered_map>

namespace qm {

py::handle intern(const char* name) {
    // Keyed by the literal's address: the same literal always finds its entry at once.
    static std::unordered_map<const char*, PyObject*> names;
    auto it = names.find(name);
    if (it != names.end()) return it->second;
    PyObject* s = PyUnicode_InternFromString(name);
    if (!s) throw py::error_already_set();
    names.emplace(name, s);
    return s;
}

namespace {

Frame& running_frame() {
    Frame* f = current_frame();
    if (!f) throw std::logic_error("no native function is running");
    return *f;
}

[[noreturn]] void throw_pending() { throw py::error_already_set(); }

}  // namespace

py::object global(const char* name, const std::source_location& loc) {
    reached(loc);
    Frame& frame = running_frame();
    py::handle key = intern(name);
    if (PyObject* value = PyDict_GetItemWithError(frame.globals, key.ptr()))
        return py::reinterpret_borrow<py::object>(value);
    if (PyErr_Occurred()) throw_pending();

    PyObject* builtins = PyDict_GetItemWithError(frame.globals, intern("__builtins__").ptr());
    if (!builtins && PyErr_Occurred()) throw_pending();
    if (builtins) {
        PyObject* value = PyModule_Check(builtins)
                              ? PyObject_GetAttr(builtins, key.ptr())
                              : PyObject_GetItem(builtins, key.ptr());
        if (value) return py::reinterpret_steal<py::object>(value);
        if (!PyErr_ExceptionMatches(PyExc_AttributeError) &&
            !PyErr_ExceptionMatches(PyExc_KeyError))
            throw_pending();
        PyErr_Clear();
    }
    set_name_error(key.ptr());
    throw_pending();
}

void set_name_error(PyObject* name) noexcept {
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    if (!compat::name_error_has_name) return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (value && PyObject_SetAttrString(value, "name", name) < 0) PyErr_Clear();
    PyErr_Restore(type, value, tb);
}

void set_global(const char* name, py::handle value, const std::source_location& loc) {
    reached(loc);
    if (PyDict_SetItem(running_frame().globals, intern(name).ptr(), value.ptr()) < 0)
        throw_pending();
}

py::object import(const char* name, const std::source_location& loc) {
    reached(loc);
    Frame& frame = running_frame();
    // `import a` binds the top-level package; every name imported here is top-level.
    PyObject* module = PyImport_ImportModuleLevelObject(intern(name).ptr(), frame.globals,
                                                        frame.globals, nullptr, 0);
    if (!module) throw_pending();
    auto result = py::reinterpret_steal<py::object>(module);
    set_global(name, result, loc);
    return result;
}

py::object import_from(const char* module_name, const char* name,
                       const std::source_location& loc) {
    reached(loc);
    Frame& frame = running_frame();
    py::tuple fromlist = py::make_tuple(intern(name));
    PyObject* module = PyImport_ImportModuleLevelObject(intern(module_name).ptr(), frame.globals,
                                                        frame.globals, fromlist.ptr(), 0);
    if (!module) throw_pending();
    auto owner = py::reinterpret_steal<py::object>(module);
    PyObject* value = PyObject_GetAttr(owner.ptr(), intern(name).ptr());
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_pending();
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module_name);
        throw_pending();
    }
    auto result = py::reinterpret_steal<py::object>(value);
    set_global(name, result, loc);
    return result;
}

py::str fstr(std::initializer_list<Piece> pieces, const std::source_location& loc) {
    reached(loc);
    auto parts = py::reinterpret_steal<py::tuple>(PyTuple_New(pieces.size()));
    if (!parts) throw_pending();
    Py_ssize_t i = 0;
    for (const Piece& p : pieces) {
        PyObject* item;
        if (p.literal) {
            item = intern(p.literal).inc_ref().ptr();
        } else if (PyUnicode_CheckExact(p.value.ptr())) {
            item = p.value.inc_ref().ptr();  // format(s, "") is s itself
        } else if (!(item = PyObject_Format(p.value.ptr(), intern("").ptr()))) {
            throw_pending();
        }
        PyTuple_SET_ITEM(parts.ptr(), i++, item);
    }
    PyObject* joined = PyUnicode_Join(intern("").ptr(), parts.ptr());
    if (!joined) throw_pending();
    return py::reinterpret_steal<py::str>(joined);
}

bool truth(py::handle value, const std::source_location& loc) {
    reached(loc);
    const int r = PyObject_IsTrue(value.ptr());
    if (r < 0) throw_pending();
    return r != 0;
}

bool contains(py::handle container, py::handle item, const std::source_location& loc) {
    reached(loc);
    const int r = PySequence_Contains(container.ptr(), item.ptr());
    if (r < 0) throw_pending();
    return r != 0;
}

namespace {
bool compare(py::handle a, py::handle b, int op) {
    const int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
    if (r < 0) throw_pending();
    return r != 0;
}
}  // namespace

bool lt(py::handle a, py::handle b, const std::source_location& loc) {
    reached(loc);
    return compare(a, b, Py_LT);
}
bool le(py::handle a, py::handle b, const std::source_location& loc) {
    reached(loc);
    return compare(a, b, Py_LE);
}

bool eq(py::handle a, py::handle b, const std::source_location& loc) {
    reached(loc);
    // Unlike PyObject_RichCompareBool, `==` consults __eq__ even for the same object.
    PyObject* r = PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ);
    if (!r) throw_pending();
    return truth(py::reinterpret_steal<py::object>(r), loc);
}

py::object add(py::handle a, py::handle b, const std::source_location& loc) {
    reached(loc);
    PyObject* r = PyNumber_Add(a.ptr(), b.ptr());
    if (!r) throw_pending();
    return py::reinterpret_steal<py::object>(r);
}

double to_float(py::handle value, const std::source_location& loc) {
    reached(loc);
    PyObject* f = PyNumber_Float(value.ptr());
    if (!f) throw_pending();
    const double d = PyFloat_AS_DOUBLE(f);
    Py_DECREF(f);
    return d;
}

namespace {
/// `raise value`: an exception class is called with no arguments, an instance is raised as
/// it is, anything else is a TypeError.
[[noreturn]] void raise_object(PyObject* value) {
    if (PyExceptionClass_Check(value)) {
        PyObject* made = PyObject_CallObject(value, nullptr);
        if (!made) throw_pending();
        auto instance = py::reinterpret_steal<py::object>(made);
        if (!PyExceptionInstance_Check(made)) {
            PyErr_Format(PyExc_TypeError,
                         "calling %R should have returned an instance of BaseException, not %s",
                         value, Py_TYPE(made)->tp_name);
            throw_pending();
        }
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(made)), made);
        throw_pending();
    }
    if (!PyExceptionInstance_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
        throw_pending();
    }
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(value)), value);
    throw_pending();
}
}  // namespace

void raise(PyObject* type, py::handle message, const std::source_location& loc) {
    reached(loc);
    // `raise type(message)`: the message is the one argument, whatever it is.
    PyObject* made = PyObject_CallFunctionObjArgs(type, message.ptr(), nullptr);
    if (!made) throw_pending();
    auto exception = py::reinterpret_steal<py::object>(made);
    raise_object(made);
}

void raise(py::handle exception, const std::source_location& loc) {
    reached(loc);
    raise_object(exception.ptr());
}

bool matches(const py::error_already_set& e, py::handle type) {
    return PyErr_GivenExceptionMatches(e.type().ptr(), type.ptr()) != 0;
}

}  // namespace qm
