// ops.hpp: what the language does for module code: global names, formatting, truth,
// comparisons, raising.
#pragma once

#include "pybind.hpp"
#include "frame.hpp"
#include "compat.hpp"
#include "interned.hpp"

#include <cstdint>
#include <initializer_list>
#include <source_location>
#include <utility>

namespace qm {

/// The module-level name `name` as the running function sees it now: the module's namespace
/// first, then the builtins; NameError when neither has it.
py::object global(const char* name,
                  const std::source_location& loc = std::source_location::current());

/// Sets NameError for the module-level `name` that neither the module nor the builtins have,
/// as the interpreter words and fills it.
[[gnu::cold]] void set_name_error(PyObject* name) noexcept;
namespace detail {
/// This module's namespace and its builtins, whose names `global(Name)` caches: set by the
/// module's exec slot before the body runs (each module links its own copy of the runtime),
/// with what tells their changes: a dict watcher's count from 3.12, the dicts' version tags
/// before (drawn from one counter that grows with every change of any dict, so the larger
/// of the two grows with every change of either).
struct Namespace {
    PyObject* dict = nullptr;      // a strong reference, deliberately never released
    PyObject* builtins = nullptr;  // the builtins dict of `dict` at the start, likewise
    bool watched = false;
    std::uint64_t generation = 1;  // bumped by the watchers on every change

    /// Differs after any change of the namespace or its builtins; 0 when changes cannot be
    /// told.
    std::uint64_t stamp() const {
        if (watched) return generation;
        const std::uint64_t own = compat::dict_version(dict);
        const std::uint64_t theirs = builtins ? compat::dict_version(builtins) : 0;
        return own > theirs ? own : theirs;
    }
};
extern Namespace module_namespace;

void enter_namespace(PyObject* globals) noexcept;
py::object global_lookup(const Name& name, const std::source_location& loc);
}  // namespace detail

/// The same for a name made once (`global("requests"_id)`): the value found last time is
/// used again while neither the module's namespace nor its builtins have changed since, so
/// a rebound or deleted global, or a builtin replaced or shadowed, is seen at once.
inline py::object global(const Name& name,
                         const std::source_location& loc = std::source_location::current()) {
    const detail::Namespace& ns = detail::module_namespace;
    if (ns.dict) {
        const std::uint64_t stamp = ns.stamp();
        if (stamp != 0 && stamp == name.global_stamp)
            return py::reinterpret_borrow<py::object>(name.global_value);
    }
    return detail::global_lookup(name, loc);
}

/// Binds `name` in the running module's namespace (a module-level assignment).
void set_global(const char* name, py::handle value,
                const std::source_location& loc = std::source_location::current());

/// `import name`: imports the module and binds it under its name.
py::object import(const char* name,
                  const std::source_location& loc = std::source_location::current());

/// `from module import name`: binds the attribute under its name.
py::object import_from(const char* module, const char* name,
                       const std::source_location& loc = std::source_location::current());

/// Stands before a statement that touches no other helper (a call through pybind11 alone),
/// so that a traceback entry shows that statement: records the line after its own.
inline void line(const std::source_location& loc = std::source_location::current()) {
    if (Frame* f = current_frame()) f->line = static_cast<int>(loc.line()) + 1;
}

/// One piece of an interpolated string: literal text, or a value formatted as a
/// replacement field with an empty format spec formats it.
struct Piece {
    Piece(const char* literal) : literal(literal) {}
    Piece(const Name& text) : value(text.ptr()) {}
    Piece(py::handle value) : value(value) {}
    Piece(const py::object& value) : value(value) {}
    template <typename T>
    Piece(const py::detail::accessor<T>& value) : held(value), value(held) {}

    const char* literal = nullptr;  // a string literal: interned once, by address
    py::object held{};
    py::handle value{};
};

/// f"...": joins the pieces, formatting each value with format(value, ""), on the stack as
/// the interpreter's BUILD_STRING does.
py::str fstr(std::initializer_list<Piece> pieces,
           const std::source_location& loc = std::source_location::current());

/// `bool(value)`.
bool truth(py::handle value,
           const std::source_location& loc = std::source_location::current());

/// `item in container`.
bool contains(py::handle container, py::handle item,
           const std::source_location& loc = std::source_location::current());

/// Rich comparisons with the interpreter's semantics, then truth: `a < b` and so on.
bool lt(py::handle a, py::handle b,
           const std::source_location& loc = std::source_location::current());
bool le(py::handle a, py::handle b,
           const std::source_location& loc = std::source_location::current());
bool eq(py::handle a, py::handle b,
           const std::source_location& loc = std::source_location::current());

/// `a <= n` and `n < a` against an int literal: exact ints and floats compare in C, anything
/// else through the interpreter's comparison with the int object.
bool le(py::handle a, long n,
        const std::source_location& loc = std::source_location::current());
bool lt(long n, py::handle a,
        const std::source_location& loc = std::source_location::current());

/// `{key: value, ...}`: a new dict with the entries in order.
py::dict make_dict(std::initializer_list<std::pair<py::handle, py::handle>> entries,
                   const std::source_location& loc = std::source_location::current());

/// `[item, ...]`: a new list of the items, filled in place.
py::list make_list(std::initializer_list<py::handle> items,
                   const std::source_location& loc = std::source_location::current());

namespace detail {
py::object item_slow(py::handle sequence, Py_ssize_t index, const std::source_location& loc);
}
/// `sequence[index]` for an int index; exact lists are read directly.
inline py::object item(py::handle sequence, Py_ssize_t index,
                       const std::source_location& loc = std::source_location::current()) {
    PyObject* seq = sequence.ptr();
    if (PyList_CheckExact(seq) && index >= 0 && index < PyList_GET_SIZE(seq))
        return py::reinterpret_borrow<py::object>(PyList_GET_ITEM(seq, index));
    return detail::item_slow(sequence, index, loc);
}

/// `a + b`.
py::object add(py::handle a, py::handle b,
           const std::source_location& loc = std::source_location::current());

/// `float(value)` as a C double.
double to_float(py::handle value,
           const std::source_location& loc = std::source_location::current());

/// `raise type(message)`; the traceback entry shows the line of the call.
[[noreturn]] void raise(PyObject* type, py::handle message,
                        const std::source_location& loc = std::source_location::current());

/// `raise exception` for an exception instance already built (or a class, which is called).
[[noreturn]] void raise(py::handle exception,
                        const std::source_location& loc = std::source_location::current());

/// True when the pending Python exception in `e` is an instance of `type`.
bool matches(const py::error_already_set& e, py::handle type);

}  // namespace qm
