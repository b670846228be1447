// classes.cpp: class creation through the builtin `type`, and instantiation of the classes
// whose __init__ is a native function without the generic slot's bound method and tuple.
#include "classes.hpp"

#include "arguments.hpp"
#include "compat.hpp"
#include "function.hpp"
#include "interned.hpp"
#include "ops.hpp"

namespace qm {

namespace {

[[gnu::cold]] int init_returned(PyObject* result) {
    PyErr_Format(PyExc_TypeError, "__init__() should return None, not '%.200s'",
                 Py_TYPE(result)->tp_name);
    Py_DECREF(result);
    return -1;
}

/// Calls `init` (a native function) with the instance before the arguments; together they
/// number fewer than max_params.
PyObject* call_init(PyObject* init, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) {
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    PyObject* stack[max_params];
    stack[0] = self;
    for (Py_ssize_t i = 0; i < nargs + nkw; ++i) stack[i + 1] = args[i];
    return compat::vectorcall(init, stack, static_cast<size_t>(nargs + 1), kwnames);
}

/// tp_init of such a class: what slot_tp_init does, with the instance put before the
/// arguments instead of into a bound method.
int cls_init(PyObject* self, PyObject* args, PyObject* kwds) noexcept {
    PyObject* init = _PyType_Lookup(Py_TYPE(self), "__init__"_id.ptr());
    if (!init) {
        PyErr_SetObject(PyExc_AttributeError, "__init__"_id.ptr());
        return -1;
    }
    Py_INCREF(init);  // the call may rebind the class's __init__
    PyObject* result;
    if (is_function(init) && (!kwds || PyDict_GET_SIZE(kwds) == 0) &&
        PyTuple_GET_SIZE(args) < max_params) {
        result = call_init(init, self, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), nullptr);
    } else {
        descrgetfunc get = Py_TYPE(init)->tp_descr_get;
        PyObject* bound = get ? get(init, self, reinterpret_cast<PyObject*>(Py_TYPE(self)))
                              : (Py_INCREF(init), init);
        result = bound ? PyObject_Call(bound, args, kwds) : nullptr;
        Py_XDECREF(bound);
    }
    Py_DECREF(init);
    if (!result) return -1;
    if (result != Py_None) return init_returned(result);
    Py_DECREF(result);
    return 0;
}

/// type.__call__ for such a class (used from 3.9 on): while the class still allocates with
/// object's __new__ and initialises with its native __init__, the instance is made and
/// initialised straight from the caller's arguments; otherwise the builtin type call runs.
PyObject* cls_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                         PyObject* kwnames) noexcept {
    auto* type = reinterpret_cast<PyTypeObject*>(callable);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    PyObject* init = nullptr;
    if (type->tp_new == PyBaseObject_Type.tp_new && type->tp_init == cls_init &&
        !(type->tp_flags & Py_TPFLAGS_IS_ABSTRACT) && nargs + nkw < max_params)
        init = _PyType_Lookup(type, "__init__"_id.ptr());
    if (!init || !is_function(init)) {
        // The builtin path, with a tuple and a dict.
        PyObject* tuple = PyTuple_New(nargs);
        if (!tuple) return nullptr;
        for (Py_ssize_t i = 0; i < nargs; ++i) {
            Py_INCREF(args[i]);
            PyTuple_SET_ITEM(tuple, i, args[i]);
        }
        PyObject* dict = nullptr;
        if (nkw > 0) {
            dict = PyDict_New();
            for (Py_ssize_t k = 0; dict && k < nkw; ++k)
                if (PyDict_SetItem(dict, PyTuple_GET_ITEM(kwnames, k), args[nargs + k]) < 0)
                    Py_CLEAR(dict);
            if (!dict) {
                Py_DECREF(tuple);
                return nullptr;
            }
        }
        PyObject* result = PyType_Type.tp_call(callable, tuple, dict);
        Py_DECREF(tuple);
        Py_XDECREF(dict);
        return result;
    }

    Py_INCREF(init);  // the call may rebind the class's __init__
    PyObject* self = type->tp_alloc(type, 0);
    PyObject* result = self ? call_init(init, self, args, nargs, kwnames) : nullptr;
    Py_DECREF(init);
    if (result == Py_None) {
        Py_DECREF(result);
        return self;
    }
    if (result) init_returned(result);
    Py_XDECREF(self);
    return nullptr;
}

}  // namespace

py::object make_class(const char* name,
                      std::initializer_list<std::pair<const char*, py::object>> members,
                      const std::source_location& loc) {
    reached(loc);
    py::dict ns;
    ns[intern("__module__")] = global("__name__", loc);
    ns[intern("__qualname__")] = py::str(name);
    for (const auto& [member, value] : members) ns[intern(member)] = value;
    py::object type = py::reinterpret_borrow<py::object>(
        reinterpret_cast<PyObject*>(&PyType_Type));
    py::object cls = type(py::str(name), py::tuple(), ns);
    // A native __init__ is called directly. Assigning __init__ or __new__ on the class later
    // puts the builtin slots back (and cls_vectorcall checks them), and subclasses get the
    // builtin slots of their own: both behave as the interpreter's classes do.
    PyObject* init = PyDict_GetItemWithError(ns.ptr(), "__init__"_id.ptr());
    if (init && is_function(init)) {
        auto* t = reinterpret_cast<PyTypeObject*>(cls.ptr());
        t->tp_init = cls_init;
        t->tp_vectorcall = cls_vectorcall;
    }
    set_global(name, cls, loc);
    return cls;
}

py::object staticmethod(py::object function) {
    PyObject* wrapped = PyStaticMethod_New(function.ptr());
    if (!wrapped) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(wrapped);
}

}  // namespace qm
