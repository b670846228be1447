// unwind.cpp: parking a thread that the interpreter ends at exit.
#include "unwind.hpp"

#include "compat.hpp"

#include <unistd.h>

namespace qm {

void abandon_thread() noexcept {
    // The interpreter is going away and this thread must never touch it again; signals
    // may still wake pause(), so sleep again.
    for (;;) ::pause();
}

void park_if_ending() noexcept {
    if (!compat::thread_state_unchecked()) abandon_thread();
}

}  // namespace qm
