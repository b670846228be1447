// attributes.cpp: attribute access and calls. Where the interpreter's specialised instructions
// take a shortcut, this takes it too, only while every precondition of that shortcut holds,
// checked at the moment of use; in every other case, and in a build without shortcuts, the
// generic C-API path runs.
#include "caches.hpp"
#include "compat.hpp"
#include "frame.hpp"
#include "unwind.hpp"

#include <qm/language.hpp>

#include <cstddef>

namespace qm {

namespace {

using Caches = detail::NameCaches;
using Kind = Caches::Kind;

/* Looking a name up in a type **********************************************************/

/// What a type holds under a name along its MRO, as a lookup finds it now. `found` is
/// borrowed: the type holds it only until Python code runs. `cache` is the name's entry when
/// it describes the type as it is now (its version tag is valid and the same), else nullptr.
struct TypeEntry {
    PyObject* found;
    Kind kind;
    Caches::Layout* cache;
};

TypeEntry lookup_in_type(PyTypeObject* type, const Name& name) noexcept {
    Caches::Layout& c = Caches::of(name);
    unsigned int version = compat::type_version(type);
    if (version != 0 && type == c.type && version == c.version) return {c.found, c.kind, &c};
    PyObject* found = compat::type_lookup(type, name.str());  // may give the type a tag
    const Kind kind = !found ? Kind::nothing
                      : (Py_TYPE(found)->tp_flags & Py_TPFLAGS_METHOD_DESCRIPTOR) ? Kind::method
                                                                                 : Kind::unknown;
    // A type without a valid tag (changed too often, or with an mro() of its own) can never
    // be told unchanged: what was found now is used now, and not remembered.
    if ((version = compat::type_version(type)) == 0) return {found, kind, nullptr};
    c.type = type;
    c.version = version;
    c.found = found;
    c.kind = kind;
    c.index = -1;
    c.scanned = -1;
    return {found, kind, &c};
}

#if QM_INLINE_VALUES
namespace iv = compat::inline_values;

/// The slot that holds `o.name` among the object's inline values, as the interpreter's
/// specialised instructions find it: the type keeps its instances' attributes inline and,
/// at its version now, holds nothing of that name (`entry`), the values are still the
/// object's attributes, and the shared keys place the name within them. A write also needs
/// the object to have no __dict__ yet. nullptr when the generic path must decide.
PyObject** inline_slot(PyObject* o, const Name& name, const TypeEntry& entry, bool write) {
    PyTypeObject* type = Py_TYPE(o);
    if (!entry.cache || !iv::kept_inline(type)) return nullptr;
    iv::Values* values = iv::of(o);
    if (!values->valid || (write && iv::has_dict(o))) return nullptr;
    Caches::Layout& c = *entry.cache;
    int index = c.index;
    if (index < 0) {
        const iv::Keys* keys = iv::shared_keys(type);
        if (keys->dk_nentries == c.scanned) return nullptr;
        if ((index = iv::index_of(keys, name.str())) < 0) {
            c.scanned = keys->dk_nentries;
            return nullptr;
        }
        c.index = index;
    }
    if (index >= values->capacity) return nullptr;
    return &values->values[index];
}
#endif

/// The instance dict of `o` (borrowed), where objects keep their attributes in a dict of
/// their own (up to 3.10); nullptr for objects without one, or where asking for it would
/// make one.
PyObject* plain_instance_dict(PyObject* o) noexcept {
    if (!compat::plain_instance_dicts || Py_TYPE(o)->tp_dictoffset <= 0) return nullptr;
    PyObject** slot = compat::instance_dict_slot(o);
    return slot ? *slot : nullptr;
}

py::object steal(PyObject* o) { return py::reinterpret_steal<py::object>(o); }
py::object borrow(PyObject* o) { return py::reinterpret_borrow<py::object>(o); }

/* Calls ********************************************************************************/

using FastMethod = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t);
using FastMethodWithKeywords = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

/// `descr(self, *args)`, no keywords, for a method descriptor of a builtin type: its C
/// function called as the descriptor's own vectorcall calls it, and as the interpreter's
/// CALL_METHOD_DESCRIPTOR_* instructions do, for an instance of exactly the descriptor's type
/// and inside the C recursion check. false, with nothing done, when the instance's type or
/// the calling convention needs the generic call.
bool call_method_descriptor(PyObject* descr, PyObject* const* args, std::size_t nargs,
                            PyObject*& result) {
    const PyMethodDef* def = reinterpret_cast<PyMethodDescrObject*>(descr)->d_method;
    if (Py_TYPE(args[0]) != PyDescr_TYPE(descr)) return false;
    const int convention = def->ml_flags & ~METH_COEXIST;
    const Py_ssize_t n = static_cast<Py_ssize_t>(nargs) - 1;
    void* c = reinterpret_cast<void*>(def->ml_meth);
    if (convention != (METH_FASTCALL | METH_KEYWORDS) && convention != METH_FASTCALL &&
        !(convention == METH_O && n == 1) && !(convention == METH_NOARGS && n == 0))
        return false;
    // Inside a native function the frame registry holds this thread's state.
    PyThreadState* tstate = detail::frames.tstate;
    if (compat::enter_c_call(tstate)) {
        result = nullptr;
        return true;
    }
    result = parking_on_exit([&] {
        if (convention == (METH_FASTCALL | METH_KEYWORDS))
            return reinterpret_cast<FastMethodWithKeywords>(c)(args[0], args + 1, n, nullptr);
        if (convention == METH_FASTCALL)
            return reinterpret_cast<FastMethod>(c)(args[0], args + 1, n);
        return def->ml_meth(args[0], n == 1 ? args[1] : nullptr);
    });
    compat::leave_c_call(tstate);
    return true;
}

/// `callable(self?, *args)` with vectorcall. Keyword arguments come last, as in Python.
[[gnu::noinline]] Object invoke(PyObject* callable, PyObject* self, std::initializer_list<Arg> args,
              const Location& loc) {
    constexpr std::size_t inline_args = 16;
    if (args.size() + (self ? 1 : 0) > inline_args) {
        PyErr_SetString(PyExc_SystemError, "too many arguments for a native call");
        fail_at(loc);
    }
    // [free slot, self?, positional..., keyword values...]
    PyObject* stack[inline_args + 1];
    PyObject** at = stack + 1;
    if (self) *at++ = self;
    std::size_t nkw = 0;
    for (const Arg& a : args) {
        *at++ = a.value;
        nkw += a.keyword != nullptr;
    }
    const std::size_t nargs = static_cast<std::size_t>(at - (stack + 1)) - nkw;
    py::object names;
    if (nkw > 0) {
        names = steal(PyTuple_New(static_cast<Py_ssize_t>(nkw)));
        if (!names) fail_at(loc);
        Py_ssize_t k = 0;
        for (const Arg& a : args)
            if (a.keyword) PyTuple_SET_ITEM(names.ptr(), k++, compat::new_ref(a.keyword));
    }
    PyObject* result = parking_on_exit([&] {
        return compat::vectorcall(callable, stack + 1, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                  names.ptr());
    });
    if (!result) fail_at(loc);
    return steal(result);
}

}  // namespace

