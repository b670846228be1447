// attributes.cpp: attribute access and calls with the shortcuts of the interpreter's
// specialised instructions, each falling back to the generic C-API path whenever the
// shortcut's precondition does not hold.
#include "attributes.hpp"

#include "compat.hpp"
#include "unwind.hpp"

namespace qm {

namespace {

[[noreturn]] void throw_pending() { throw py::error_already_set(); }

/// What `type` holds under `name` (looked up along its MRO), remembered in `name` while the
/// type keeps its version tag: any change to the type or a base gives it a new one.
Name::Class classify(PyTypeObject* type, const Name& name) {
    const bool tagged = (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) != 0;
    if (tagged && type == name.attr_type && type->tp_version_tag == name.attr_version)
        return name.attr_class;
    PyObject* found = _PyType_Lookup(type, name.ptr());  // borrowed; tags the type
    const Name::Class kind =
        !found ? Name::Class::nothing
        : (Py_TYPE(found)->tp_flags & Py_TPFLAGS_METHOD_DESCRIPTOR) ? Name::Class::method
                                                                     : Name::Class::unknown;
    if (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) {
        name.attr_type = type;
        name.attr_version = type->tp_version_tag;
        name.attr_class = kind;
    }
    return kind;
}

}  // namespace

py::object attr(py::handle obj, const Name& name, const std::source_location& loc) {
    reached(loc);
    PyObject* o = obj.ptr();
    PyTypeObject* type = Py_TYPE(o);
    if (type->tp_getattro == PyObject_GenericGetAttr) {
        // Instances whose attributes live inline in the object are read best by the generic
        // lookup itself, which does not turn them into a dict.
        if (!compat::managed_dict(type) && classify(type, name) == Name::Class::nothing) {
            // Nothing of that name in the type, so no descriptor: only the instance dict
            // can hold it. A miss takes the generic path, which raises the AttributeError.
            PyObject** dict = _PyObject_GetDictPtr(o);
            if (dict && *dict) {
                if (PyObject* value = PyDict_GetItemWithError(*dict, name.ptr()))
                    return py::reinterpret_borrow<py::object>(value);
                if (PyErr_Occurred()) throw_pending();
            }
        }
        PyObject* value = PyObject_GenericGetAttr(o, name.ptr());
        if (!value) throw_pending();
        return py::reinterpret_steal<py::object>(value);
    }
    PyObject* value = PyObject_GetAttr(o, name.ptr());
    if (!value) throw_pending();
    return py::reinterpret_steal<py::object>(value);
}

void set_attr(py::handle obj, const Name& name, py::handle value, const std::source_location& loc) {
    reached(loc);
    PyObject* o = obj.ptr();
    PyTypeObject* type = Py_TYPE(o);
    int r;
    if (type->tp_setattro == PyObject_GenericSetAttr) {
        if (!compat::managed_dict(type) && classify(type, name) == Name::Class::nothing) {
            // No data descriptor can intercept the write: store into the instance dict.
            PyObject** dict = _PyObject_GetDictPtr(o);
            if (dict && *dict) {
                if (PyDict_SetItem(*dict, name.ptr(), value.ptr()) < 0) throw_pending();
                return;
            }
        }
        r = PyObject_GenericSetAttr(o, name.ptr(), value.ptr());
    } else {
        r = PyObject_SetAttr(o, name.ptr(), value.ptr());
    }
    if (r < 0) throw_pending();
}

namespace detail {

py::object vectorcall(PyObject* callable, PyObject* method, PyObject** args, std::size_t nargs,
                      PyObject* const* kwnames, std::size_t nkw, const std::source_location& loc) {
    reached(loc);
    py::object names;
    if (nkw > 0) {
        names = py::reinterpret_steal<py::object>(PyTuple_New(static_cast<Py_ssize_t>(nkw)));
        if (!names) throw_pending();
        for (std::size_t i = 0; i < nkw; ++i) {
            Py_INCREF(kwnames[i]);
            PyTuple_SET_ITEM(names.ptr(), static_cast<Py_ssize_t>(i), kwnames[i]);
        }
    }
    PyObject* kwtuple = names.ptr();
    const std::size_t nargsf = nargs | PY_VECTORCALL_ARGUMENTS_OFFSET;
    PyObject* result = parking_on_exit([&]() noexcept(false) {
        return method ? compat::vectorcall_method(method, args, nargsf, kwtuple)
                      : compat::vectorcall(callable, args, nargsf, kwtuple);
    });
    if (!result) throw_pending();
    return py::reinterpret_steal<py::object>(result);
}

}  // namespace detail

}  // namespace qm
