// interned.hpp: interned names, made once per process.
#pragma once

#include "pybind.hpp"

#include <algorithm>
#include <cstddef>

namespace qm {

/// The interned str for a name given as a string literal, looked up by the literal's address.
/// The strings are kept for the life of the process on purpose: they must never be released
/// after the interpreter is gone.
py::handle intern(const char* name);

namespace detail {
template <std::size_t N>
struct FixedString {
    char text[N];
    constexpr FixedString(const char (&s)[N]) { std::copy_n(s, N, text); }
};
}  // namespace detail

inline namespace literals {
/// `"name"_id`: the interned str for an attribute or parameter name, made on first use and
/// then a single load, e.g. `self.attr("version"_id)`.
template <detail::FixedString S>
py::handle operator""_id() {
    static const py::handle name = intern(S.text);
    return name;
}
}  // namespace literals

}  // namespace qm
