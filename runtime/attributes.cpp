// attributes.cpp: attribute access and calls with the shortcuts of the interpreter's
// specialised instructions, each falling back to the generic C-API path whenever the
// shortcut's precondition does not hold.
#include "attributes.hpp"

#include "compat.hpp"
#include "unwind.hpp"

namespace qm {

namespace {

/// What `type` holds under `name` (looked up along its MRO), remembered in `name` while the
/// type keeps its version tag: any change to the type or a base gives it a new one.
Name::Class classify(PyTypeObject* type, const Name& name) {
    unsigned int version = compat::type_version(type);
    if (version != 0 && type == name.attr_type && version == name.attr_version)
        return name.attr_class;
    PyObject* found = _PyType_Lookup(type, name.ptr());  // borrowed; tags the type
    const Name::Class kind =
        !found ? Name::Class::nothing
        : (Py_TYPE(found)->tp_flags & Py_TPFLAGS_METHOD_DESCRIPTOR) ? Name::Class::method
                                                                     : Name::Class::unknown;
    if ((version = compat::type_version(type)) != 0) {
        name.attr_type = type;
        name.attr_version = version;
        name.attr_class = kind;
        name.attr_found = found;
        name.attr_index = -1;
        name.attr_scanned = -1;
    } else {
        name.attr_type = nullptr;
    }
    return kind;
}

#if QM_INLINE_VALUES
/// The slot that holds `o.name` among the object's inline values, as the interpreter's
/// specialised instructions find it: the type keeps its instances' attributes inline and has
/// nothing of that name (classify() said so, for the type's version now), the values are
/// still the object's attributes, and the shared keys place the name within them. A write
/// also needs the object to have no __dict__ yet. nullptr when the generic path must decide.
PyObject** inline_slot(PyObject* o, const Name& name, bool write) {
    namespace iv = compat::inline_values;
    PyTypeObject* type = Py_TYPE(o);
    if (name.attr_type != type || !iv::kept_inline(type)) return nullptr;
    iv::Values* values = iv::of(o);
    if (!values->valid || (write && iv::has_dict(o))) return nullptr;
    int index = name.attr_index;
    if (index < 0) {
        const iv::Keys* keys = iv::shared_keys(type);
        if (keys->dk_nentries == name.attr_scanned) return nullptr;
        if ((index = iv::index_of(keys, name.ptr())) < 0) {
            name.attr_scanned = keys->dk_nentries;
            return nullptr;
        }
        name.attr_index = index;
    }
    if (index >= values->capacity) return nullptr;
    return &values->values[index];
}
#endif

/// The instance dict of `o` (borrowed), made if the object keeps its attributes inline;
/// nullptr for objects without one.
PyObject* instance_dict(PyObject* o) {
    if (Py_TYPE(o)->tp_dictoffset == 0) return nullptr;
    PyObject** dict = _PyObject_GetDictPtr(o);
    return dict ? *dict : nullptr;
}

/// The method descriptor (borrowed) that `o.name(...)` calls unbound, as the interpreter's
/// method lookup finds it: the type holds a method descriptor of that name and the instance
/// dict does not shadow it. nullptr when the generic lookup must decide.
PyObject* unbound_method(PyObject* o, const Name& name) {
    PyTypeObject* type = Py_TYPE(o);
    if (type->tp_getattro != PyObject_GenericGetAttr ||
        classify(type, name) != Name::Class::method)
        return nullptr;
    if (type->tp_dictoffset != 0) {
        PyObject* dict = instance_dict(o);
        if (!dict) return nullptr;
        PyObject* shadow = PyDict_GetItemWithError(dict, name.ptr());
        if (shadow || PyErr_Occurred()) {
            PyErr_Clear();
            return nullptr;
        }
    }
    return name.attr_found;
}

using FastMethod = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t);
using FastMethodWithKeywords = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

/// `descr(*args)` for a method descriptor of a builtin type (args[0] the instance): its C
/// function called directly when the calling convention allows, as the interpreter's
/// CALL_METHOD_DESCRIPTOR_* instructions call it; through its vectorcall otherwise.
PyObject* call_method_descriptor(PyObject* descr, PyObject** args, std::size_t nargs,
                                 PyObject* kwnames) {
    auto* method = reinterpret_cast<PyMethodDescrObject*>(descr);
    PyMethodDef* def = method->d_method;
    // Exactly one of the plain conventions (no class or static method, no defining class).
    const int convention = def->ml_flags & ~METH_COEXIST;
    const Py_ssize_t n = static_cast<Py_ssize_t>(nargs) - 1;
    if (nargs >= 1 &&
        PyObject_TypeCheck(args[0], PyDescr_TYPE(descr))) {
        void* c = reinterpret_cast<void*>(def->ml_meth);
        if (convention == (METH_FASTCALL | METH_KEYWORDS))
            return reinterpret_cast<FastMethodWithKeywords>(c)(args[0], args + 1, n, kwnames);
        if (!kwnames) {
            if (convention == METH_FASTCALL)
                return reinterpret_cast<FastMethod>(c)(args[0], args + 1, n);
            if (convention == METH_O && n == 1) return def->ml_meth(args[0], args[1]);
            if (convention == METH_NOARGS && n == 0) return def->ml_meth(args[0], nullptr);
        }
    }
    return compat::vectorcall(descr, args, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames);
}

}  // namespace

