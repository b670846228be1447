// interned.hpp: interned names, made once per process, with the caches of their uses.
#pragma once

#include "pybind.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace qm {

/// The interned str for a name given as a string literal, looked up by the literal's address.
/// The strings are kept for the life of the process on purpose: they must never be released
/// after the interpreter is gone.
py::handle intern(const char* name);

/// An interned name together with what its uses learnt last time, as the interpreter's
/// specialised instructions keep it inline: the module global it named (valid while the
/// module's namespace is unchanged) and, for attributes, the last type it was looked up on
/// (valid while that type's version tag is unchanged). One per name and module.
struct Name {
    PyObject* str;  // interned, immortal for our purposes

    // Module global: the value the namespace held at `global_stamp` (borrowed: the
    // namespace owns it while the stamp is current).
    mutable std::uint64_t global_stamp = 0;
    mutable PyObject* global_value = nullptr;

    // Attribute: what the type `attr_type` at version `attr_version` holds under this name.
    enum class Class : unsigned char { unknown, nothing, method };
    mutable PyTypeObject* attr_type = nullptr;
    mutable unsigned int attr_version = 0;
    mutable Class attr_class = Class::unknown;
    mutable PyObject* attr_found = nullptr;  // borrowed: the type holds it at that version
    // Where the instances of that type keep it inline (-1: not known yet), and how many
    // names their shared keys had when it was last looked for there in vain.
    mutable int attr_index = -1;
    mutable Py_ssize_t attr_scanned = -1;

    explicit Name(PyObject* s) noexcept : str(s) {}
    Name(const Name&) = delete;
    Name& operator=(const Name&) = delete;

    PyObject* ptr() const noexcept { return str; }
    operator py::handle() const noexcept { return str; }
};

namespace detail {
template <std::size_t N>
struct FixedString {
    char text[N];
    constexpr FixedString(const char (&s)[N]) { std::copy_n(s, N, text); }
};
}  // namespace detail

/// Text fixed at compile time that module code names once, e.g. a URL prefix:
/// `constexpr Literal BASE = "https://...";`, used as `text<BASE>()`.
template <std::size_t N>
using Literal = detail::FixedString<N>;

namespace detail {
template <FixedString S>
struct Made {
    static inline const Name* name = nullptr;
};
template <FixedString S>
[[gnu::noinline, gnu::cold]] const Name& make_text() {
    static const Name name(intern(S.text).ptr());
    Made<S>::name = &name;
    return name;
}
}  // namespace detail

/// The Name of a literal, made on first use and then a single load.
template <detail::FixedString S>
inline const Name& text() {
    if (const Name* name = detail::Made<S>::name) [[likely]]
        return *name;
    return detail::make_text<S>();
}

inline namespace literals {
/// `"name"_id`: the interned name for an attribute, a global, a parameter or a piece of text,
/// made on first use and then a single load, e.g. `attr(self, "version"_id)`.
template <detail::FixedString S>
const Name& operator""_id() {
    return text<S>();
}
}  // namespace literals

}  // namespace qm
