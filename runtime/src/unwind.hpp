// unwind.hpp: native code in a thread that the interpreter ends at exit.
#pragma once

#include <utility>

namespace qm {

/// Up to CPython 3.13, a daemon thread that wants the GIL back once finalisation has begun is
/// ended with pthread_exit. Its forced unwinding runs the C++ clean-ups of every native frame
/// on the way out with no GIL held, and any of them that touches a Python object may crash
/// the process. Native code that meets that unwinding parks the thread here for good
/// instead, as CPython 3.14 does; the process then exits as the same Python code would.
[[noreturn]] void abandon_thread() noexcept;

/// Parks the thread when what a catch (...) handler caught is that unwinding. It is told
/// apart by the thread having no thread state: the interpreter ends the thread before it
/// makes its state current again, and every exception of ours is thrown with the GIL held.
/// (libstdc++ also gives the unwinding a type of its own, but its exception object is null,
/// and binding a reference to it is undefined.) Only for threads that run Python code.
void park_if_ending() noexcept;

/// Runs `call`, a raw C-API call that may run Python code (and so give up the GIL), and parks
/// the thread if the interpreter ends it meanwhile. Nothing inside `call` may own a Python
/// object: no clean-up of ours must run during that unwinding.
template <typename Call>
decltype(auto) parking_on_exit(Call&& call) {
    try {
        return std::forward<Call>(call)();
    } catch (...) {
        // A raw C-API call throws nothing else.
        abandon_thread();
    }
}

}  // namespace qm
