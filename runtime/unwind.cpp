// unwind.cpp: parking a thread that the interpreter ends at exit.
#include "unwind.hpp"

#include <unistd.h>

namespace qm {

void abandon_thread() noexcept {
    // The interpreter is going away and this thread must never touch it again; signals
    // may still wake pause(), so sleep again.
    for (;;) ::pause();
}

}  // namespace qm
