// caches.hpp: what the runtime remembers between uses of a name, and the namespace whose
// changes decide when a remembered global still holds.
#pragma once

#include "compat.hpp"

#include <qm/object.hpp>

#include <cstdint>

namespace qm::detail {

/// The caches of one Name, kept in its storage. Each entry says under which condition it
/// holds; the runtime checks that condition at every use before trusting the entry.
struct NameCaches {
    enum class Kind : unsigned char { unknown, nothing, method };
    struct Layout {
        // Global: the value a lookup found while the namespace stamp was `global_stamp`
        // (borrowed: the module's namespace or its builtins hold it while the stamp holds).
        std::uint64_t global_stamp;
        PyObject* global_value;
        // Attribute: what `type` held under the name while its version tag was `version`
        // (borrowed: the type holds it while it keeps that tag), and where its instances
        // keep the name among their inline values (-1: not known), with the number of
        // shared keys when it was last looked for there in vain.
        PyTypeObject* type;
        PyObject* found;
        unsigned int version;
        Kind kind;
        int index;
        Py_ssize_t scanned;
    };
    static_assert(sizeof(Layout) <= sizeof(Name::caches_));

    static Layout& of(const Name& name) noexcept {
        return *reinterpret_cast<Layout*>(name.caches_);
    }
};

/// This module's namespace and the builtins dict it named when its body began, whose
/// global lookups are cached (each module links its own copy of the runtime), with what
/// tells their changes: the count of changes of watched dicts from 3.12 (one watcher that
/// the modules share), the dicts' version tags before.
struct Namespace {
    PyObject* dict = nullptr;      // a strong reference, deliberately never released
    PyObject* builtins = nullptr;  // likewise
    const std::uint64_t* changes = nullptr;  // while both dicts are watched
    // From 3.10: every function defined in the namespace keeps `builtins` (a function keeps
    // the builtins of its globals at its definition; the module body runs with them too).
    bool functions_keep_its_builtins = true;

    /// Differs after any change of either dict; 0 when changes cannot be told.
    std::uint64_t stamp() const noexcept {
        if (changes) return *changes + 1;
        if constexpr (compat::dict_watchers) return 0;
        const std::uint64_t own = compat::dict_version(dict);
        const std::uint64_t theirs = builtins ? compat::dict_version(builtins) : 0;
        // Both tags come from one counter that grows with every change of any dict, so the
        // larger one grows with every change of either.
        return own > theirs ? own : theirs;
    }
};
extern Namespace module_namespace;

/// Sets the namespace up for the module body about to run in `globals`, whose builtins
/// dict is `builtins` (or nullptr).
void enter_namespace(PyObject* globals, PyObject* builtins) noexcept;

}  // namespace qm::detail
