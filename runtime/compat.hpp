// compat.hpp: the one place where CPython version differences are spelled out.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

#if PY_VERSION_HEX < 0x03090000
// Exported by the 3.8 interpreter (its LOAD_METHOD), though no header declares it.
extern "C" int _PyObject_GetMethod(PyObject* obj, PyObject* name, PyObject** method);
#endif

namespace qm::compat {

#if PY_VERSION_HEX < 0x03090000
inline constexpr unsigned long TPFLAGS_HAVE_VECTORCALL = _Py_TPFLAGS_HAVE_VECTORCALL;
inline PyObject* vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                            PyObject* kwnames) {
    return _PyObject_Vectorcall(callable, args, nargsf, kwnames);
}
/// The interpreter that runs this thread; 3.8 has no public getter.
inline PyInterpreterState* interpreter() { return PyThreadState_Get()->interp; }
#else
inline constexpr unsigned long TPFLAGS_HAVE_VECTORCALL = Py_TPFLAGS_HAVE_VECTORCALL;
inline PyObject* vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                            PyObject* kwnames) {
    return PyObject_Vectorcall(callable, args, nargsf, kwnames);
}
inline PyInterpreterState* interpreter() { return PyInterpreterState_Get(); }
#endif

/// The thread state of this thread, or nullptr (no check that it holds the GIL).
inline PyThreadState* thread_state_unchecked() {
#if PY_VERSION_HEX < 0x030d0000
    return _PyThreadState_UncheckedGet();
#else
    return PyThreadState_GetUnchecked();
#endif
}

/// The Python frame that this thread state is running now, as an opaque key, or nullptr.
/// A greenlet switch swaps it along with the C stack, and it stays the same while a native
/// function called from that frame runs (calls out restore it on return).
inline const void* running_python_frame(PyThreadState* tstate) {
#if PY_VERSION_HEX < 0x030b0000
    return tstate->frame;
#elif PY_VERSION_HEX < 0x030d0000
    return tstate->cframe->current_frame;
#else
    return tstate->current_frame;
#endif
}

/// Counts a native function's activation as the interpreter counts a Python frame's, so that
/// sys.setrecursionlimit bounds both alike: up to 3.11 Python frames count in the recursion
/// depth that C code shares; from 3.12 they have their own counter (C recursion has a fixed
/// limit of its own, and the C stack is watched by the caller). Nonzero, with RecursionError
/// set, when the limit is reached.
#if PY_VERSION_HEX >= 0x030c0000
int python_recursion_exceeded(PyThreadState* tstate);
#endif
inline int enter_recursion(PyThreadState* tstate) {
#if PY_VERSION_HEX < 0x030c0000
    (void)tstate;
    return Py_EnterRecursiveCall("");
#else
    if (tstate->py_recursion_remaining-- <= 0 && python_recursion_exceeded(tstate)) {
        ++tstate->py_recursion_remaining;
        return -1;
    }
    return 0;
#endif
}
inline void leave_recursion(PyThreadState* tstate) {
#if PY_VERSION_HEX < 0x030c0000
    (void)tstate;
    Py_LeaveRecursiveCall();
#else
    ++tstate->py_recursion_remaining;
#endif
}

/// NameError carries the missing name as `.name` (the interpreter's "Did you mean" hint reads
/// it) since 3.10.
inline constexpr bool name_error_has_name = PY_VERSION_HEX >= 0x030a0000;

/// The error of a `with` statement whose manager's type lacks `missing` (__enter__ or
/// __exit__), as this interpreter words it.
inline void context_manager_error(PyObject* manager, const char* missing) {
#if PY_VERSION_HEX < 0x030b0000
    (void)manager;
    PyErr_SetString(PyExc_AttributeError, missing);
#elif PY_VERSION_HEX < 0x030d0000
    (void)missing;
    PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol",
                 Py_TYPE(manager)->tp_name);
