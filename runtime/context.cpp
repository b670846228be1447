// context.cpp: entering and leaving a `with` block as the interpreter does.
#include "context.hpp"

#include "compat.hpp"
#include "unwind.hpp"

namespace qm {

namespace {

[[noreturn]] void throw_pending() { throw py::error_already_set(); }

/// The special method `name` of the manager's type, bound to the manager; nullptr with
/// nothing set when the type has none.
PyObject* special_method(PyObject* manager, const char* name) {
    PyObject* key = PyUnicode_InternFromString(name);
    if (!key) throw_pending();
    PyObject* descr = _PyType_Lookup(Py_TYPE(manager), key);  // borrowed
    Py_DECREF(key);
    if (!descr) return nullptr;
    if (descrgetfunc get = Py_TYPE(descr)->tp_descr_get) {
        PyObject* bound = get(descr, manager, reinterpret_cast<PyObject*>(Py_TYPE(manager)));
        if (!bound) throw_pending();
        return bound;
    }
    Py_INCREF(descr);
    return descr;
}

[[noreturn, gnu::cold]] void not_a_manager(PyObject* manager, const char* missing) {
    compat::context_manager_error(manager, missing);
    throw_pending();
}

}  // namespace

WithBlock::WithBlock(py::handle manager) {
    PyObject* enter = special_method(manager.ptr(), "__enter__");
    if (!enter) not_a_manager(manager.ptr(), "__enter__");
    auto enter_ = py::reinterpret_steal<py::object>(enter);
    PyObject* exit = special_method(manager.ptr(), "__exit__");
    if (!exit) not_a_manager(manager.ptr(), "__exit__");
    exit_ = py::reinterpret_steal<py::object>(exit);
    PyObject* value = parking_on_exit([&] { return PyObject_CallObject(enter, nullptr); });
    if (!value) throw_pending();
    value_ = py::reinterpret_steal<py::object>(value);
}

void WithBlock::exit() {
    PyObject* r = parking_on_exit([&] {
        return PyObject_CallFunctionObjArgs(exit_.ptr(), Py_None, Py_None, Py_None, nullptr);
    });
    if (!r) throw_pending();
    Py_DECREF(r);
}

void WithBlock::exit_with(py::error_already_set& e) {
    e.restore();
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && PyException_SetTraceback(value, tb) < 0) PyErr_Clear();

    // While __exit__ runs the exception is the one being handled: sys.exc_info() shows it
    // and an exception raised meanwhile gets it as its context.
    PyObject *saved_type, *saved_value, *saved_tb;
    PyErr_GetExcInfo(&saved_type, &saved_value, &saved_tb);
    Py_XINCREF(type);
    Py_XINCREF(value);
    Py_XINCREF(tb);
    PyErr_SetExcInfo(type, value, tb);
    PyObject* r = parking_on_exit([&] {
        return PyObject_CallFunctionObjArgs(exit_.ptr(), type, value, tb ? tb : Py_None, nullptr);
    });
    PyErr_SetExcInfo(saved_type, saved_value, saved_tb);

    int swallowed = -1;
    if (r) {
        swallowed = PyObject_IsTrue(r);
        Py_DECREF(r);
    }
    if (swallowed != 0) {
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(tb);
        if (swallowed < 0) throw_pending();  // __exit__ raised: its error leaves instead
        return;
    }
    PyErr_Restore(type, value, tb);
    throw_pending();
}

}  // namespace qm