py::object attr(py::handle obj, const Name& name, const std::source_location& loc) {
    PyObject* o = obj.ptr();
    PyTypeObject* type = Py_TYPE(o);
    if (type->tp_getattro == PyObject_GenericGetAttr &&
        classify(type, name) == Name::Class::nothing) {
        // Nothing of that name in the type, so no descriptor: only the instance's own
        // attributes can hold it. A miss takes the generic path, which raises the
        // AttributeError.
#if QM_INLINE_VALUES
        if (PyObject** slot = inline_slot(o, name, false)) {
            if (PyObject* value = *slot) return py::reinterpret_borrow<py::object>(value);
        } else
#endif
        if (PyObject* dict = instance_dict(o)) {
            if (PyObject* value = PyDict_GetItemWithError(dict, name.ptr()))
                return py::reinterpret_borrow<py::object>(value);
            if (PyErr_Occurred()) fail_at(loc);
        }
    }
    PyObject* value = PyObject_GetAttr(o, name.ptr());
    if (!value) fail_at(loc);
    return py::reinterpret_steal<py::object>(value);
}

void set_attr(py::handle obj, const Name& name, py::handle value, const std::source_location& loc) {
    PyObject* o = obj.ptr();
    PyTypeObject* type = Py_TYPE(o);
#if QM_INLINE_VALUES
    if (type->tp_setattro == PyObject_GenericSetAttr &&
        classify(type, name) == Name::Class::nothing) {
        if (PyObject** slot = inline_slot(o, name, true)) {
            PyObject* old = *slot;
            *slot = Py_NewRef(value.ptr());
            if (old)
                Py_DECREF(old);
            else
                compat::inline_values::add_to_order(compat::inline_values::of(o), name.attr_index);
            return;
        }
    }
#endif
    // Other attributes kept inline in the object (a negative dict offset) are stored best by
    // the generic path, which makes no dict for them.
    if (type->tp_setattro == PyObject_GenericSetAttr && type->tp_dictoffset > 0 &&
        classify(type, name) == Name::Class::nothing) {
        // No data descriptor can intercept the write: store into the instance dict.
        if (PyObject* dict = instance_dict(o)) {
            if (PyDict_SetItem(dict, name.ptr(), value.ptr()) < 0) fail_at(loc);
            return;
        }
    }
    const int r = type->tp_setattro == PyObject_GenericSetAttr
                      ? PyObject_GenericSetAttr(o, name.ptr(), value.ptr())
                      : PyObject_SetAttr(o, name.ptr(), value.ptr());
    if (r < 0) fail_at(loc);
}

namespace detail {

py::object vectorcall(PyObject* callable, const Name* method, PyObject** args, std::size_t nargs,
                      PyObject* const* kwnames, std::size_t nkw, const std::source_location& loc) {
    py::object names;
    if (nkw > 0) {
        names = py::reinterpret_steal<py::object>(PyTuple_New(static_cast<Py_ssize_t>(nkw)));
        if (!names) fail_at(loc);
        for (std::size_t i = 0; i < nkw; ++i) {
            Py_INCREF(kwnames[i]);
            PyTuple_SET_ITEM(names.ptr(), static_cast<Py_ssize_t>(i), kwnames[i]);
        }
    }
    PyObject* kwtuple = names.ptr();
    const std::size_t nargsf = nargs | PY_VECTORCALL_ARGUMENTS_OFFSET;
    PyObject* result;
    if (PyObject* found = method ? unbound_method(args[0], *method) : nullptr) {
        // The type's own function, called with the instance first. The call may change a
        // class, though not a builtin type (its attributes are fixed), and so release what
        // it calls.
        const bool fixed = !(Py_TYPE(args[0])->tp_flags & Py_TPFLAGS_HEAPTYPE);
        if (!fixed) Py_INCREF(found);
        result = parking_on_exit([&] {
            return Py_TYPE(found) == &PyMethodDescr_Type
                       ? call_method_descriptor(found, args, nargs, kwtuple)
                       : compat::vectorcall(found, args, nargsf, kwtuple);
        });
        if (!fixed) Py_DECREF(found);
    } else {
        result = parking_on_exit([&] {
            return method ? compat::vectorcall_method(method->ptr(), args, nargsf, kwtuple)
                          : compat::vectorcall(callable, args, nargsf, kwtuple);
        });
    }
    if (!result) fail_at(loc);
    return py::reinterpret_steal<py::object>(result);
}

}  // namespace detail

}  // namespace qm
