// files.cpp: text files as the interpreter opens and reads them (see qm/files.hpp).
//
// Every test here reads what the interpreter itself would use (sys.modules, module
// namespaces, class MROs, the objects' own fields) through C-API calls that run no Python
// code: a test that ran code could change what it tests, or be seen by the code it ran.
#include "compat.hpp"
#include "frame.hpp"
#include "unwind.hpp"

#include <qm/files.hpp>
#include <qm/language.hpp>

#include <unistd.h>

#include <cstring>
#include <utility>

namespace qm {
namespace {

py::object borrowed(PyObject* obj) { return py::reinterpret_borrow<py::object>(obj); }

/// The module that sys.modules holds under `name`, if it is a plain module; empty otherwise.
py::object loaded_module(const char* name) {
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    if (!modules || !PyDict_CheckExact(modules)) return {};
    PyObject* module = PyDict_GetItemWithError(modules, make_name(name).str());  // borrowed
    if (!module) {
        if (PyErr_Occurred()) throw py::error_already_set();
        return {};
    }
    return PyModule_CheckExact(module) ? borrowed(module) : py::object();
}

/// What the namespace `dict` holds under `name`, or empty.
py::object dict_member(PyObject* dict, const char* name) {
    PyObject* value = PyDict_GetItemWithError(dict, make_name(name).str());  // borrowed
    if (!value && PyErr_Occurred()) throw py::error_already_set();
    return value ? borrowed(value) : py::object();
}

/// What the plain module `module` holds under `name`, as `module.name` finds it; or empty.
py::object module_member(py::handle module, const char* name) {
    if (!module || !PyModule_CheckExact(module.ptr())) return {};
    return dict_member(PyModule_GetDict(module.ptr()), name);
}

/// A check met an error. Running out of memory goes on as it is; anything else only means
/// that the scan does not stand in: the line-by-line reading meets the problem, if it matters.
bool cannot_tell() {
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) throw py::error_already_set();
    PyErr_Clear();
    return false;
}

bool str_is(PyObject* s, const char* text) {
    return s && PyUnicode_Check(s) && PyUnicode_CompareWithASCIIString(s, text) == 0;
}

/// Whether `obj` is the built-in function `name` that the module sys.modules holds under
/// `module` made from its own table of functions (which Python code cannot imitate).
bool builtin_of(py::handle obj, const char* module, const char* name) {
    if (!obj || !PyCFunction_Check(obj.ptr())) return false;
    auto* function = reinterpret_cast<PyCFunctionObject*>(obj.ptr());
    py::object owner = loaded_module(module);
    if (!owner || function->m_self != owner.ptr()) return false;
    PyModuleDef* def = PyModule_GetDef(owner.ptr());
    if (!def) return cannot_tell();
    for (PyMethodDef* entry = def->m_methods; entry && entry->ml_name; ++entry)
        if (entry == function->m_ml) return std::strcmp(entry->ml_name, name) == 0;
    return false;
}

/// Whether `obj` is the function `qualname` that the module sys.modules holds under `module`
/// defined for itself: a Python function with the module's namespace as its globals, with
/// that qualified name, compiled from the module's own source (its file, or the frozen copy
/// the interpreter carries).
bool own_function(PyObject* obj, const char* module, const char* qualname) {
    if (!obj || !PyFunction_Check(obj)) return false;
    py::object owner = loaded_module(module);
    if (!owner || PyFunction_GET_GLOBALS(obj) != PyModule_GetDict(owner.ptr())) return false;
    if (!str_is(reinterpret_cast<PyFunctionObject*>(obj)->func_qualname, qualname)) return false;
    const auto* code = reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(obj));
    const char* dot = std::strrchr(qualname, '.');
    if (!str_is(code->co_name, dot ? dot + 1 : qualname)) return false;
    PyObject* filename = code->co_filename;
    if (!filename || !PyUnicode_Check(filename)) return false;
    py::object file = module_member(owner, "__file__");
    if (file && PyUnicode_Check(file.ptr()) && PyUnicode_Compare(filename, file.ptr()) == 0) return true;
    auto frozen = py::reinterpret_steal<py::object>(PyUnicode_FromFormat("<frozen %s>", module));
    if (!frozen) throw py::error_already_set();
    return PyUnicode_Compare(filename, frozen.ptr()) == 0;
}

