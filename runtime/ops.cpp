// ops.cpp: global lookups, imports, interpolation and the small operations module code uses.
#include "ops.hpp"

#include "compat.hpp"
#include "interned.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
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

void fail_at(const std::source_location& loc) {
    reached(loc);
    throw py::error_already_set();
}

namespace {

Frame& running_frame() {
    Frame* f = current_frame();
    if (!f) throw std::logic_error("no native function is running");
    return *f;
}

[[noreturn]] void throw_pending() { throw py::error_already_set(); }

/// `name` is bound neither in the module nor in the builtins.
[[noreturn, gnu::cold]] void name_error(PyObject* name) {
    set_name_error(name);
    throw_pending();
}

/// The lookup itself: the namespace `globals`, then its builtins.
py::object lookup_global(PyObject* globals, PyObject* key) {
    if (PyObject* value = PyDict_GetItemWithError(globals, key))
        return py::reinterpret_borrow<py::object>(value);
    if (PyErr_Occurred()) throw_pending();

    PyObject* builtins = PyDict_GetItemWithError(globals, intern("__builtins__").ptr());
    if (!builtins && PyErr_Occurred()) throw_pending();
    if (builtins) {
        PyObject* value = PyModule_Check(builtins) ? PyObject_GetAttr(builtins, key)
                                                   : PyObject_GetItem(builtins, key);
        if (value) return py::reinterpret_steal<py::object>(value);
        if (!PyErr_ExceptionMatches(PyExc_AttributeError) &&
            !PyErr_ExceptionMatches(PyExc_KeyError))
            throw_pending();
        PyErr_Clear();
    }
    name_error(key);
}

}  // namespace

namespace detail {

Namespace module_namespace;

namespace {
void namespace_changed() { ++module_namespace.generation; }
}  // namespace

/// The builtins dict that the namespace `globals` names now, as the interpreter takes it for
/// a frame (borrowed), or nullptr.
PyObject* builtins_of(PyObject* globals) {
    PyObject* builtins = PyDict_GetItemWithError(globals, intern("__builtins__").ptr());
    if (!builtins) return nullptr;
    if (PyModule_Check(builtins)) builtins = PyModule_GetDict(builtins);
    return builtins && PyDict_CheckExact(builtins) ? builtins : nullptr;
}

void enter_namespace(PyObject* globals) noexcept {
    Py_INCREF(globals);
    Py_XSETREF(module_namespace.dict, globals);
    PyObject* builtins = builtins_of(globals);
    if (!builtins) PyErr_Clear();
    Py_XINCREF(builtins);
    Py_XSETREF(module_namespace.builtins, builtins);
    ++module_namespace.generation;
    module_namespace.watched =
        compat::watch_dict(globals, namespace_changed) &&
        (!builtins || compat::watch_dict(builtins, namespace_changed));
}

py::object global_lookup(const Name& name, const std::source_location& loc) {
    reached(loc);
    PyObject* ns = module_namespace.dict;
    if (!ns) return lookup_global(running_frame().globals, name.ptr());
    const std::uint64_t stamp = module_namespace.stamp();
    PyObject* value = PyDict_GetItemWithError(ns, name.ptr());
    // A builtin is kept while the namespace still names the builtins it started with.
    PyObject* builtins = module_namespace.builtins;
    if (!value && !PyErr_Occurred() && builtins && builtins_of(ns) == builtins)
        value = PyDict_GetItemWithError(builtins, name.ptr());
    if (PyErr_Occurred()) throw_pending();
    if (!value) return lookup_global(ns, name.ptr());
    name.global_stamp = stamp;
    name.global_value = value;
    return py::reinterpret_borrow<py::object>(value);
}

}  // namespace detail

