// function.cpp: the native function type (`__name__`, `__dict__`, `__defaults__`, binding,
// vectorcall) and its creation.
#include "function.hpp"

#include "arguments.hpp"
#include "boundary.hpp"
#include "caches.hpp"
#include "compat.hpp"
#include "frame.hpp"
#include "module.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <pthread.h>
#include <stdexcept>
#include <string>
#include <string_view>
#include <structmember.h>

namespace qm {
using namespace pybind11::literals;

namespace {

/* the C stack *************************************************************************/

// Native frames live on the C stack, which a recursion limit set high (or, from 3.12, any
// limit: Python frames no longer take C stack) does not bound. A call that finds the stack
// nearly used up raises RecursionError instead of overflowing it.
__thread std::uintptr_t stack_floor __attribute__((tls_model("initial-exec"))) = 0;

[[gnu::cold]] bool stack_exhausted_slow(std::uintptr_t here) noexcept {
    if (!stack_floor) {
        pthread_attr_t attr;
        void* low = nullptr;
        std::size_t size = 0;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            if (pthread_attr_getstack(&attr, &low, &size) != 0) size = 0;
            pthread_attr_destroy(&attr);
        }
        // Leave room for the interpreter's own handling of the error and the C code it
        // calls: an eighth of the stack, from 16 KiB to 256 KiB.
        const std::size_t reserve = std::clamp<std::size_t>(size / 8, 16 * 1024, 256 * 1024);
        stack_floor = size > 2 * reserve ? reinterpret_cast<std::uintptr_t>(low) + reserve : 1;
    }
    if (here >= stack_floor) return false;
    PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
    return true;
}

inline bool stack_exhausted() noexcept {
    const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    if (here > stack_floor && stack_floor) [[likely]]
        return false;
    return stack_exhausted_slow(here);
}

FunctionObject* as_function(PyObject* op) { return reinterpret_cast<FunctionObject*>(op); }

/* function object: call ***************************************************************/

PyObject* fn_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                        PyObject* kwnames) noexcept {
    FunctionObject* func = as_function(callable);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* values[max_params];
    PyObject* const* bound = values;
    // As for a Python function, a binding error and the recursion limit strike before the
    // frame exists: the traceback gets no entry for the callee. Every parameter given by
    // position is handed straight through.
    if (!kwnames && nargs == PyTuple_GET_SIZE(func->varnames))
        bound = args;
    else if (bind_arguments(func, args, nargs, kwnames, values) != 0)
        return nullptr;
    // This thread's state, fetched once for the call and its frame.
    PyThreadState* tstate = compat::thread_state_unchecked();
    if (stack_exhausted() || compat::enter_recursion(tstate)) return nullptr;

    // What `values` borrows from the defaults tuple must outlive the call even if the body
    // rebinds __defaults__, and before 3.10 the builtins that the globals name now are held
    // for the call (from 3.10 the function holds its own).
    PyObject* defaults = bound == args ? nullptr : compat::new_ref_or_null(func->defaults);
    PyObject* builtins = compat::function_keeps_builtins ? func->builtins
                                                         : builtins_of(func->globals);
    PyObject* result = nullptr;
    if (builtins) {
        GilStateBinding gil_state;
        Frame frame(func->globals, builtins, func->traceback_name, func->file, func->line, tstate);
        if (!frame.registered) {
            PyErr_NoMemory();
        } else {
            at_c_boundary([&] { result = func->thunk(bound); });
            if (!result) frame.add_traceback();
        }
    }
    if (!compat::function_keeps_builtins) Py_XDECREF(builtins);
    Py_XDECREF(defaults);
    compat::leave_recursion(tstate);
    return result;
}

/* function object: attributes **********************************************************/

int set_str(PyObject** slot, PyObject* value, const char* message) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    Py_INCREF(value);
    Py_SETREF(*slot, value);
    return 0;
}

PyObject* get_or_none(PyObject* value) {
    if (!value) Py_RETURN_NONE;
    Py_INCREF(value);
    return value;
}

PyObject* fn_get_name(PyObject* op, void*) { return get_or_none(as_function(op)->name); }
int fn_set_name(PyObject* op, PyObject* value, void*) {
    return set_str(&as_function(op)->name, value, "__name__ must be set to a string object");
}

PyObject* fn_get_qualname(PyObject* op, void*) { return get_or_none(as_function(op)->qualname); }
int fn_set_qualname(PyObject* op, PyObject* value, void*) {
    return set_str(&as_function(op)->qualname, value,
                   "__qualname__ must be set to a string object");
}

PyObject* fn_get_defaults(PyObject* op, void*) { return get_or_none(as_function(op)->defaults); }
int fn_set_defaults(PyObject* op, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    Py_XINCREF(value);
    Py_XSETREF(as_function(op)->defaults, value);
    return 0;
}