/// Whether getting `found`, what a class holds under an attribute's name, as that attribute
/// runs no Python code: it is no descriptor, or one of the interpreter's whose getting is C.
/// (A classmethod is left out: it hands the getting on to what it wraps.)
bool plain_descriptor(PyObject* found) {
    if (!found) return true;
    PyTypeObject* type = Py_TYPE(found);
    return !type->tp_descr_get || type == &PyFunction_Type || type == &PyStaticMethod_Type ||
           type == &PyMemberDescr_Type || type == &PyGetSetDescr_Type || type == &PyMethodDescr_Type ||
           type == &PyWrapperDescr_Type || type == &PyClassMethodDescr_Type;
}

/// Path.open's own defaults: mode "r", buffering -1, encoding, errors and newline None.
bool open_defaults(PyObject* function) {
    PyObject* defaults = PyFunction_GET_DEFAULTS(function);
    if (PyFunction_GET_KW_DEFAULTS(function) || !defaults || !PyTuple_CheckExact(defaults) ||
        PyTuple_GET_SIZE(defaults) != 5)
        return false;
    PyObject* mode = PyTuple_GET_ITEM(defaults, 0);
    PyObject* buffering = PyTuple_GET_ITEM(defaults, 1);
    int overflow = 0;
    return PyUnicode_CheckExact(mode) && str_is(mode, "r") && PyLong_CheckExact(buffering) &&
           PyLong_AsLongAndOverflow(buffering, &overflow) == -1 && overflow == 0 &&
           PyTuple_GET_ITEM(defaults, 2) == Py_None && PyTuple_GET_ITEM(defaults, 3) == Py_None &&
           PyTuple_GET_ITEM(defaults, 4) == Py_None;
}

/// `Py_TYPE(obj)` is the type that `module` holds under `name`.
bool exactly(py::handle obj, py::handle module, const char* name) {
    py::object type = module_member(module, name);
    return obj && type && reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr())) == type.ptr();
}

/// What `cls` (or a base) holds under `name`, along its MRO; borrowed from the class, so only
/// for use before anything else runs.
PyObject* class_member(PyTypeObject* cls, const char* name) { return _PyType_Lookup(cls, make_name(name).str()); }

/// Whether a decoder of the class `cls`, made by calling the class and used through
/// `decoder.decode(...)`, works as the interpreter's own incremental decoders do: made by
/// `type` and object.__new__, attributes read and written the generic way, and `errors` and
/// `buffer`, which its methods keep in the instance, not caught by a class's data descriptor.
bool plain_decoder_class(PyObject* obj) {
    if (!obj || Py_TYPE(obj) != &PyType_Type) return false;
    auto* cls = reinterpret_cast<PyTypeObject*>(obj);
    if (cls->tp_new != PyBaseObject_Type.tp_new || cls->tp_getattro != PyObject_GenericGetAttr ||
        cls->tp_setattro != PyObject_GenericSetAttr)
        return false;
    for (const char* kept : {"errors", "buffer"}) {
        PyObject* found = class_member(cls, kept);
        if (found && Py_TYPE(found)->tp_descr_set) return false;
    }
    return true;
}

/// Whether `__init__` of `cls` is codecs' IncrementalDecoder.__init__, which keeps `errors`.
bool keeps_errors(PyTypeObject* cls) {
    return own_function(class_member(cls, "__init__"), "codecs", "IncrementalDecoder.__init__");
}

