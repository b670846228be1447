// language.hpp: what the language does for module code: names, imports, attributes, calls,
// items, iteration, operators, literals, exceptions and `with`.
//
// Every operation that can run Python code is here, and module code runs Python code through
// nothing else. Each takes the source location of its use, which a traceback entry shows when
// the operation raises.
//
// Order of evaluation: C++ evaluates the operands of a function call in an order it leaves
// open, Python from left to right. So an operation takes at most one operand that is itself
// an expression running Python code (the overloads for two temporaries are deleted), calls
// take their arguments in braces, which C++ evaluates left to right after the callable, and
// anything else is evaluated into a local first, in Python's order.
#pragma once

#include "object.hpp"

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <source_location>
#include <type_traits>
#include <utility>

namespace qm {

using Location = std::source_location;
#define QM_HERE const Location& loc = Location::current()

/* Names and imports *******************************************************************/

/// The module-level name `name` as the running function sees it now: the module's namespace,
/// then the builtins the function runs with; NameError when neither has it.
Object global(const Name& name, QM_HERE);

/// `name = value` at module level.
void set_global(const Name& name, py::handle value, QM_HERE);

/// `import name` in the module body: imports the module and binds it under its name.
void import(const Name& name, QM_HERE);

/// `from module import name` in the module body: binds the attribute under its name.
void import_from(const Name& module, const Name& name, QM_HERE);

/// `import name` inside a function: the module, for a local of the caller's.
Object import_local(const Name& name, QM_HERE);

/* Attributes and calls ****************************************************************/

/// `obj.name`.
Object attr(py::handle obj, const Name& name, QM_HERE);

/// `obj.name = value`.
void set_attr(py::handle obj, const Name& name, py::handle value, QM_HERE);

/// `obj.name` as the callable of a call `obj.name(...)`, looked up before the arguments are
/// evaluated: `method(obj, "name"_id)({args...})`.
Bound method(py::handle obj, const Name& name, QM_HERE);

/// `callable(args...)` for a callable module code got as a parameter.
Object call(py::handle callable, std::initializer_list<Arg> args, QM_HERE);

/* Items and iteration *****************************************************************/

namespace detail {
Object item_slow(py::handle obj, Py_ssize_t index, const Location& loc);
}
/// `obj[index]` for an int index. An exact list is read in place: its items are its own.
inline Object item(py::handle obj, Py_ssize_t index, QM_HERE) {
#if QM_SHORTCUTS
    PyObject* seq = obj.ptr();
    if (PyList_CheckExact(seq) && index >= 0 && index < PyList_GET_SIZE(seq))
        return py::reinterpret_borrow<py::object>(PyList_GET_ITEM(seq, index));
#endif
    return detail::item_slow(obj, index, loc);
}

/// `obj[key]`.
Object item(py::handle obj, py::handle key, QM_HERE);

/// The iteration of a `for` loop: `for (Object x : iterate(obj))` is `for x in obj`.
class Iteration {
public:
    class iterator {
    public:
        explicit iterator(Iteration* owner) noexcept : owner_(owner) {}
        const Object& operator*() const noexcept { return owner_->current_; }
        iterator& operator++() {
            owner_->advance();
            return *this;
        }
        bool operator!=(const iterator&) const noexcept {
            return static_cast<const py::handle&>(owner_->current_).ptr() != nullptr;
        }

    private:
        Iteration* owner_;
    };

