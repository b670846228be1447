// classes.cpp: class creation as a class statement creates a class, and instantiation of the
// classes whose __init__ is a native function without the generic slot's bound method, tuple
// and dict.
#include "arguments.hpp"
#include "compat.hpp"
#include "frame.hpp"
#include "function.hpp"
#include "unwind.hpp"

#include <qm/define.hpp>
#include <qm/language.hpp>

namespace qm {

namespace {

[[gnu::cold]] int init_returned(PyObject* result) {
    PyErr_Format(PyExc_TypeError, "__init__() should return None, not '%.200s'",
                 Py_TYPE(result)->tp_name);
    Py_DECREF(result);
    return -1;
}

/// Calls `init` (a native function, held by the caller) with the instance before the
/// arguments, which number fewer than max_params.
PyObject* call_init(PyObject* init, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) {
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    PyObject* stack[max_params + 1];
    stack[0] = self;
    for (Py_ssize_t i = 0; i < nargs + nkw; ++i) stack[i + 1] = args[i];
    return parking_on_exit([&] {
        return compat::vectorcall(init, stack, static_cast<size_t>(nargs + 1), kwnames);
    });
}

/// tp_init of such a class: what slot_tp_init does, with the instance put before the
/// arguments instead of into a bound method. 0, or -1 with an error set.
int cls_init(PyObject* self, PyObject* args, PyObject* kwds) noexcept {
    PyObject* found = compat::type_lookup(Py_TYPE(self), "__init__"_id.str());
    if (!found) {
        PyErr_SetObject(PyExc_AttributeError, "__init__"_id.str());
        return -1;
    }
    PyObject* init = compat::new_ref(found);  // the call may rebind the class's __init__
    PyObject* result;
    if (is_function(init) && (!kwds || PyDict_GET_SIZE(kwds) == 0) &&
        PyTuple_GET_SIZE(args) < max_params) {
        result = call_init(init, self, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), nullptr);
    } else {
        result = parking_on_exit([&]() -> PyObject* {
            descrgetfunc get = Py_TYPE(init)->tp_descr_get;
            PyObject* bound = get ? get(init, self, reinterpret_cast<PyObject*>(Py_TYPE(self)))
                                  : compat::new_ref(init);
            PyObject* r = bound ? PyObject_Call(bound, args, kwds) : nullptr;
            Py_XDECREF(bound);
            return r;
        });
    }
    Py_DECREF(init);
    if (!result) return -1;
    if (result != Py_None) return init_returned(result);
    Py_DECREF(result);
    return 0;
}

/// type.__call__ for such a class (used from 3.9 on), as type_call runs it for a class that
/// allocates with object's __new__: the instance is made, then initialised through the
/// class's tp_init as it is then; with this module's tp_init, straight from the caller's
/// arguments. Any other class state takes the builtin type call.
PyObject* cls_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                         PyObject* kwnames) noexcept {
    auto* type = reinterpret_cast<PyTypeObject*>(callable);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (type->tp_new != PyBaseObject_Type.tp_new || type->tp_init != cls_init ||
        (type->tp_flags & Py_TPFLAGS_IS_ABSTRACT) || nargs + nkw >= max_params) {
        // The builtin path, with a tuple and a dict.
        return parking_on_exit([&]() -> PyObject* {
            PyObject* tuple = PyTuple_New(nargs);
            if (!tuple) return nullptr;
            for (Py_ssize_t i = 0; i < nargs; ++i)
                PyTuple_SET_ITEM(tuple, i, compat::new_ref(args[i]));
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
        });
    }
    // object.__new__: the type's allocation (which may run a collection, and so Python code).
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    // type_call then reads tp_init afresh.
    PyObject* result;
    PyObject* found = type->tp_init == cls_init ? compat::type_lookup(type, "__init__"_id.str())
                                                : nullptr;
    if (found && is_function(found)) {
        PyObject* init = compat::new_ref(found);  // the call may rebind the class's __init__
        result = call_init(init, self, args, nargs, kwnames);
        Py_DECREF(init);
    } else {
        result = parking_on_exit([&]() -> PyObject* {
            PyObject* tuple = PyTuple_New(nargs);
            if (!tuple) return nullptr;
            for (Py_ssize_t i = 0; i < nargs; ++i)
                PyTuple_SET_ITEM(tuple, i, compat::new_ref(args[i]));
            PyObject* dict = nkw > 0 ? PyDict_New() : nullptr;
            for (Py_ssize_t k = 0; dict && k < nkw; ++k)
                if (PyDict_SetItem(dict, PyTuple_GET_ITEM(kwnames, k), args[nargs + k]) < 0)
                    Py_CLEAR(dict);
            int r = (nkw > 0 && !dict) ? -1 : Py_TYPE(self)->tp_init(self, tuple, dict);
            Py_DECREF(tuple);
            Py_XDECREF(dict);
            return r < 0 ? nullptr : compat::new_ref(Py_None);
        });
    }
    if (result == Py_None) {
        Py_DECREF(result);
        return self;
    }
    if (result) init_returned(result);
    Py_DECREF(self);
    return nullptr;
}

}  // namespace

void make_class(const char* name, std::initializer_list<std::pair<const char*, Object>> members,
                const std::source_location& loc) {
    // The class body: __module__ from the module's __name__, __qualname__, the members in
    // order; then the metaclass of a class without bases, `type` itself.
    Object module_name = global("__name__"_id, loc);
    detail::reached(loc);
    py::dict ns;
    ns[make_name("__module__")] = module_name;
    ns[make_name("__qualname__")] = py::str(name);
    for (const auto& [member, value] : members) ns[make_name(member)] = value;
    py::object type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
    py::object cls = type(py::str(name), py::tuple(), ns);
    if constexpr (shortcuts) {
        // A native __init__ is called directly. Assigning __init__ or __new__ on the class
        // later puts the builtin slots back (and cls_vectorcall checks them at each call),
        // and subclasses get the builtin slots of their own: both behave as the
        // interpreter's classes do.
        PyObject* init = PyDict_GetItemWithError(ns.ptr(), "__init__"_id.str());
        if (init && is_function(init)) {
            auto* t = reinterpret_cast<PyTypeObject*>(cls.ptr());
            t->tp_init = cls_init;
            t->tp_vectorcall = cls_vectorcall;
        }
    }
    set_global(make_name(name), cls, loc);
}

Object staticmethod(py::handle function, const std::source_location& loc) {
    return global("staticmethod"_id, loc)({function}, loc);
}

}  // namespace qm