/// How the incremental decoder class `obj` decodes: false for strict UTF-8 (the interpreter's
/// UTF-8 decoder: codecs' BufferedIncrementalDecoder over _codecs.utf_8_decode), true for
/// strict ASCII (that of encodings.ascii, over _codecs.ascii_decode); nothing when it would
/// decode another way or run other code. The text file passes "strict" as `errors`.
std::optional<bool> own_decoding(PyObject* obj) {
    if (!plain_decoder_class(obj)) return std::nullopt;
    auto* cls = reinterpret_cast<PyTypeObject*>(obj);
    PyObject* decode = class_member(cls, "decode");
    if (own_function(decode, "codecs", "BufferedIncrementalDecoder.decode")) {
        // BufferedIncrementalDecoder.__init__ calls codecs' IncrementalDecoder.__init__ by the
        // global name, then starts `buffer`; decode() hands self._buffer_decode the input.
        if (!own_function(class_member(cls, "__init__"), "codecs", "BufferedIncrementalDecoder.__init__"))
            return std::nullopt;
        PyObject* init_globals = PyFunction_GET_GLOBALS(class_member(cls, "__init__"));
        py::object base = dict_member(init_globals, "IncrementalDecoder");
        if (!base || Py_TYPE(base.ptr()) != &PyType_Type ||
            !keeps_errors(reinterpret_cast<PyTypeObject*>(base.ptr())))
            return std::nullopt;
        if (!builtin_of(class_member(cls, "_buffer_decode"), "_codecs", "utf_8_decode"))
            return std::nullopt;
        return false;
    }
    if (own_function(decode, "encodings.ascii", "IncrementalDecoder.decode")) {
        // decode() calls codecs.ascii_decode, `codecs` a global of encodings.ascii.
        if (!keeps_errors(cls)) return std::nullopt;
        py::object codecs = dict_member(PyFunction_GET_GLOBALS(decode), "codecs");
        if (!builtin_of(module_member(codecs, "ascii_decode"), "_codecs", "ascii_decode")) return std::nullopt;
        return true;
    }
    return std::nullopt;
}


/// What `obj.name` is, found without running code: true with `value` set (empty when there is
/// no such attribute), false when the look-up could run code.
bool plain_attribute(py::handle obj, PyObject* name, py::object& value) {
    PyTypeObject* type = Py_TYPE(obj.ptr());
    if (type->tp_getattro != PyObject_GenericGetAttr ||
        !plain_descriptor(compat::type_lookup(type, name)))
        return false;
    PyObject* found = PyObject_GetAttr(obj.ptr(), name);
    if (!found) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return cannot_tell();
        PyErr_Clear();
        value = py::object();
        return true;
    }
    value = py::reinterpret_steal<py::object>(found);
    return true;
}

bool plain_attribute(py::handle obj, const Name& name, py::object& value) {
    return plain_attribute(obj, name.str(), value);
}

}  // namespace

std::optional<Object> plain_attr(py::handle obj, const Name& name) {
    py::object value;
    if (!plain_attribute(obj, name, value)) return std::nullopt;
    return Object(std::move(value));
}

namespace {
/// The interpreter's own exception class `name`: static types, one object each.
PyObject* builtin_class(const char* name) {
    static const std::pair<const char*, PyObject**> classes[] = {
        {"ValueError", &PyExc_ValueError},
        {"IndexError", &PyExc_IndexError},
        {"NameError", &PyExc_NameError},
    };
    for (const auto& [class_name, type] : classes)
        if (std::strcmp(class_name, name) == 0) return *type;
    return nullptr;
}
}  // namespace

bool is_builtin(py::handle obj, const char* name) {
    if (PyObject* type = builtin_class(name)) return obj.ptr() == type;
    return builtin_of(obj, "builtins", name);
}

bool is_builtin_error(const Error& e, const char* name) {
    PyObject* type = builtin_class(name);
    return type && PyErr_GivenExceptionMatches(e.type().ptr(), type);
}

bool shortcuts_taken() noexcept { return shortcuts; }

std::optional<std::string> utf8_of(py::handle text) {
    if (!PyUnicode_CheckExact(text.ptr())) return std::nullopt;
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!utf8) {
        cannot_tell();
        return std::nullopt;
    }
    return std::string(utf8, static_cast<std::size_t>(size));
}

