// classes.hpp: plain classes assembled the way a class statement assembles them.
#pragma once

#include "pybind.hpp"

#include <initializer_list>
#include <source_location>
#include <utility>

namespace qm {

/// `class name:` with the given members, in order, in the running module: the builtin `type`
/// called with no bases and a namespace holding `__module__`, `__qualname__` and the members.
/// Binds the class under its name and returns it.
py::object make_class(const char* name,
                      std::initializer_list<std::pair<const char*, py::object>> members,
                      const std::source_location& loc = std::source_location::current());

/// `staticmethod(function)`, with the builtin type.
py::object staticmethod(py::object function);

}  // namespace qm