#else
    PyErr_Format(PyExc_TypeError,
                 "'%.200s' object does not support the context manager protocol%s",
                 Py_TYPE(manager)->tp_name,
                 missing[2] == 'e' && missing[3] == 'x' ? " (missed __exit__ method)" : "");
#endif
}

/// `name(*args)` looked up on args[0] as a method call looks it up: no bound method when the
/// attribute is a method descriptor of the type. args[-1] may be overwritten when nargsf
/// carries PY_VECTORCALL_ARGUMENTS_OFFSET.
inline PyObject* vectorcall_method(PyObject* name, PyObject* const* args, size_t nargsf,
                                   PyObject* kwnames) {
#if PY_VERSION_HEX < 0x03090000
    PyObject* callable = nullptr;
    const int unbound = _PyObject_GetMethod(args[0], name, &callable);
    if (!callable) return nullptr;
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* result =
        unbound ? _PyObject_Vectorcall(callable, args, nargs, kwnames)
                : _PyObject_Vectorcall(callable, args + 1,
                                       (nargs - 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames);
    Py_DECREF(callable);
    return result;
#else
    return PyObject_VectorcallMethod(name, args, nargsf, kwnames);
#endif
}

/// The value of an int that fits a machine word without its digits being walked: true and
/// `value` set for the small ints of everyday code (one digit on every version).
inline bool compact_int(PyObject* op, long& value) {
#if PY_VERSION_HEX < 0x030c0000
    const Py_ssize_t size = Py_SIZE(op);
    if (size < -1 || size > 1) return false;
    value = size == 0 ? 0 : size * static_cast<long>(reinterpret_cast<PyLongObject*>(op)->ob_digit[0]);
    return true;
#else
    const auto* number = reinterpret_cast<const PyLongObject*>(op);
    if (!PyUnstable_Long_IsCompact(number)) return false;
    value = static_cast<long>(PyUnstable_Long_CompactValue(number));
    return true;
#endif
}

/// Dicts that tell when they change. From 3.12 a dict watcher calls `changed` on every change
/// of a watched dict (one watcher per module); before, every dict carries a version tag that
/// changes with every change. `dict_version` is that tag, or 0 where there is none.
#if PY_VERSION_HEX >= 0x030c0000
namespace watching {
inline void (*changed)() = nullptr;
inline int watcher = -1;
inline int on_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    changed();
    return 0;
}
}  // namespace watching

/// Starts watching `dict`; false (with no error set) when no watcher is free.
inline bool watch_dict(PyObject* dict, void (*changed)()) {
    watching::changed = changed;
    if (watching::watcher < 0 && (watching::watcher = PyDict_AddWatcher(watching::on_change)) < 0) {
        PyErr_Clear();
        return false;
    }
    if (PyDict_Watch(watching::watcher, dict) < 0) {
        PyErr_Clear();
        return false;
    }
    return true;
}
inline std::uint64_t dict_version(PyObject*) { return 0; }
#else
inline bool watch_dict(PyObject*, void (*)()) { return false; }
inline std::uint64_t dict_version(PyObject* dict) {
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}
#endif