bool opens_unread(py::handle path) {
    // path.open: pathlib's Path.open (pathlib._local's from 3.13), bound to the path.
    py::object open;
    if (!plain_attribute(path, "open"_id, open) || !open || !PyMethod_Check(open.ptr()) ||
        PyMethod_GET_SELF(open.ptr()) != path.ptr())
        return false;
    PyObject* function = PyMethod_GET_FUNCTION(open.ptr());
    if (!own_function(function, "pathlib", "Path.open") &&
        !own_function(function, "pathlib._local", "Path.open"))
        return false;
    if (!open_defaults(function)) return false;
    // It opens with io.open, or, where pathlib has accessors, with its accessor's open; the
    // opener it may pass to io.open only makes the descriptor.
    py::object io = dict_member(PyFunction_GET_GLOBALS(function), "io");
    if (!builtin_of(module_member(io, "open"), "_io", "open")) return false;
    py::object accessor;
    if (!plain_attribute(path, "_accessor"_id, accessor)) return false;
    if (accessor) {
        py::object accessor_open;
        if (!plain_attribute(accessor, "open"_id, accessor_open)) return false;
        if (!builtin_of(accessor_open, "_io", "open") && !builtin_of(accessor_open, "posix", "open"))
            return false;
    }
    return true;
}

std::optional<PlainTextFile> plain_text_file(py::handle file) {
    // The layers io.open makes for reading text, exactly.
    py::object io = loaded_module("_io");
    py::object buffer, raw, encoding, errors, info, decoder;
    if (!exactly(file, io, "TextIOWrapper") || !plain_attribute(file, "buffer"_id, buffer) ||
        !exactly(buffer, io, "BufferedReader") || !plain_attribute(buffer, "raw"_id, raw) ||
        !exactly(raw, io, "FileIO"))
        return std::nullopt;

    // Nothing has been read from the descriptor: it is still at offset 0. (A FIFO has no
    // offset; a reading in place would not read one anyway.)
    const int fd = PyObject_AsFileDescriptor(raw.ptr());
    if (fd < 0 && !cannot_tell()) return std::nullopt;
    if (::lseek(fd, 0, SEEK_CUR) != 0) return std::nullopt;

    // Decoded strictly, by the decoder the codec registry holds for the file's encoding: the
    // text file took it from there when it was made, and the registry keeps what it found.
    if (!plain_attribute(file, "errors"_id, errors) || !errors ||
        !PyUnicode_CheckExact(errors.ptr()) || !str_is(errors.ptr(), "strict"))
        return std::nullopt;
    if (!plain_attribute(file, "encoding"_id, encoding) || !encoding ||
        !PyUnicode_CheckExact(encoding.ptr()))
        return std::nullopt;
    py::object codecs_lookup = module_member(loaded_module("_codecs"), "lookup");
    if (!builtin_of(codecs_lookup, "_codecs", "lookup")) return std::nullopt;
    PyObject* found = PyObject_CallFunctionObjArgs(codecs_lookup.ptr(), encoding.ptr(), nullptr);
    if (!found && !cannot_tell()) return std::nullopt;
    info = py::reinterpret_steal<py::object>(found);
    if (!plain_attribute(info, "incrementaldecoder"_id, decoder) || !decoder) return std::nullopt;
    const std::optional<bool> ascii = own_decoding(decoder.ptr());
    if (!ascii) return std::nullopt;
    return PlainTextFile{fd, *ascii};
}

Object utf8_text(std::string_view bytes) {
    PyObject* text =
        PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "strict");
    if (!text) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(text);
}

WithoutGil::WithoutGil() noexcept : state_(PyEval_SaveThread()) {}

WithoutGil::~WithoutGil() {
    // Taking the lock back at exit parks the thread.
    parking_on_exit([&] { PyEval_RestoreThread(state_); });
}

bool WithoutGil::poll() noexcept {
    parking_on_exit([&] { PyEval_RestoreThread(state_); });
    const bool ok = PyErr_CheckSignals() == 0;
    state_ = PyEval_SaveThread();
    return ok;
}

}  // namespace qm