/* Attributes ***************************************************************************/

Object attr(py::handle obj, const Name& name, const Location& loc) {
    PyObject* o = obj.ptr();
    if constexpr (shortcuts) {
        PyTypeObject* type = Py_TYPE(o);
        if (type->tp_getattro == PyObject_GenericGetAttr) {
            const TypeEntry entry = lookup_in_type(type, name);
            if (entry.kind == Kind::nothing) {
                // No descriptor of that name: only the instance's own attributes can hold
                // it. A miss takes the generic path, which raises the AttributeError.
#if QM_INLINE_VALUES
                if (PyObject** slot = inline_slot(o, name, entry, false)) {
                    if (PyObject* value = *slot) return borrow(value);
                }
#endif
                if (PyObject* dict = plain_instance_dict(o)) {
                    // The lookup may run a key's __eq__: hold the dict meanwhile.
                    py::object held = borrow(dict);
                    PyObject* value = PyDict_GetItemWithError(dict, name.str());
                    if (value) return borrow(value);
                    if (PyErr_Occurred()) fail_at(loc);
                }
            }
        }
    }
    PyObject* value = parking_on_exit([&] { return PyObject_GetAttr(o, name.str()); });
    if (!value) fail_at(loc);
    return steal(value);
}

void set_attr(py::handle obj, const Name& name, py::handle value, const Location& loc) {
    PyObject* o = obj.ptr();
#if QM_INLINE_VALUES
    if constexpr (shortcuts) {
        PyTypeObject* type = Py_TYPE(o);
        if (type->tp_setattro == PyObject_GenericSetAttr) {
            const TypeEntry entry = lookup_in_type(type, name);
            if (entry.kind == Kind::nothing) {
                // No descriptor can intercept the write, and the name has its slot among
                // the object's inline values: store there, as STORE_ATTR_INSTANCE_VALUE does.
                if (PyObject** slot = inline_slot(o, name, entry, true)) {
                    PyObject* old = *slot;
                    *slot = compat::new_ref(value.ptr());
                    if (old)
                        Py_DECREF(old);  // may run Python code: the store is complete
                    else
                        iv::add_to_order(iv::of(o), entry.cache->index);
                    return;
                }
            }
        }
    }
#endif
    const int r = parking_on_exit([&] { return PyObject_SetAttr(o, name.str(), value.ptr()); });
    if (r < 0) fail_at(loc);
}

