// ops.cpp: items, iteration, operators, literals and displays, as the interpreter runs them.
// The fast paths are taken only for exact builtin types, whose behaviour no Python code can
// change.
#include "compat.hpp"
#include "frame.hpp"
#include "unwind.hpp"

#include <qm/language.hpp>

#include <algorithm>
#include <cstring>
#include <memory>

namespace qm {

namespace {
py::object steal(PyObject* o) { return py::reinterpret_steal<py::object>(o); }
py::object borrow(PyObject* o) { return py::reinterpret_borrow<py::object>(o); }

/// Runs `op`, a C-API call that may run Python code, parked on the interpreter's exit, and
/// throws its error where it fails.
template <typename Op>
PyObject* checked(Op&& op, const Location& loc) {
    PyObject* r = parking_on_exit(std::forward<Op>(op));
    if (!r) fail_at(loc);
    return r;
}
}  // namespace

void fail_at(const Location& loc) {
    reached(loc);
    throw py::error_already_set();
}

void line(const Location& loc) {
    if (Frame* f = current_frame()) f->line = static_cast<int>(loc.line()) + 1;
}

/* Items and iteration ******************************************************************/

Object detail::item_slow(py::handle obj, Py_ssize_t index, const Location& loc) {
    py::object key = steal(PyLong_FromSsize_t(index));
    if (!key) fail_at(loc);
    return steal(checked([&] { return PyObject_GetItem(obj.ptr(), key.ptr()); }, loc));
}

Object item(py::handle obj, py::handle key, const Location& loc) {
    return steal(checked([&] { return PyObject_GetItem(obj.ptr(), key.ptr()); }, loc));
}

Iteration::Iteration(py::handle iterable, const Location& loc) : loc_(loc) {
    iterator_ = steal(checked([&] { return PyObject_GetIter(iterable.ptr()); }, loc));
}

void Iteration::advance() {
    PyObject* next = parking_on_exit([&] { return PyIter_Next(iterator_.ptr()); });
    if (!next && PyErr_Occurred()) fail_at(loc_);
    current_ = steal(next);
}

/* Operators ****************************************************************************/

bool truth(py::handle value, const Location& loc) {
    const int r = parking_on_exit([&] { return PyObject_IsTrue(value.ptr()); });
    if (r < 0) fail_at(loc);
    return r != 0;
}

bool contains(py::handle container, py::handle item, const Location& loc) {
    const int r =
        parking_on_exit([&] { return PySequence_Contains(container.ptr(), item.ptr()); });
    if (r < 0) fail_at(loc);
    return r != 0;
}

namespace {

/// `a op b`, then the truth of the result, as COMPARE_OP and a test of it do. Unlike
/// PyObject_RichCompareBool, the same object on both sides still asks its __eq__.
bool compare(PyObject* a, PyObject* b, int op, const Location& loc) {
    py::object r = steal(checked([&] { return PyObject_RichCompare(a, b, op); }, loc));
    return truth(r, loc);
}

/// `a op n` when `a` is an exact int or float, whose comparisons with a number literal are
/// fixed; -1 when the interpreter must compare.
int compare_exact(PyObject* a, double n, bool n_is_int, int op) {
    if (!shortcuts) return -1;
    double value;
    if (PyLong_CheckExact(a)) {
        long small;
        if (!n_is_int || !compat::compact_int(a, small)) return -1;
        value = static_cast<double>(small);  // exact: |small| < 2**30, n a small literal
    } else if (PyFloat_CheckExact(a)) {
        value = PyFloat_AS_DOUBLE(a);  // a double holds every literal given here exactly
    } else {
        return -1;
    }
    switch (op) {
    case Py_LE: return value <= n;
    case Py_GT: return value > n;
    default: return -1;
    }
}

/// `a op literal`, or `literal op a`, through the interpreter.
bool compare_literal(py::handle a, PyObject* literal, int op, bool literal_first,
                     const Location& loc) {
    py::object number = steal(literal);
    if (!number) fail_at(loc);
    return literal_first ? compare(number.ptr(), a.ptr(), op, loc)
                         : compare(a.ptr(), number.ptr(), op, loc);
}

}  // namespace

bool eq(py::handle a, py::handle b, const Location& loc) {
    PyObject *x = a.ptr(), *y = b.ptr();
    // Exact strs compare by their characters, as str.__eq__ does.
    if (shortcuts && PyUnicode_CheckExact(x) && PyUnicode_CheckExact(y)) {
        if (x == y) return true;
        if (compat::unicode_ready(x) < 0 || compat::unicode_ready(y) < 0) fail_at(loc);
        const Py_ssize_t len = PyUnicode_GET_LENGTH(x);
        return len == PyUnicode_GET_LENGTH(y) && PyUnicode_KIND(x) == PyUnicode_KIND(y) &&
               std::memcmp(PyUnicode_DATA(x), PyUnicode_DATA(y),
                           static_cast<std::size_t>(len) * PyUnicode_KIND(x)) == 0;
    }
    return compare(x, y, Py_EQ, loc);
}

bool ne(py::handle a, py::handle b, const Location& loc) {
    return compare(a.ptr(), b.ptr(), Py_NE, loc);
}

bool lt(py::handle a, py::handle b, const Location& loc) {
    return compare(a.ptr(), b.ptr(), Py_LT, loc);
}

bool le(py::handle a, py::handle b, const Location& loc) {
    return compare(a.ptr(), b.ptr(), Py_LE, loc);
}

bool gt(py::handle a, py::handle b, const Location& loc) {
    return compare(a.ptr(), b.ptr(), Py_GT, loc);
}

bool ge(py::handle a, py::handle b, const Location& loc) {
    return compare(a.ptr(), b.ptr(), Py_GE, loc);
}

bool le(py::handle a, long n, const Location& loc) {
    const int fixed = compare_exact(a.ptr(), static_cast<double>(n), true, Py_LE);
    if (fixed >= 0) return fixed != 0;
    return compare_literal(a, PyLong_FromLong(n), Py_LE, false, loc);
}

bool lt(long n, py::handle a, const Location& loc) {
    const int fixed = compare_exact(a.ptr(), static_cast<double>(n), true, Py_GT);  // a > n
    if (fixed >= 0) return fixed != 0;
    return compare_literal(a, PyLong_FromLong(n), Py_LT, true, loc);
}

bool lt(py::handle a, long n, const Location& loc) {
    return compare_literal(a, PyLong_FromLong(n), Py_LT, false, loc);
}

bool eq(py::handle a, long n, const Location& loc) {
    return compare_literal(a, PyLong_FromLong(n), Py_EQ, false, loc);
}

bool le(long n, py::handle a, const Location& loc) {
    return compare_literal(a, PyLong_FromLong(n), Py_LE, true, loc);
}

bool le(py::handle a, double x, const Location& loc) {
    const int fixed = compare_exact(a.ptr(), x, false, Py_LE);
    if (fixed >= 0) return fixed != 0;
    return compare_literal(a, PyFloat_FromDouble(x), Py_LE, false, loc);
}

bool lt(double x, py::handle a, const Location& loc) {
    const int fixed = compare_exact(a.ptr(), x, false, Py_GT);
    if (fixed >= 0) return fixed != 0;
    return compare_literal(a, PyFloat_FromDouble(x), Py_LT, true, loc);
}

Object add(py::handle a, py::handle b, const Location& loc) {
    return steal(checked([&] { return PyNumber_Add(a.ptr(), b.ptr()); }, loc));
}

Object neg(py::handle a, const Location& loc) {
    return steal(checked([&] { return PyNumber_Negative(a.ptr()); }, loc));
}

Object bit_and(py::handle a, long n, const Location& loc) {
    py::object number = steal(PyLong_FromLong(n));
    if (!number) fail_at(loc);
    return steal(checked([&] { return PyNumber_And(a.ptr(), number.ptr()); }, loc));
}

Object rshift(py::handle a, long n, const Location& loc) {
    py::object number = steal(PyLong_FromLong(n));
    if (!number) fail_at(loc);
    return steal(checked([&] { return PyNumber_Rshift(a.ptr(), number.ptr()); }, loc));
}

Object slice(py::handle obj, Py_ssize_t start, Py_ssize_t stop, const Location& loc) {
    py::object from = steal(PyLong_FromSsize_t(start)), to = steal(PyLong_FromSsize_t(stop));
    if (!from || !to) fail_at(loc);
    py::object bounds = steal(PySlice_New(from.ptr(), to.ptr(), nullptr));
    if (!bounds) fail_at(loc);
    return steal(checked([&] { return PyObject_GetItem(obj.ptr(), bounds.ptr()); }, loc));
}

void unpack(py::handle obj, std::initializer_list<Object*> targets, const Location& loc) {
    // UNPACK_SEQUENCE: exact tuples and lists of the right size directly, anything else by
    // iterating, with the interpreter's messages for too few and too many.
    const Py_ssize_t n = static_cast<Py_ssize_t>(targets.size());
    PyObject* o = obj.ptr();
    if ((PyTuple_CheckExact(o) || PyList_CheckExact(o)) && PySequence_Fast_GET_SIZE(o) == n) {
        Py_ssize_t i = 0;
        for (Object* target : targets) *target = borrow(PySequence_Fast_GET_ITEM(o, i++));
        return;
    }
    py::object it = steal(checked([&] { return PyObject_GetIter(o); }, loc));
    Py_ssize_t i = 0;
    for (Object* target : targets) {
        PyObject* next = parking_on_exit([&] { return PyIter_Next(it.ptr()); });
        if (!next) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zd, got %zd)",
                             n, i);
            fail_at(loc);
        }
        *target = steal(next);
        ++i;
    }
    PyObject* extra = parking_on_exit([&] { return PyIter_Next(it.ptr()); });
    if (extra) {
        Py_DECREF(extra);
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", n);
        fail_at(loc);
    }
    if (PyErr_Occurred()) fail_at(loc);
}

