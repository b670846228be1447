// compat.hpp: the one place where CPython version differences are spelled out, and where the
// private layouts of one minor version are copied from it.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>


namespace qm {

/// Whether the runtime takes its shortcuts (caches, exact-type fast paths, private layouts,
/// the report scan). A build without them (CMake option QUAYMARK_SHORTCUTS=OFF) runs every
/// operation through the interpreter's generic C-API path: the reference they are held to.
inline constexpr bool shortcuts = QM_SHORTCUTS != 0;

}  // namespace qm

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

/// A new reference to `o` (Py_NewRef, which 3.8 lacks).
inline PyObject* new_ref(PyObject* o) {
    Py_INCREF(o);
    return o;
}

/// A new reference to `o`, or nullptr for nullptr.
inline PyObject* new_ref_or_null(PyObject* o) {
    Py_XINCREF(o);
    return o;
}

/// `callable()`.
inline PyObject* call_no_args(PyObject* callable) {
#if PY_VERSION_HEX < 0x03090000
    return _PyObject_CallNoArg(callable);
#else
    return PyObject_CallNoArgs(callable);
#endif
}

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
/// What the interpreter does when a Python frame finds no recursion left: RecursionError,
/// except while it is handling such an error already (it then grants 50 frames more).
[[gnu::cold]] inline int python_recursion_exceeded(PyThreadState* tstate) {
    if (tstate->recursion_headroom && tstate->py_recursion_remaining >= -50) return 0;
    ++tstate->recursion_headroom;
    PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
    --tstate->recursion_headroom;
    return -1;
}
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

/// Counts a call into C code (a builtin's function) as the interpreter counts it against the
/// C recursion limit, with this thread's state at hand: nonzero, with RecursionError set,
/// when the limit is reached; `leave_c_call` after the call otherwise. 3.12 and 3.13 keep the
/// count in the thread state, checked by the interpreter's exported _Py_CheckRecursiveCall
/// (no header declares it); other versions go through Py_EnterRecursiveCall.
#if PY_VERSION_HEX >= 0x030c0000 && PY_VERSION_HEX < 0x030e0000
extern "C" int _Py_CheckRecursiveCall(PyThreadState* tstate, const char* where);
#endif
inline constexpr const char* c_call_where = " while calling a Python object";
inline int enter_c_call(PyThreadState* tstate) {
#if PY_VERSION_HEX >= 0x030c0000 && PY_VERSION_HEX < 0x030e0000
    return tstate->c_recursion_remaining-- <= 0 && _Py_CheckRecursiveCall(tstate, c_call_where);
#else
    (void)tstate;
    return Py_EnterRecursiveCall(c_call_where);
#endif
}
inline void leave_c_call(PyThreadState* tstate) {
#if PY_VERSION_HEX >= 0x030c0000 && PY_VERSION_HEX < 0x030e0000
    ++tstate->c_recursion_remaining;
#else
    (void)tstate;
    Py_LeaveRecursiveCall();
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
#elif PY_VERSION_HEX < 0x030e0000
    PyErr_Format(PyExc_TypeError,
                 "'%.200s' object does not support the context manager protocol%s",
                 Py_TYPE(manager)->tp_name,
                 missing[2] == 'e' && missing[3] == 'x' ? " (missed __exit__ method)" : "");
#else
    PyErr_Format(PyExc_TypeError,
                 "'%.200s' object does not support the context manager protocol (missed %s method)",
                 Py_TYPE(manager)->tp_name, missing);
#endif
}

/// A `with` statement looks up __exit__ before __enter__ from 3.14 (LOAD_SPECIAL); before,
/// __enter__ first.
inline constexpr bool with_looks_up_exit_first = PY_VERSION_HEX >= 0x030e0000;

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

