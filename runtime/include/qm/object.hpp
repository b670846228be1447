// object.hpp: the values module code holds: references to Python objects, interned names and
// the arguments of a call.
#pragma once

// Keeps pybind11 from setting up its internals (and a builtins entry) when a caught
// error_already_set is destroyed: the modules use its object API only.
#ifndef PYBIND11_SIMPLE_GIL_MANAGEMENT
#define PYBIND11_SIMPLE_GIL_MANAGEMENT
#endif
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstddef>
#include <initializer_list>
#include <source_location>
#include <utility>

namespace qm {

namespace py = pybind11;

/// A Python exception on its way out of native code (it holds the error until restored).
using Error = py::error_already_set;

/* Names *******************************************************************************/

namespace detail {
struct NameCaches;
}

/// An interned str that module code names: an attribute, a global, a keyword or a piece of
/// text. Its uses remember what they found last time, in storage that only the runtime reads,
/// and only after checking at use that what it found still holds.
class Name {
public:
    explicit Name(PyObject* s) noexcept : str_(s) {}
    Name(const Name&) = delete;
    Name& operator=(const Name&) = delete;

    /// The interned str, immortal for our purposes: it is never released.
    PyObject* str() const noexcept { return str_; }
    operator py::handle() const noexcept { return str_; }

private:
    friend struct detail::NameCaches;
    PyObject* str_;
    alignas(8) mutable unsigned char caches_[64] = {};
};

/// The Name of `text`, made once per process and kept for good.
const Name& make_name(const char* text);

namespace detail {
template <std::size_t N>
struct FixedString {
    char text[N];
    constexpr FixedString(const char (&s)[N]) { std::copy_n(s, N, text); }
};
template <FixedString S>
struct Made {
    static inline const Name* name = nullptr;
};
template <FixedString S>
[[gnu::noinline, gnu::cold]] const Name& make_text() {
    const Name& name = make_name(S.text);
    Made<S>::name = &name;
    return name;
}
}  // namespace detail

/// Text fixed at compile time that module code names once, e.g. a URL prefix:
/// `constexpr Literal BASE = "https://...";`, used as `text<BASE>()`.
template <std::size_t N>
using Literal = detail::FixedString<N>;

/// The Name of a literal, made on first use and then a single load.
template <detail::FixedString S>
inline const Name& text() {
    if (const Name* name = detail::Made<S>::name) [[likely]]
        return *name;
    return detail::make_text<S>();
}

inline namespace literals {
/// `"name"_id`: the Name of an attribute, a global, a keyword or a piece of text.
template <detail::FixedString S>
const Name& operator""_id() {
    return text<S>();
}
}  // namespace literals

/* References **************************************************************************/

struct Arg;

// What pybind11's object API offers that runs Python code behind the runtime's back (calls,
// attribute and item access, iteration, operators, conversions) or counts references by
// hand is out of module code's reach: module code goes through the runtime's operations.
#define QM_RUNTIME_ONLY                                                       \
    template <typename... A> void attr(A&&...) const = delete;                \
    template <typename K> void operator[](K&&) const = delete;                \
    void begin() const = delete;                                              \
    void end() const = delete;                                                \
    template <typename... A> void cast(A&&...) const = delete;                \
    template <typename T> void contains(T&&) const = delete;                  \
    template <typename... A> void call(A&&...) const = delete;                \
    template <typename T> void equal(T&&) const = delete;                     \
    template <typename T> void not_equal(T&&) const = delete;                 \
    template <typename T> void operator==(T&&) const = delete;                \
    template <typename T> void operator!=(T&&) const = delete;                \
    template <typename T> void operator<(T&&) const = delete;                 \
    template <typename T> void operator<=(T&&) const = delete;                \
    template <typename T> void operator>(T&&) const = delete;                 \
    template <typename T> void operator>=(T&&) const = delete;                \
    template <typename T> void operator+(T&&) const = delete;                 \
    template <typename T> void operator-(T&&) const = delete;                 \
    template <typename T> void operator*(T&&) const = delete;                 \
    template <typename T> void operator/(T&&) const = delete;                 \
    template <typename T> void operator|(T&&) const = delete;                 \
    template <typename T> void operator&(T&&) const = delete;                 \
    template <typename T> void operator^(T&&) const = delete;                 \
    template <typename T> void operator<<(T&&) const = delete;                \
    template <typename T> void operator>>(T&&) const = delete;                \
    template <typename T> void operator+=(T&&) = delete;                      \
    void operator-() const = delete;                                          \
    void operator~() const = delete;                                          \
    void operator*() const = delete;                                          \
    void str() const = delete;                                                \
    void doc() const = delete;                                                \
    void annotations() const = delete;                                        \
    void ref_count() const = delete;                                          \
    void inc_ref() const = delete;                                            \
    void dec_ref() const = delete;                                            \
    void release() = delete;                                                  \
    void ptr() const = delete;                                                \
    explicit operator bool() const = delete;

/// A borrowed reference, as module code gets its parameters.
class Handle : public py::handle {
public:
    Handle() = default;
    Handle(const py::handle& h) noexcept : py::handle(h) {}
    Handle(const Name& name) noexcept : py::handle(name.str()) {}
    QM_RUNTIME_ONLY
};

/// An owned reference, as module code holds values. Calling one runs the callable as the
/// language does, the arguments given in braces and evaluated left to right after the
/// callable, as Python evaluates them: `global("float"_id)({value})`.
class Object : public py::object {
public:
    Object() = default;
    Object(const py::object& o) : py::object(o) {}
    Object(py::object&& o) noexcept : py::object(std::move(o)) {}
    Object(const Handle& h) : py::object(py::reinterpret_borrow<py::object>(h)) {}
    explicit Object(const Name& name)
        : py::object(py::reinterpret_borrow<py::object>(name.str())) {}