/* Text *********************************************************************************/

std::optional<Text> exact_text(py::handle obj) {
    PyObject* s = obj.ptr();
    if (!PyUnicode_CheckExact(s)) return std::nullopt;
    if (compat::unicode_ready(s) < 0) throw py::error_already_set();
    return Text(PyUnicode_DATA(s), PyUnicode_GET_LENGTH(s), PyUnicode_KIND(s));
}

bool is_decimal(std::uint32_t c) noexcept { return Py_UNICODE_ISDECIMAL(static_cast<Py_UCS4>(c)); }

/* Literals and displays ****************************************************************/

Object none() noexcept { return borrow(Py_None); }

Object boolean(bool value) noexcept { return borrow(value ? Py_True : Py_False); }

Object integer(long value, const Location& loc) {
    PyObject* r = PyLong_FromLong(value);
    if (!r) fail_at(loc);
    return steal(r);
}

Object byte_string(const char* text, const Location& loc) {
    PyObject* r = PyBytes_FromString(text);
    if (!r) fail_at(loc);
    return steal(r);
}

Object fstr(std::initializer_list<Piece> pieces, const Location& loc) {
    // 1. Take every piece as a str: exact strs as they are (borrowed from the pieces, which
    //    outlive this call), other values formatted as FORMAT_VALUE formats them (owned).
    // 2. Size the result: total length and the widest character kind.
    // 3. Copy the pieces in, widening narrower ones, as BUILD_STRING does.
    if (pieces.size() == 1) {
        // A lone replacement field is FORMAT_VALUE alone: its result as __format__ gave it.
        const Piece& p = *pieces.begin();
        PyObject* item = p.literal ? make_name(p.literal).str() : p.value.ptr();
        if (PyUnicode_CheckExact(item)) return borrow(item);
        return steal(checked([&] { return PyObject_Format(item, nullptr); }, loc));
    }
    constexpr std::size_t inline_pieces = 16;
    const std::size_t count = pieces.size();
    PyObject* inline_parts[inline_pieces];
    PyObject* inline_owned[inline_pieces];
    std::unique_ptr<PyObject*[]> heap;
    PyObject** parts = inline_parts;
    PyObject** owned = inline_owned;
    if (count > inline_pieces) {
        heap.reset(new PyObject*[2 * count]);
        parts = heap.get();
        owned = parts + count;
    }
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
    bool ascii = true;
    for (const Piece& p : pieces) {
        PyObject* item = p.literal ? make_name(p.literal).str() : p.value.ptr();
        if (!PyUnicode_CheckExact(item)) {  // format(s, "") of an exact str is s itself
            item = checked([&] { return PyObject_Format(item, nullptr); }, loc);
            owned[nowned++] = item;  // a str: PyObject_Format refuses anything else
        }
        if (compat::unicode_ready(item) < 0) fail_at(loc);
        parts[n++] = item;
        length += PyUnicode_GET_LENGTH(item);
        if (ascii && PyUnicode_IS_ASCII(item)) continue;
        ascii = false;
        maxchar = std::max<Py_UCS4>(maxchar, PyUnicode_MAX_CHAR_VALUE(item));
    }
    py::object joined = steal(PyUnicode_New(length, ascii ? 127 : maxchar));
    if (!joined) fail_at(loc);
    if (ascii) {
        // Every piece is compact ASCII, one byte a character, as the result is.
        char* out = static_cast<char*>(PyUnicode_DATA(joined.ptr()));
        for (std::size_t i = 0; i < n; ++i) {
            const Py_ssize_t len = PyUnicode_GET_LENGTH(parts[i]);
            std::memcpy(out, PyUnicode_DATA(parts[i]), static_cast<std::size_t>(len));
            out += len;
        }
        return joined;
    }
    const int kind = PyUnicode_KIND(joined.ptr());
    char* out = static_cast<char*>(PyUnicode_DATA(joined.ptr()));
    Py_ssize_t at = 0;
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* part = parts[i];
        const Py_ssize_t len = PyUnicode_GET_LENGTH(part);
        if (PyUnicode_KIND(part) == kind)
            std::memcpy(out + at * kind, PyUnicode_DATA(part), static_cast<std::size_t>(len) * kind);
        else if (PyUnicode_CopyCharacters(joined.ptr(), at, part, 0, len) < 0)
            fail_at(loc);
        at += len;
    }
    return joined;
}

Object make_dict(std::initializer_list<std::pair<py::handle, py::handle>> entries,
                 const Location& loc) {
    py::object dict = steal(PyDict_New());
    if (!dict) fail_at(loc);
    for (const auto& [key, value] : entries)
        if (parking_on_exit([&] { return PyDict_SetItem(dict.ptr(), key.ptr(), value.ptr()); }) < 0)
            fail_at(loc);
    return dict;
}

Object make_list(std::initializer_list<py::handle> items, const Location& loc) {
    py::object list = steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!list) fail_at(loc);
    Py_ssize_t i = 0;
    for (py::handle value : items) PyList_SET_ITEM(list.ptr(), i++, compat::new_ref(value.ptr()));
    return list;
}

Object make_tuple(std::initializer_list<py::handle> items, const Location& loc) {
    py::object tuple = steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    if (!tuple) fail_at(loc);
    Py_ssize_t i = 0;
    for (py::handle value : items) PyTuple_SET_ITEM(tuple.ptr(), i++, compat::new_ref(value.ptr()));
    return tuple;
}

void list_append(py::handle list, py::handle item, const Location& loc) {
    if (PyList_Append(list.ptr(), item.ptr()) < 0) fail_at(loc);
}

}  // namespace qm
