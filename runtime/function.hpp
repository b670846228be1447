// function.hpp: native function objects that behave like Python functions.
#pragma once

#include "pybind.hpp"
#include "frame.hpp"

#include <cstddef>
#include <initializer_list>
#include <source_location>
#include <utility>

namespace qm {

/// The C++ body of a native function: receives the bound arguments (borrowed, one per
/// parameter, defaults already filled in) and returns a new reference or throws.
using Thunk = PyObject* (*)(PyObject* const* args);

/// Layout of a native function, modelled field for field on PyFunctionObject.
struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* name;             // str, __name__
    PyObject* qualname;         // str, __qualname__
    PyObject* doc;              // __doc__
    PyObject* module;           // __module__
    PyObject* dict;             // __dict__, created on demand
    PyObject* defaults;         // tuple or NULL, __defaults__
    PyObject* kwdefaults;       // dict or NULL, __kwdefaults__
    PyObject* annotations;      // dict or NULL, __annotations__
    PyObject* globals;          // dict, the defining module's namespace
    PyObject* varnames;         // tuple of interned str, the parameters in order
    PyObject* code;             // code object describing the parameters, for inspect
    PyObject* traceback_name;   // str, "module.qualname"
    PyObject* weakreflist;
    Thunk thunk;
    const char* file;           // source file, relative to the project root
    int line;                   // line of the definition
};

/// What a definition says besides the body and its parameters.
struct FunctionSpec {
    py::object defaults{};      // a tuple, or empty for none
    const char* doc = nullptr;
};

/// Creates a native function in the module whose body (or function) is running now.
py::object make_function(Thunk thunk, const char* qualname,
                         std::initializer_list<const char*> params, std::size_t arity,
                         FunctionSpec spec, const std::source_location& loc);

/// True for the function objects made here.
bool is_function(py::handle obj) noexcept;

namespace detail {
template <typename F>
struct arity;
template <typename... A>
struct arity<py::object (*)(A...)> {
    static constexpr std::size_t value = sizeof...(A);
};

template <auto F, std::size_t... I>
PyObject* invoke(PyObject* const* args, std::index_sequence<I...>) {
    return F(py::handle(args[I])...).release().ptr();
}

template <auto F>
PyObject* thunk(PyObject* const* args) {
    return invoke<F>(args, std::make_index_sequence<arity<decltype(F)>::value>{});
}
}  // namespace detail

/// `def qualname(params...)`: wraps the C++ function F, which takes one py::handle per
/// parameter and returns a py::object, as a native function of the running module.
template <auto F>
py::object def(const char* qualname, std::initializer_list<const char*> params,
               FunctionSpec spec = {},
               const std::source_location& loc = std::source_location::current()) {
    return make_function(&detail::thunk<F>, qualname, params, detail::arity<decltype(F)>::value,
                         std::move(spec), loc);
}

}  // namespace qm