PyObject* fn_get_kwdefaults(PyObject* op, void*) {
    return get_or_none(as_function(op)->kwdefaults);
}
int fn_set_kwdefaults(PyObject* op, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    Py_XINCREF(value);
    Py_XSETREF(as_function(op)->kwdefaults, value);
    return 0;
}

PyObject* fn_get_annotations(PyObject* op, void*) {
    FunctionObject* func = as_function(op);
    if (!func->annotations && !(func->annotations = PyDict_New())) return nullptr;
    Py_INCREF(func->annotations);
    return func->annotations;
}
int fn_set_annotations(PyObject* op, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XINCREF(value);
    Py_XSETREF(as_function(op)->annotations, value);
    return 0;
}

PyObject* fn_get_code(PyObject* op, void*) { return get_or_none(as_function(op)->code); }
PyObject* fn_get_globals(PyObject* op, void*) { return get_or_none(as_function(op)->globals); }
PyObject* fn_get_builtins(PyObject* op, void*) { return get_or_none(as_function(op)->builtins); }

PyGetSetDef fn_getset[] = {
    {"__name__", fn_get_name, fn_set_name, nullptr, nullptr},
    {"__qualname__", fn_get_qualname, fn_set_qualname, nullptr, nullptr},
    {"__defaults__", fn_get_defaults, fn_set_defaults, nullptr, nullptr},
    {"__kwdefaults__", fn_get_kwdefaults, fn_set_kwdefaults, nullptr, nullptr},
    {"__annotations__", fn_get_annotations, fn_set_annotations, nullptr, nullptr},
    {"__code__", fn_get_code, nullptr, nullptr, nullptr},
    {"__globals__", fn_get_globals, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    // Python functions show the builtins they keep from 3.10 on.
    {compat::function_keeps_builtins ? "__builtins__" : nullptr, fn_get_builtins, nullptr,
     nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

/// Functions pickle (and copy) by reference, as Python functions do: the module and the
/// qualified name, under which unpickling finds the same object.
PyObject* fn_reduce(PyObject* op, PyObject*) { return get_or_none(as_function(op)->qualname); }

PyMethodDef fn_methods[] = {
    {"__reduce__", fn_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef fn_members[] = {
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

/* function object: lifetime ************************************************************/

int fn_traverse(PyObject* op, visitproc visit, void* arg) {
    FunctionObject* func = as_function(op);
    Py_VISIT(func->name);
    Py_VISIT(func->qualname);
    Py_VISIT(func->doc);
    Py_VISIT(func->module);
    Py_VISIT(func->dict);
    Py_VISIT(func->defaults);
    Py_VISIT(func->kwdefaults);
    Py_VISIT(func->annotations);
    Py_VISIT(func->globals);
    Py_VISIT(func->builtins);
    Py_VISIT(func->varnames);
    Py_VISIT(func->code);
    Py_VISIT(func->traceback_name);
    return 0;
}

int fn_clear(PyObject* op) {
    FunctionObject* func = as_function(op);
    Py_CLEAR(func->name);
    Py_CLEAR(func->qualname);
    Py_CLEAR(func->doc);
    Py_CLEAR(func->module);
    Py_CLEAR(func->dict);
    Py_CLEAR(func->defaults);
    Py_CLEAR(func->kwdefaults);
    Py_CLEAR(func->annotations);
    Py_CLEAR(func->globals);
    Py_CLEAR(func->builtins);
    Py_CLEAR(func->varnames);
    Py_CLEAR(func->code);
    Py_CLEAR(func->traceback_name);
    return 0;
}

void fn_dealloc(PyObject* op) {
    PyObject_GC_UnTrack(op);
    if (as_function(op)->weakreflist) PyObject_ClearWeakRefs(op);
    fn_clear(op);
    PyObject_GC_Del(op);
}

PyObject* fn_repr(PyObject* op) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(op)->qualname, op);
}

/// Stored in a class, a function becomes a method of its instances.
PyObject* fn_descr_get(PyObject* op, PyObject* obj, PyObject*) {
    if (!obj || obj == Py_None) {
        Py_INCREF(op);
        return op;
    }
    return PyMethod_New(op, obj);
}

PyTypeObject function_type = [] {
    // The header macro initialises the object head only; every other slot starts zeroed.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
    PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop
    t.tp_name = "quaymark_function";
    t.tp_basicsize = sizeof(FunctionObject);
    t.tp_dealloc = fn_dealloc;
    t.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    t.tp_repr = fn_repr;
    t.tp_call = PyVectorcall_Call;
    t.tp_getattro = PyObject_GenericGetAttr;
    t.tp_setattro = PyObject_GenericSetAttr;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR |
                 compat::TPFLAGS_HAVE_VECTORCALL;
    t.tp_traverse = fn_traverse;
    t.tp_clear = fn_clear;
    t.tp_weaklistoffset = offsetof(FunctionObject, weakreflist);
    t.tp_methods = fn_methods;
    t.tp_members = fn_members;
    t.tp_getset = fn_getset;
    t.tp_descr_get = fn_descr_get;
    t.tp_dictoffset = offsetof(FunctionObject, dict);
    return t;
}();

/// A code object that tells inspect the parameters: an empty body whose argument count and
/// variable names are the function's.
py::object describe_parameters(PyObject* varnames, const char* file, const char* name,
                               int line) {
    auto code = py::reinterpret_steal<py::object>(
        reinterpret_cast<PyObject*>(PyCode_NewEmpty(file, name, line)));
    if (!code) throw py::error_already_set();
    const auto n = PyTuple_GET_SIZE(varnames);
    return code.attr("replace")("co_argcount"_a = n, "co_nlocals"_a = n,
                                "co_varnames"_a = py::reinterpret_borrow<py::tuple>(varnames));
}

}  // namespace

bool is_function(PyObject* obj) noexcept { return Py_TYPE(obj) == &function_type; }

bool is_function_of(py::handle obj, Thunk thunk) noexcept {
    return is_function(obj.ptr()) && as_function(obj.ptr())->thunk == thunk;
}

PyObject* builtins_of(PyObject* globals) noexcept {
    PyObject* builtins = PyDict_GetItemWithError(globals, "__builtins__"_id.str());
    if (builtins) {
        if (PyModule_Check(builtins)) builtins = PyModule_GetDict(builtins);
        return compat::new_ref(builtins);
    }
    if (PyErr_Occurred()) return nullptr;
    return compat::fallback_builtins();
}

Object make_function(Thunk thunk, const char* qualname, std::initializer_list<const char*> params,
                     std::size_t arity, FunctionSpec spec, const std::source_location& loc) {
    if (params.size() != arity || arity > static_cast<std::size_t>(max_params))
        throw std::logic_error("parameter names do not match the C++ function");
    if (!(function_type.tp_flags & Py_TPFLAGS_READY))
        if (PyType_Ready(&function_type) < 0) throw py::error_already_set();

    Frame* frame = current_frame();
    if (!frame) throw std::logic_error("functions are defined while a module body runs");
    py::dict globals = py::reinterpret_borrow<py::dict>(frame->globals);
    py::object module_name = globals["__name__"];
    // From 3.10 a function keeps the builtins of its globals at its definition.
    py::object builtins;
    if (compat::function_keeps_builtins) {
        builtins = py::reinterpret_steal<py::object>(builtins_of(frame->globals));
        if (!builtins) throw py::error_already_set();
        detail::Namespace& ns = detail::module_namespace;
        if (frame->globals != ns.dict || builtins.ptr() != ns.builtins)
            ns.functions_keep_its_builtins = false;
    }

    py::str qual(qualname);
    std::string_view q(qualname);
    py::str name(std::string(q.substr(q.rfind('.') == std::string_view::npos ? 0 : q.rfind('.') + 1)));
    py::tuple varnames(params.size());
    std::size_t i = 0;
    for (const char* p : params)
        PyTuple_SET_ITEM(varnames.ptr(), i++, compat::new_ref(make_name(p).str()));
    py::str traceback_name = py::str("{}.{}").format(module_name, qual);
    py::object code = describe_parameters(varnames.ptr(), loc.file_name(),
                                          PyUnicode_AsUTF8(traceback_name.ptr()),
                                          static_cast<int>(loc.line()));
    py::object doc = spec.doc ? py::object(py::str(spec.doc)) : py::object(py::none());
    py::object defaults = std::move(spec.defaults);
    if (defaults && !PyTuple_Check(defaults.ptr()))
        throw std::logic_error("defaults must be a tuple");

    auto* func = PyObject_GC_New(FunctionObject, &function_type);
    if (!func) throw py::error_already_set();
    // No failure from here on: the object is complete before anything else may look at it.
    func->vectorcall = fn_vectorcall;
    func->name = name.release().ptr();
    func->qualname = qual.release().ptr();
    func->doc = doc.release().ptr();
    func->module = module_name.release().ptr();
    func->dict = nullptr;
    func->defaults = defaults ? defaults.release().ptr() : nullptr;
    func->kwdefaults = nullptr;
    func->annotations = nullptr;
    func->globals = globals.release().ptr();
    func->builtins = builtins.release().ptr();
    func->varnames = varnames.release().ptr();
    func->code = code.release().ptr();
    func->traceback_name = traceback_name.release().ptr();
    func->weakreflist = nullptr;
    func->thunk = thunk;
    func->file = loc.file_name();
    func->line = static_cast<int>(loc.line());
    PyObject_GC_Track(func);
    return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(func));
}

}  // namespace qm