    Iteration(py::handle iterable, const Location& loc);
    iterator begin() {
        advance();
        return iterator(this);
    }
    iterator end() { return iterator(this); }

private:
    void advance();
    py::object iterator_;
    Object current_;
    Location loc_;
};
inline Iteration iterate(py::handle iterable, QM_HERE) { return Iteration(iterable, loc); }

/* Operators ***************************************************************************/

/// `bool(value)`, as `if value:` tests it.
bool truth(py::handle value, QM_HERE);

/// `item in container`.
bool contains(py::handle container, py::handle item, QM_HERE);

/// Comparisons, then truth: `a == b`, `a != b`, `a < b`, `a <= b`, `a > b`, `a >= b`.
bool eq(py::handle a, py::handle b, QM_HERE);
bool ne(py::handle a, py::handle b, QM_HERE);
bool lt(py::handle a, py::handle b, QM_HERE);
bool le(py::handle a, py::handle b, QM_HERE);
bool gt(py::handle a, py::handle b, QM_HERE);
bool ge(py::handle a, py::handle b, QM_HERE);

/// Comparisons with a number literal: `a <= 30`, `30 < a`, `-1 <= a`, `a <= 5.0`, `5.0 < a`.
bool le(py::handle a, long n, QM_HERE);
bool lt(long n, py::handle a, QM_HERE);
bool le(long n, py::handle a, QM_HERE);
bool le(py::handle a, double x, QM_HERE);
bool lt(double x, py::handle a, QM_HERE);
bool lt(py::handle a, long n, QM_HERE);
bool eq(py::handle a, long n, QM_HERE);
inline bool le(py::handle a, int n, QM_HERE) { return le(a, static_cast<long>(n), loc); }
inline bool lt(int n, py::handle a, QM_HERE) { return lt(static_cast<long>(n), a, loc); }
inline bool le(int n, py::handle a, QM_HERE) { return le(static_cast<long>(n), a, loc); }

/// `a + b`, `-a`, and `a & n`, `a >> n` with an int literal.
Object add(py::handle a, py::handle b, QM_HERE);
Object neg(py::handle a, QM_HERE);
Object bit_and(py::handle a, long n, QM_HERE);
Object rshift(py::handle a, long n, QM_HERE);

/// `obj[start:stop]` with int bounds.
Object slice(py::handle obj, Py_ssize_t start, Py_ssize_t stop, QM_HERE);

/// `a, b, c = obj`: the `n` items of an iterable that must have exactly that many.
void unpack(py::handle obj, std::initializer_list<Object*> targets, QM_HERE);

// Both operands evaluated in place: Python's order would not be kept.
namespace detail {
template <typename A, typename B>
concept two_temporaries = std::is_same_v<A, Object> && std::is_same_v<B, Object>;
}
#define QM_ONE_TEMPORARY(result, name)                    \
    template <typename A, typename B>                     \
        requires detail::two_temporaries<A, B>            \
    result name(A&&, B&&, QM_HERE) = delete;
QM_ONE_TEMPORARY(bool, contains)
QM_ONE_TEMPORARY(bool, eq)
QM_ONE_TEMPORARY(bool, ne)
QM_ONE_TEMPORARY(bool, lt)
QM_ONE_TEMPORARY(bool, le)
QM_ONE_TEMPORARY(bool, gt)
QM_ONE_TEMPORARY(bool, ge)
QM_ONE_TEMPORARY(Object, add)
#undef QM_ONE_TEMPORARY

/* Literals and displays ***************************************************************/

/// `None`, `True`, `False`, int literals and bytes literals (b"...").
Object none() noexcept;
Object boolean(bool value) noexcept;
Object integer(long value, QM_HERE);
Object byte_string(const char* text, QM_HERE);

/// One piece of an f-string: literal text, or a value formatted as a replacement field
/// with no format spec formats it.
struct Piece {
    Piece(const char* literal) noexcept : literal(literal) {}
    Piece(const Name& text) noexcept : value(text.str()) {}
    Piece(py::handle value) noexcept : value(value) {}