py::object global(const char* name, const std::source_location& loc) {
    reached(loc);
    return lookup_global(running_frame().globals, intern(name).ptr());
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
    // 1. Take every piece as a str: strs as they are (borrowed), other values formatted as
    //    FORMAT_VALUE formats them (owned until the end).
    // 2. Size the result: total length and the widest character kind.
    // 3. Copy the pieces in, widening narrower ones.
    constexpr std::size_t inline_pieces = 16;
    PyObject* inline_parts[inline_pieces];
    std::unique_ptr<PyObject*[]> heap_parts;
    PyObject** parts = inline_parts;
    if (pieces.size() > inline_pieces) {
        heap_parts.reset(new PyObject*[2 * pieces.size()]);
        parts = heap_parts.get();
    }
    PyObject* inline_owned[inline_pieces];
    PyObject** owned = heap_parts ? parts + pieces.size() : inline_owned;
    std::size_t n = 0, nowned = 0;
    struct Release {
        PyObject** owned;
        std::size_t& n;
        ~Release() {
            for (std::size_t i = 0; i < n; ++i) Py_DECREF(owned[i]);
        }
    } release{owned, nowned};

    Py_ssize_t length = 0;
    Py_UCS4 maxchar = 0;
    for (const Piece& p : pieces) {
        PyObject* item = p.literal ? intern(p.literal).ptr() : p.value.ptr();
        if (!PyUnicode_CheckExact(item)) {  // format(s, "") of an exact str is s itself
            if (!(item = PyObject_Format(item, nullptr))) fail_at(loc);
            owned[nowned++] = item;  // a str: PyObject_Format refuses anything else
        }
        if (compat::unicode_ready(item) < 0) fail_at(loc);
        parts[n++] = item;
        length += PyUnicode_GET_LENGTH(item);
        maxchar = std::max<Py_UCS4>(maxchar, PyUnicode_MAX_CHAR_VALUE(item));
    }

    PyObject* joined = PyUnicode_New(length, maxchar);
    if (!joined) fail_at(loc);
    const int kind = PyUnicode_KIND(joined);
    char* out = static_cast<char*>(PyUnicode_DATA(joined));
    Py_ssize_t at = 0;
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* part = parts[i];
        const Py_ssize_t len = PyUnicode_GET_LENGTH(part);
        if (PyUnicode_KIND(part) == kind) {
            std::memcpy(out + at * kind, PyUnicode_DATA(part), static_cast<std::size_t>(len) * kind);
        } else if (PyUnicode_CopyCharacters(joined, at, part, 0, len) < 0) {
            Py_DECREF(joined);
            fail_at(loc);
        }
        at += len;
    }
    return py::reinterpret_steal<py::str>(joined);
}

bool truth(py::handle value, const std::source_location& loc) {
    const int r = PyObject_IsTrue(value.ptr());
    if (r < 0) fail_at(loc);
    return r != 0;
}

bool contains(py::handle container, py::handle item, const std::source_location& loc) {
    const int r = PySequence_Contains(container.ptr(), item.ptr());
    if (r < 0) fail_at(loc);
    return r != 0;
}

namespace {
bool compare(py::handle a, py::handle b, int op, const std::source_location& loc) {
    const int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
    if (r < 0) fail_at(loc);
    return r != 0;
}

/// `a op n` when `a` is an exact int or float, whose comparisons with an int are fixed;
/// -1 when the interpreter must compare.
int compare_literal(PyObject* a, long n, int op) {
    if (PyLong_CheckExact(a)) {
        long value;
        if (!compat::compact_int(a, value)) return -1;
        return op == Py_LE ? value <= n : value > n;
    }
    // A double holds every int literal this is given (|n| < 2**53) exactly.
    if (PyFloat_CheckExact(a)) {
        const double value = PyFloat_AS_DOUBLE(a), bound = static_cast<double>(n);
        return op == Py_LE ? value <= bound : value > bound;
    }
    return -1;
}

bool compare_slow(py::handle a, long n, int op, bool literal_first,
                  const std::source_location& loc) {
    py::object number = py::reinterpret_steal<py::object>(PyLong_FromLong(n));
    if (!number) fail_at(loc);
    return literal_first ? compare(number, a, Py_LT, loc) : compare(a, number, op, loc);
}
}  // namespace