/// The version tag of `type` while it is valid (it changes with any change to the type or a
/// base), else 0. From 3.12 an invalid tag is 0 itself; before, a flag says.
inline unsigned int type_version(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030c0000
    return type->tp_version_tag;
#else
    return (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
#endif
}

/// Attributes kept inline in the object, as 3.13 keeps them for instances of plain classes
/// (64-bit builds with the GIL): the private layouts the interpreter's specialised
/// LOAD_ATTR_INSTANCE_VALUE and STORE_ATTR_INSTANCE_VALUE read and write, copied from that
/// version alone. Other versions keep the instance dict.
#if PY_VERSION_HEX >= 0x030d0000 && PY_VERSION_HEX < 0x030e0000 && SIZEOF_VOID_P == 8 && \
    !defined(Py_GIL_DISABLED)
#define QM_INLINE_VALUES 1
namespace inline_values {
/// The head of a dict's keys; the index table and then the entries follow it.
struct Keys {
    Py_ssize_t dk_refcnt;
    std::uint8_t dk_log2_size;
    std::uint8_t dk_log2_index_bytes;
    std::uint8_t dk_kind;
    std::uint32_t dk_version;
    Py_ssize_t dk_usable;
    Py_ssize_t dk_nentries;
};
inline constexpr std::uint8_t split_kind = 2;  // keys shared by the instances of a class
struct Entry {
    PyObject* key;
    PyObject* value;
};
/// The values, right after the object head; their insertion order follows values[capacity].
struct Values {
    std::uint8_t capacity;
    std::uint8_t size;
    std::uint8_t embedded;
    std::uint8_t valid;  // cleared once a dict of the object holds the attributes instead
    PyObject* values[1];
};

inline bool kept_inline(PyTypeObject* type) {
    return (type->tp_flags & (Py_TPFLAGS_INLINE_VALUES | Py_TPFLAGS_MANAGED_DICT)) ==
               (Py_TPFLAGS_INLINE_VALUES | Py_TPFLAGS_MANAGED_DICT) &&
           (type->tp_flags & Py_TPFLAGS_HEAPTYPE) &&
           reinterpret_cast<PyHeapTypeObject*>(type)->ht_cached_keys != nullptr;
}
inline Values* of(PyObject* o) {
    return reinterpret_cast<Values*>(reinterpret_cast<char*>(o) + Py_TYPE(o)->tp_basicsize);
}
/// True once the object's __dict__ has been made (it may share the values, or not).
inline bool has_dict(PyObject* o) {
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(o) -
                                         3 * static_cast<Py_ssize_t>(sizeof(PyObject*))) != nullptr;
}
/// The keys the instances of `type` share, and their number now (entries are only appended,
/// so an index once found stays that name's).
inline const Keys* shared_keys(PyTypeObject* type) {
    return reinterpret_cast<const Keys*>(reinterpret_cast<PyHeapTypeObject*>(type)->ht_cached_keys);
}
/// The index of the interned `name` among `keys`, or -1.
inline int index_of(const Keys* keys, PyObject* name) {
    if (keys->dk_kind != split_kind) return -1;
    const auto* entries = reinterpret_cast<const Entry*>(
        reinterpret_cast<const char*>(keys) + sizeof(Keys) +
        (std::size_t{1} << keys->dk_log2_index_bytes));
    for (Py_ssize_t i = 0; i < keys->dk_nentries; ++i)
        if (entries[i].key == name) return static_cast<int>(i);
    return -1;
}
/// Records that values[index] has been filled, as the interpreter does.
inline void add_to_order(Values* values, int index) {
    auto* order = reinterpret_cast<std::uint8_t*>(&values->values[values->capacity]);
    order[values->size] = static_cast<std::uint8_t>(index);
    ++values->size;
}
}  // namespace inline_values
#else
#define QM_INLINE_VALUES 0
#endif

/// Makes a str's characters readable with PyUnicode_DATA (a no-op since 3.12).
inline int unicode_ready(PyObject* s) {
#if PY_VERSION_HEX < 0x030c0000
    return PyUnicode_READY(s);
#else
    (void)s;
    return 0;
#endif
}

/// The message of UnboundLocalError for `name`, as this interpreter words it.
inline const char* unbound_local_message() {
#if PY_VERSION_HEX < 0x030b0000
    return "local variable '%s' referenced before assignment";
#else
    return "cannot access local variable '%s' where it is not associated with a value";
#endif
}

/// Major.minor of the headers this module was compiled against, e.g. "3.8".
inline constexpr const char* compiled_version() {
#define QM_STR2(x) #x
#define QM_STR(x) QM_STR2(x)
    return QM_STR(PY_MAJOR_VERSION) "." QM_STR(PY_MINOR_VERSION);
#undef QM_STR
#undef QM_STR2
}

}  // namespace qm::compat
