// define.hpp: definitions: native functions, classes, the module itself.
#pragma once

#include "object.hpp"

#include <cstddef>
#include <initializer_list>
#include <source_location>
#include <utility>

namespace qm {

/// The C++ body of a native function: receives the bound arguments (borrowed, one per
/// parameter, defaults already filled in) and returns a new reference or throws.
using Thunk = PyObject* (*)(PyObject* const* args);

/// What a definition says besides the body and its parameters.
struct FunctionSpec {
    Object defaults{};          // a tuple, or empty for none
    const char* doc = nullptr;
};

/// Creates a native function in the module whose body is running now.
Object make_function(Thunk thunk, const char* qualname, std::initializer_list<const char*> params,
                     std::size_t arity, FunctionSpec spec, const std::source_location& loc);

/// True for a function made by `def<F>` (with this F), in whatever name it is found now.
bool is_function_of(py::handle obj, Thunk thunk) noexcept;

namespace detail {
template <typename F>
struct arity;
template <typename... A>
struct arity<Object (*)(A...)> {
    static constexpr std::size_t value = sizeof...(A);
};

template <auto F, std::size_t... I>
PyObject* invoke(PyObject* const* args, std::index_sequence<I...>) {
    return py::object(F(Handle(py::handle(args[I]))...)).release().ptr();
}

template <auto F>
PyObject* thunk(PyObject* const* args) {
    return invoke<F>(args, std::make_index_sequence<arity<decltype(F)>::value>{});
}
}  // namespace detail

/// `def qualname(params...)`: wraps the C++ function F, which takes one Handle per parameter
/// and returns an Object, as a native function of the running module.
template <auto F>
Object def(const char* qualname, std::initializer_list<const char*> params, FunctionSpec spec = {},
           const std::source_location& loc = std::source_location::current()) {
    return make_function(&detail::thunk<F>, qualname, params, detail::arity<decltype(F)>::value,
                         std::move(spec), loc);
}

/// True when `obj` is the function that `def<F>` made (say, not replaced by a patch).
template <auto F>
bool is_def_of(py::handle obj) noexcept {
    return is_function_of(obj, &detail::thunk<F>);
}

/// `class name:` with the given members, in order, in the running module: a class made by
/// `type` with no bases and a namespace holding `__module__`, `__qualname__` and the
/// members. Binds the class under its name.
void make_class(const char* name, std::initializer_list<std::pair<const char*, Object>> members,
                const std::source_location& loc = std::source_location::current());

/// `staticmethod(function)`, with `staticmethod` looked up as the class body sees it.
Object staticmethod(py::handle function,
                    const std::source_location& loc = std::source_location::current());

/// The module body: module-level code, run once in the module's namespace.
using ModuleBody = void (*)();

/// Everything PyInit_<name> needs: the bare module name, its body and its source file.
PyObject* module_init(const char* name, ModuleBody body, const char* file) noexcept;

}  // namespace qm

/// Defines the module's single exported symbol, PyInit_<name>.
#define QM_MODULE(name, body)                                                     \
    extern "C" __attribute__((visibility("default"))) PyObject* PyInit_##name() { \
        return ::qm::module_init(#name, body, __FILE__);                          \
    }
