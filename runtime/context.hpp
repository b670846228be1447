// context.hpp: the `with` statement.
#pragma once

#include "pybind.hpp"
#include "frame.hpp"
#include "unwind.hpp"

#include <source_location>
#include <utility>

namespace qm {

/// One `with` block: entered on construction, left by `exit()` or `exit_with()`.
class WithBlock {
public:
    /// Looks up __enter__ and __exit__ on the manager's type, as the interpreter does, and
    /// enters: `value()` is what `as` binds.
    explicit WithBlock(py::handle manager);
    WithBlock(const WithBlock&) = delete;
    WithBlock& operator=(const WithBlock&) = delete;

    py::handle value() const { return value_; }

    /// The block finished: __exit__(None, None, None).
    void exit();

    /// The block raised `e`: __exit__ gets the exception as it is (with no traceback, None)
    /// and sees it as the one being handled. Returns when __exit__ swallowed it; otherwise
    /// the exception leaves unchanged, or the one __exit__ raised, chained to it.
    void exit_with(py::error_already_set& e);

private:
    py::object exit_;
    py::object value_;
};

/// `with manager as value: body(value)`. True when the body ran to its end, false when it
/// raised and __exit__ swallowed the exception (what the body would have bound is unbound).
template <typename Body>
bool with(py::handle manager, Body&& body,
          const std::source_location& loc = std::source_location::current()) {
    reached(loc);
    WithBlock block(manager);
    try {
        std::forward<Body>(body)(block.value());
    }
    QM_PARK_ON_FORCED_UNWIND  // the interpreter ends this thread at exit: nothing more may run
    catch (py::error_already_set& e) {
        // The traceback keeps the line that raised.
        block.exit_with(e);
        return false;
    } catch (...) {
        park_if_ending();
        throw;
    }
    block.exit();
    return true;
}

}  // namespace qm
