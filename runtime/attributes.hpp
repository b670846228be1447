// attributes.hpp: attribute reads and writes and method calls, the way the interpreter's
// specialised instructions make them: no bound method, no str made per call, and the
// instance dict read directly while the type holds nothing of that name.
#pragma once

#include "pybind.hpp"
#include "frame.hpp"
#include "interned.hpp"

#include <cstddef>
#include <source_location>
#include <type_traits>

namespace qm {

/// `obj.name`.
py::object attr(py::handle obj, const Name& name,
                const std::source_location& loc = std::source_location::current());

/// `obj.name = value`.
void set_attr(py::handle obj, const Name& name, py::handle value,
              const std::source_location& loc = std::source_location::current());

/// A keyword argument of a call: `kw("headers"_id, value)` stands for `headers=value`.
struct Keyword {
    const Name& name;
    py::handle value;
};
inline Keyword kw(const Name& name, py::handle value) { return {name, value}; }

namespace detail {
/// Calls `callable(*args)` (or, with `method`, `args[0].method(*args[1:])`) with vectorcall;
/// `args` has one free slot before it. Returns a new reference, or throws.
py::object vectorcall(PyObject* callable, const Name* method, PyObject** args, std::size_t nargs,
                      PyObject* const* kwnames, std::size_t nkw, const std::source_location& loc);

template <typename... A>
py::object call(PyObject* callable, const Name* method, py::handle self, const A&... args,
                const std::source_location& loc) {
    constexpr std::size_t nkw = (std::size_t{0} + ... + std::is_same_v<A, Keyword>);
    constexpr std::size_t n = sizeof...(A);
    // [free slot, self?, positional..., keyword values...]
    PyObject* stack[n + 2];
    PyObject* names[nkw + 1] = {};
    std::size_t at = 1, kw_at = 0;
    if (self) stack[at++] = self.ptr();
    auto place_positional = [&](const auto& arg) {
        if constexpr (!std::is_same_v<std::decay_t<decltype(arg)>, Keyword>)
            stack[at++] = py::handle(arg).ptr();
    };
    auto place_keyword = [&](const auto& arg) {
        if constexpr (std::is_same_v<std::decay_t<decltype(arg)>, Keyword>) {
            names[kw_at++] = arg.name.ptr();
            stack[at++] = arg.value.ptr();
        }
    };
    (place_positional(args), ...);
    (place_keyword(args), ...);
    (void)place_positional;  // unused when there are no arguments
    (void)place_keyword;
    return vectorcall(callable, method, stack + 1, at - 1 - nkw, names, nkw, loc);
}
}  // namespace detail

/// A method name, with the place of the call for the traceback line.
struct MethodAt {
    const Name& name;
    std::source_location loc;
    MethodAt(const Name& name, const std::source_location& loc = std::source_location::current())
        : name(name), loc(loc) {}
};

/// A callable, with the place of the call for the traceback line.
struct CalleeAt {
    py::handle callable;
    std::source_location loc;
    template <typename T>
    CalleeAt(const T& callable, const std::source_location& loc = std::source_location::current())
        : callable(callable), loc(loc) {}
};

/// `obj.name(args...)`, keyword arguments last as `kw(...)`, without a bound method.
template <typename... A>
py::object call_method(py::handle obj, MethodAt name, const A&... args) {
    return detail::call<A...>(nullptr, &name.name, obj, args..., name.loc);
}

/// `callable(args...)`, keyword arguments last as `kw(...)`, with vectorcall.
template <typename... A>
py::object call(CalleeAt callable, const A&... args) {
    return detail::call<A...>(callable.callable.ptr(), nullptr, py::handle(), args...,
                              callable.loc);
}

}  // namespace qm
