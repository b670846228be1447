// system_unwinder.cpp: C++ unwinding through the system's unwinder where a module links its
// own copy of one statically (the manylinux wheels link LLVM's libc++, libc++abi and libunwind
// into each module).
//
// glibc ends a thread (pthread_exit, which CPython calls for a daemon thread that wants the GIL
// back during finalisation) by forced unwinding with libgcc_s. The personality routine of our
// frames then receives a libgcc_s unwind context, and the static unwinder's accessors cannot
// read it: the process crashes instead of parking the thread. Linked with
// `-Wl,--wrap=_Unwind_<name>` for every name below, all unwinding of a module goes through
// libgcc_s when the process can load it, so that both kinds of unwinding meet one unwinder;
// otherwise through the static copy, as before. The choice is made once, all or nothing, before
// any other initialisation of the module runs.
#include <dlfcn.h>

#include <cstdint>

namespace {

using Exception = void;
using Context = void;
using Reason = int;
using StopFn = Reason (*)(int, int, std::uint64_t, Exception*, Context*, void*);
using TraceFn = Reason (*)(Context*, void*);

}  // namespace

// X(name, return type, parameters, arguments)
#define QM_UNWIND_FUNCTIONS(X)                                                                   \
    X(RaiseException, Reason, (Exception * e), (e))                                              \
    X(Resume, void, (Exception * e), (e))                                                        \
    X(Resume_or_Rethrow, Reason, (Exception * e), (e))                                           \
    X(DeleteException, void, (Exception * e), (e))                                               \
    X(ForcedUnwind, Reason, (Exception * e, StopFn stop, void* arg), (e, stop, arg))             \
    X(GetGR, std::uintptr_t, (Context * c, int i), (c, i))                                       \
    X(SetGR, void, (Context * c, int i, std::uintptr_t v), (c, i, v))                            \
    X(GetIP, std::uintptr_t, (Context * c), (c))                                                 \
    X(GetIPInfo, std::uintptr_t, (Context * c, int* before), (c, before))                        \
    X(SetIP, void, (Context * c, std::uintptr_t v), (c, v))                                      \
    X(GetRegionStart, std::uintptr_t, (Context * c), (c))                                        \
    X(GetLanguageSpecificData, std::uintptr_t, (Context * c), (c))                               \
    X(GetCFA, std::uintptr_t, (Context * c), (c))                                                \
    X(Backtrace, Reason, (TraceFn trace, void* arg), (trace, arg))

#define QM_DECLARE_REAL(name, ret, params, args) ret __real__Unwind_##name params;
extern "C" {
QM_UNWIND_FUNCTIONS(QM_DECLARE_REAL)
}

namespace {

struct Table {
#define QM_MEMBER(name, ret, params, args) ret(*name) params = __real__Unwind_##name;
    QM_UNWIND_FUNCTIONS(QM_MEMBER)
};

Table table;

// Runs before the module's own static initialisers (which run at the default priority) and so
// before anything of the module can throw.
__attribute__((constructor(101))) void use_system_unwinder() {
    void* lib = ::dlopen("libgcc_s.so.1", RTLD_NOW | RTLD_LOCAL);
    if (!lib) return;
    Table system;
    bool complete = true;
#define QM_LOOK_UP(name, ret, params, args)                                                      \
    if (void* fn = ::dlsym(lib, "_Unwind_" #name))                                               \
        system.name = reinterpret_cast<ret(*) params>(fn);                                       \
    else                                                                                         \
        complete = false;
    QM_UNWIND_FUNCTIONS(QM_LOOK_UP)
    // The library stays loaded for the life of the process: glibc holds it too.
    if (complete) table = system;
}

}  // namespace

#define QM_FORWARD(name, ret, params, args)                                                      \
    ret __wrap__Unwind_##name params { return table.name args; }
extern "C" {
QM_UNWIND_FUNCTIONS(QM_FORWARD)
}