    Object operator()(std::initializer_list<Arg> args,
                      const std::source_location& loc = std::source_location::current()) const;
    QM_RUNTIME_ONLY
};

#undef QM_RUNTIME_ONLY

/* Call arguments **********************************************************************/

/// A keyword argument: `kw("headers"_id, value)` stands for `headers=value`.
struct Keyword {
    const Name& name;
    py::handle value;
};
inline Keyword kw(const Name& name, py::handle value) { return {name, value}; }

/// One argument of a call, positional or keyword. It refers to its value without owning
/// it: the value is a local or a temporary of the same full expression, which outlives the
/// call.
struct Arg {
    Arg(py::handle value) noexcept : value(value.ptr()) {}
    Arg(const Name& text) noexcept : value(text.str()) {}
    Arg(const Keyword& k) noexcept : value(k.value.ptr()), keyword(k.name.str()) {}

    PyObject* value;
    PyObject* keyword = nullptr;
};

/// A method looked up for a call (`obj.name` before the arguments of `obj.name(...)` are
/// evaluated): the function and the instance it is called with, or the bound attribute.
/// It lives only within the expression that calls it, `method(response, "json"_id)({})`,
/// where the instance is held by the caller: it holds the function only (and not even that
/// when a builtin type holds it, whose attributes never change).
class Bound {
public:
    Bound(PyObject* callable, bool owned, PyObject* self) noexcept
        : callable_(callable), owned_(owned), self_(self) {}
    Bound(const Bound&) = delete;
    Bound& operator=(const Bound&) = delete;
    ~Bound() {
        if (owned_) Py_DECREF(callable_);
    }

    Object operator()(std::initializer_list<Arg> args,
                      const std::source_location& loc = std::source_location::current()) &&;

private:
    PyObject* callable_;
    bool owned_;
    PyObject* self_;  // nullptr when callable_ is the bound attribute itself
};

}  // namespace qm