    const char* literal = nullptr;
    py::handle value{};
};

/// f"...": the pieces in order, each formatted, joined.
Object fstr(std::initializer_list<Piece> pieces, QM_HERE);

/// `{key: value, ...}`: the entries in order.
Object make_dict(std::initializer_list<std::pair<py::handle, py::handle>> entries, QM_HERE);

/// `[item, ...]` and `(item, ...)`.
Object make_list(std::initializer_list<py::handle> items, QM_HERE);
Object make_tuple(std::initializer_list<py::handle> items, QM_HERE);

/// What a list display or comprehension does to add an item (not `list.append`).
void list_append(py::handle list, py::handle item, QM_HERE);

/* Text ********************************************************************************/

/// The characters of an exact str, read in place: an exact str's contents are fixed, and no
/// Python code takes part in reading them. Stored as one unit of 1, 2 or 4 bytes per code
/// point; `visit(f)` calls f(first, last) with pointers of the unit's type.
class Text {
public:
    Text(const void* data, Py_ssize_t length, int unit) noexcept
        : data_(data), length_(length), unit_(unit) {}
    template <typename F>
    decltype(auto) visit(F&& f) const {
        switch (unit_) {
        case 1: {
            const auto* p = static_cast<const std::uint8_t*>(data_);
            return f(p, p + length_);
        }
        case 2: {
            const auto* p = static_cast<const std::uint16_t*>(data_);
            return f(p, p + length_);
        }
        default: {
            const auto* p = static_cast<const std::uint32_t*>(data_);
            return f(p, p + length_);
        }
        }
    }

private:
    const void* data_;
    Py_ssize_t length_;
    int unit_;
};

/// The characters of `obj` when it is an exact str; nothing for anything else.
std::optional<Text> exact_text(py::handle obj);

/// Whether `c` is a decimal digit, as str.isdecimal() has it.
bool is_decimal(std::uint32_t c) noexcept;

/* Statements **************************************************************************/

/// Stands before a statement that uses none of the operations here, so that a traceback
/// entry shows it: records the line after its own.
void line(QM_HERE);

/// What the interpreter raises when a local is read before anything is bound to it.
[[noreturn]] void unbound_local(const Name& name, QM_HERE);

/// `raise exception`: an exception instance, or a class, which is called with no arguments.
[[noreturn]] void raise(py::handle exception, QM_HERE);

/// The error `e` leaves again, as it was caught.
[[noreturn]] void rethrow(Error& e);

/// The error that an operation left pending (a signal handler's, say) leaves.
[[noreturn]] void rethrow_pending();

/// `except type` around the error `e`: whether it matches, as the interpreter decides (a
/// type that is no exception class is a TypeError).
bool matches(const Error& e, py::handle type, QM_HERE);

/// The block of `except ... as e:`. While it lives, the caught exception is the one being
/// handled: sys.exc_info() and logging's exception() see it, and an exception raised
/// meanwhile gets it as its context. Its traceback starts at the handling function, as in
/// Python. The previous state comes back when the block ends.
class Handling {
public:
    explicit Handling(Error& caught);
    ~Handling();
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

    /// The exception object, `e`.
    Handle exception() const noexcept { return value_; }

    /// A bare `raise`: the exception leaves again, as it came in.
    [[noreturn]] void reraise() const;

private:
    py::object type_, value_, trace_, original_trace_;
    py::object saved_type_, saved_value_, saved_trace_;
};

/// One `with` block: entered on construction, left by `exit()` or `exit_with()`.
class WithBlock {
public:
    /// Looks up __enter__ and __exit__ on the manager's type, as the interpreter does, and
    /// enters: `value()` is what `as` binds.
    explicit WithBlock(py::handle manager);
    WithBlock(const WithBlock&) = delete;
    WithBlock& operator=(const WithBlock&) = delete;

    Handle value() const noexcept { return value_; }

    /// The block finished: __exit__(None, None, None).
    void exit();

    /// The block raised `e`: __exit__ gets the exception and sees it as the one being
    /// handled. Returns when __exit__ swallowed it; otherwise the exception leaves unchanged,
    /// or the one __exit__ raised, chained to it.
    void exit_with(Error& e);

private:
    py::object exit_;
    py::object value_;
};

namespace detail {
void reached(const Location& loc) noexcept;
/// Parks this thread for good when what a catch-all caught is the interpreter ending it.
void park_if_ending() noexcept;
}  // namespace detail

/// `with manager as value: body(value)`. True when the body ran to its end, false when it
/// raised and __exit__ swallowed the exception (what the body would have bound is unbound).
template <typename Body>
bool with(py::handle manager, Body&& body, QM_HERE) {
    detail::reached(loc);
    WithBlock block(manager);
    try {
        std::forward<Body>(body)(block.value());
    } catch (Error& e) {
        // The traceback keeps the line that raised.
        block.exit_with(e);
        return false;
    } catch (...) {
        detail::park_if_ending();
        throw;
    }
    block.exit();
    return true;
}

#undef QM_HERE

}  // namespace qm