/// Dicts that tell when they change. From 3.12 a dict watcher is called on every change of a
/// watched dict; before, every dict carries a version tag, drawn from one counter that grows
/// with every change of any dict. `dict_version` is that tag, or 0 where there is none.
#if PY_VERSION_HEX >= 0x030c0000
inline constexpr bool dict_watchers = true;
namespace watching {
inline std::uint64_t* counter = nullptr;
inline int on_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    ++*counter;
    return 0;
}
}  // namespace watching
/// Registers a watcher that counts every change of the dicts it watches in `*counter`; its
/// id, or -1 (no error set) when none is free.
inline int add_dict_watcher(std::uint64_t* counter) {
    watching::counter = counter;
    const int id = PyDict_AddWatcher(watching::on_change);
    if (id < 0) PyErr_Clear();
    return id;
}
/// Starts watching `dict` with the watcher `id`; false (no error set) when that fails.
inline bool watch_dict(int id, PyObject* dict) {
    if (PyDict_Watch(id, dict) == 0) return true;
    PyErr_Clear();
    return false;
}
inline std::uint64_t dict_version(PyObject*) { return 0; }
#else
inline constexpr bool dict_watchers = false;
inline int add_dict_watcher(std::uint64_t*) { return -1; }
inline bool watch_dict(int, PyObject*) { return false; }
inline std::uint64_t dict_version(PyObject* dict) {
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}
#endif

/// Where a function finds the builtins. From 3.10 a function keeps the builtins of its
/// globals at its definition (`function.__builtins__`); before, each call takes them from its
/// globals' `__builtins__` anew.
inline constexpr bool function_keeps_builtins = PY_VERSION_HEX >= 0x030a0000;

/// The builtins of a frame whose globals have no `__builtins__`: from 3.10 those of the code
/// running now; before, a dict that holds only None. A new reference, or nullptr with an
/// error set.
inline PyObject* fallback_builtins() {
#if PY_VERSION_HEX >= 0x030a0000
    PyObject* builtins = PyEval_GetBuiltins();
    Py_XINCREF(builtins);
    return builtins;
#else
    PyObject* builtins = PyDict_New();
    if (builtins && PyDict_SetItemString(builtins, "None", Py_None) < 0) Py_CLEAR(builtins);
    return builtins;
#endif
}

/// Up to 3.11, a thread's GIL-state binding (what PyGILState_Ensure takes as this thread's
/// state) stays with the thread state made first, that of the main interpreter.
inline constexpr bool gil_state_follows_first_thread_state = PY_VERSION_HEX < 0x030c0000;

/// What `type` holds under `name` along its MRO (borrowed), without running Python code.
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name) {
    return _PyType_Lookup(type, name);
}

/// Objects keep their attributes in a dict of their own, at tp_dictoffset, up to 3.10; from
/// 3.11 asking for that dict may make one from the values kept in the object.
inline constexpr bool plain_instance_dicts = PY_VERSION_HEX < 0x030b0000;

/// The slot of the instance dict of `o` (nullptr for objects without one). Objects that keep
/// their attributes inline get a dict made for them.
inline PyObject** instance_dict_slot(PyObject* o) { return _PyObject_GetDictPtr(o); }

/// The version tag of `type` while it is valid (it changes with any change to the type or a
/// base), else 0. From 3.12 an invalid tag is 0 itself; before, a flag says.
inline unsigned int type_version(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030c0000
    return type->tp_version_tag;
#else
    return (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
#endif
}

/// Attributes kept inline in the object, as 3.13, 3.14 and 3.15 keep them for instances of
/// plain classes (64-bit builds with the GIL): the private layouts the interpreter's
/// specialised LOAD_ATTR_INSTANCE_VALUE and STORE_ATTR_INSTANCE_VALUE read and write, copied
/// from each of those versions' own headers (pycore_dict.h, pycore_object.h), in which they
/// are alike: the values right after the object's fixed part, the managed dict three words
/// before it, the shared keys' entries after their index table. Any other version keeps the
/// generic path; a new minor version joins this list only once its headers were compared and
/// the tests ran on it.
#if (PY_VERSION_HEX >= 0x030d0000 && PY_VERSION_HEX < 0x030e0000 ||   /* 3.13 */  \
     PY_VERSION_HEX >= 0x030e0000 && PY_VERSION_HEX < 0x030f0000 ||   /* 3.14 */  \
     PY_VERSION_HEX >= 0x030f0000 && PY_VERSION_HEX < 0x03100000) &&  /* 3.15 */  \
    SIZEOF_VOID_P == 8 && !defined(Py_GIL_DISABLED)
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