bool lt(py::handle a, py::handle b, const std::source_location& loc) {
    return compare(a, b, Py_LT, loc);
}
bool le(py::handle a, py::handle b, const std::source_location& loc) {
    return compare(a, b, Py_LE, loc);
}

bool le(py::handle a, long n, const std::source_location& loc) {
    const int r = compare_literal(a.ptr(), n, Py_LE);
    return r >= 0 ? r != 0 : compare_slow(a, n, Py_LE, false, loc);
}

bool lt(long n, py::handle a, const std::source_location& loc) {
    // n < a is a > n.
    const int r = compare_literal(a.ptr(), n, Py_GT);
    return r >= 0 ? r != 0 : compare_slow(a, n, Py_LT, true, loc);
}

bool eq(py::handle a, py::handle b, const std::source_location& loc) {
    PyObject *x = a.ptr(), *y = b.ptr();
    // Exact strs compare by their characters, as str.__eq__ does.
    if (PyUnicode_CheckExact(x) && PyUnicode_CheckExact(y)) {
        if (x == y) return true;
        if (compat::unicode_ready(x) < 0 || compat::unicode_ready(y) < 0) fail_at(loc);
        const Py_ssize_t len = PyUnicode_GET_LENGTH(x);
        return len == PyUnicode_GET_LENGTH(y) && PyUnicode_KIND(x) == PyUnicode_KIND(y) &&
               std::memcmp(PyUnicode_DATA(x), PyUnicode_DATA(y),
                           static_cast<std::size_t>(len) * PyUnicode_KIND(x)) == 0;
    }
    // Unlike PyObject_RichCompareBool, `==` consults __eq__ even for the same object.
    PyObject* r = PyObject_RichCompare(x, y, Py_EQ);
    if (!r) fail_at(loc);
    return truth(py::reinterpret_steal<py::object>(r), loc);
}

py::dict make_dict(std::initializer_list<std::pair<py::handle, py::handle>> entries,
                   const std::source_location& loc) {
    auto dict = py::reinterpret_steal<py::dict>(PyDict_New());
    if (!dict) fail_at(loc);
    for (const auto& [key, value] : entries)
        if (PyDict_SetItem(dict.ptr(), key.ptr(), value.ptr()) < 0) fail_at(loc);
    return dict;
}

py::list make_list(std::initializer_list<py::handle> items, const std::source_location& loc) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(items.size()));
    if (!list) fail_at(loc);
    Py_ssize_t i = 0;
    for (py::handle value : items) {
        Py_INCREF(value.ptr());
        PyList_SET_ITEM(list, i++, value.ptr());
    }
    return py::reinterpret_steal<py::list>(list);
}

py::object detail::item_slow(py::handle sequence, Py_ssize_t index,
                             const std::source_location& loc) {
    PyObject* seq = sequence.ptr();
    py::object key = py::reinterpret_steal<py::object>(PyLong_FromSsize_t(index));
    if (!key) fail_at(loc);
    PyObject* value = PyObject_GetItem(seq, key.ptr());
    if (!value) fail_at(loc);
    return py::reinterpret_steal<py::object>(value);
}

py::object add(py::handle a, py::handle b, const std::source_location& loc) {
    PyObject* r = PyNumber_Add(a.ptr(), b.ptr());
    if (!r) fail_at(loc);
    return py::reinterpret_steal<py::object>(r);
}

double to_float(py::handle value, const std::source_location& loc) {
    PyObject* v = value.ptr();
    // float(x) of an exact float is x, of an exact str the parsed text: what PyNumber_Float
    // reaches for them after its checks.
    if (PyFloat_CheckExact(v)) return PyFloat_AS_DOUBLE(v);
    PyObject* f = PyUnicode_CheckExact(v) ? PyFloat_FromString(v) : PyNumber_Float(v);
    if (!f) fail_at(loc);
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
