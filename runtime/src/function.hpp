// function.hpp: the layout of native function objects, which behave like Python functions.
#pragma once

#include <Python.h>

#include <qm/define.hpp>

namespace qm {

/// Layout of a native function, modelled field for field on PyFunctionObject.
struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* name;             // str, __name__
    PyObject* qualname;         // str, __qualname__
    PyObject* doc;              // __doc__
    PyObject* module;           // __module__
    PyObject* dict;             // __dict__, created on demand
    PyObject* defaults;         // tuple or NULL, __defaults__
    PyObject* kwdefaults;       // dict or NULL, __kwdefaults__
    PyObject* annotations;      // dict or NULL, __annotations__
    PyObject* globals;          // dict, the defining module's namespace
    PyObject* builtins;         // the builtins of `globals` at the definition (kept from 3.10)
    PyObject* varnames;         // tuple of interned str, the parameters in order
    PyObject* code;             // code object describing the parameters, for inspect
    PyObject* traceback_name;   // str, "module.qualname"
    PyObject* weakreflist;
    Thunk thunk;
    const char* file;           // source file, relative to the project root
    int line;                   // line of the definition
};

/// True for the function objects made here.
bool is_function(PyObject* obj) noexcept;

/// The builtins a frame running in `globals` takes, as the interpreter takes them: the
/// `__builtins__` of `globals` (a module stands for its dict), else what the interpreter
/// falls back to. A new reference, or nullptr with an error set.
PyObject* builtins_of(PyObject* globals) noexcept;

}  // namespace qm