namespace {
Bound method_slow(PyObject* o, const Name& name, const Location& loc);
}

Bound method(py::handle obj, const Name& name, const Location& loc) {
    // The common case first, kept small: a method of a builtin type, which holds its
    // attributes for good, on an instance without a dict of its own.
    PyObject* o = obj.ptr();
    PyTypeObject* type = Py_TYPE(o);
    if (shortcuts && !(type->tp_flags & Py_TPFLAGS_HEAPTYPE) && type->tp_dictoffset == 0 &&
        type->tp_getattro == PyObject_GenericGetAttr) {
        const TypeEntry entry = lookup_in_type(type, name);
        if (entry.kind == Kind::method) return Bound(entry.found, false, o);
    }
    return method_slow(o, name, loc);
}

namespace {

[[gnu::noinline]] Bound method_slow(PyObject* o, const Name& name, const Location& loc) {
    if constexpr (shortcuts) {
        // As LOAD_METHOD finds a method: a method descriptor of the type is called with the
        // instance first, without a bound method, unless the instance has an attribute of
        // its own of that name.
        PyTypeObject* type = Py_TYPE(o);
        if (type->tp_getattro == PyObject_GenericGetAttr) {
            const TypeEntry entry = lookup_in_type(type, name);
            if (entry.kind == Kind::method) {
                // A builtin type's attributes never change; any other type may drop the
                // method while it runs, so it is held, before Python code can run.
                const bool fixed = !(type->tp_flags & Py_TPFLAGS_HEAPTYPE);
                py::object held = fixed ? py::object() : borrow(entry.found);
                auto unbound = [&] {
                    return Bound(fixed ? entry.found : held.release().ptr(), !fixed, o);
                };
#if QM_INLINE_VALUES
                if (iv::kept_inline(type) && iv::of(o)->valid && !iv::has_dict(o)) {
                    // The object's attributes are its inline values alone.
                    if (PyObject** slot = inline_slot(o, name, entry, false)) {
                        if (PyObject* own = *slot) return Bound(compat::new_ref(own), true, nullptr);
                        return unbound();
                    }
                    if (entry.cache && entry.cache->index < 0 &&
                        entry.cache->scanned == iv::shared_keys(type)->dk_nentries)
                        return unbound();  // not among the keys
                }
#endif
                if (type->tp_dictoffset == 0) return unbound();
                if (compat::plain_instance_dicts) {
                    PyObject** slot = compat::instance_dict_slot(o);
                    PyObject* dict = slot ? *slot : nullptr;
                    if (!dict) return unbound();
                    py::object held_dict = borrow(dict);  // the lookup may run a key's __eq__
                    PyObject* own = PyDict_GetItemWithError(dict, name.str());
                    if (own) return Bound(compat::new_ref(own), true, nullptr);
                    if (PyErr_Occurred()) fail_at(loc);
                    return unbound();
                }
            }
        }
    }
    PyObject* value = parking_on_exit([&] { return PyObject_GetAttr(o, name.str()); });
    if (!value) fail_at(loc);
    return Bound(value, true, nullptr);
}

}  // namespace

/* Calls ********************************************************************************/

Object Object::operator()(std::initializer_list<Arg> args, const Location& loc) const {
    return invoke(py::handle(*this).ptr(), nullptr, args, loc);
}

Object Bound::operator()(std::initializer_list<Arg> args, const Location& loc) && {
    // A method descriptor of a builtin type with a few positional arguments: straight to
    // its C function.
    if (shortcuts && self_ && args.size() <= 3 && Py_TYPE(callable_) == &PyMethodDescr_Type) {
        PyObject* stack[4] = {self_};
        std::size_t n = 1;
        bool keywords = false;
        for (const Arg& a : args) {
            keywords |= a.keyword != nullptr;
            stack[n++] = a.value;
        }
        PyObject* result;
        if (!keywords && call_method_descriptor(callable_, stack, n, result)) {
            if (!result) fail_at(loc);
            return steal(result);
        }
    }
    return invoke(callable_, self_, args, loc);
}

Object call(py::handle callable, std::initializer_list<Arg> args, const Location& loc) {
    return invoke(callable.ptr(), nullptr, args, loc);
}

}  // namespace qm
