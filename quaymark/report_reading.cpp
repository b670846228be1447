// How the interpreter reads a report file as text (see report_reading.hpp).
#include "report_reading.hpp"

#include "runtime.hpp"

#include <fcntl.h>

#include <string>

namespace qm::report_reading {
namespace {

py::object sys_module(const char* name) {
    return py::module_::import("sys").attr("modules"_id)[py::str(name)];
}

/// `obj` is a Python function of the module `module` (one of `modules`) with this
/// qualified name, compiled from that module's own file.
bool own_function(py::handle obj, std::initializer_list<const char*> modules, const char* qualname) {
    if (!PyFunction_Check(obj.ptr())) return false;
    py::object module_name = obj.attr("__module__"_id);
    if (!py::isinstance<py::str>(module_name)) return false;
    const std::string module = module_name.cast<std::string>();
    bool known = false;
    for (const char* name : modules) known = known || module == name;
    if (!known || !eq(py::object(obj.attr("__qualname__"_id)), py::str(qualname))) return false;
    py::object source = sys_module(module.c_str());
    return eq(py::object(obj.attr("__code__"_id).attr("co_filename"_id)),
              py::object(source.attr("__file__"_id)));
}

/// `obj` is the built-in function `name` of the built-in module `module` (by import name).
bool builtin_of(py::handle obj, const char* module, const char* name) {
    if (!PyCFunction_Check(obj.ptr())) return false;
    PyObject* self = PyCFunction_GET_SELF(obj.ptr());
    return self && self == py::module_::import(module).ptr() &&
           std::string(reinterpret_cast<PyCFunctionObject*>(obj.ptr())->m_ml->ml_name) == name;
}

/// `file_path.open()` is pathlib's own, for a plain path of this platform, and everything it
/// calls to open the file is the interpreter's.
bool opens_as_pathlib(py::handle file_path) {
    py::module_ pathlib = py::module_::import("pathlib");
    auto* type = Py_TYPE(file_path.ptr());
    if (reinterpret_cast<PyObject*>(type) != pathlib.attr("PosixPath"_id).ptr() &&
        reinterpret_cast<PyObject*>(type) != pathlib.attr("WindowsPath"_id).ptr())
        return false;
    if (type->tp_dictoffset != 0) return false;
    py::object cls = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(type));
    py::object open = cls.attr("open"_id);
    const auto modules = {"pathlib", "pathlib._local"};
    if (!own_function(open, modules, "Path.open")) return false;
    // Path.open calls io.open (through an accessor on some versions, with an opener that
    // calls os.open on others).
    py::object io = open.attr("__globals__"_id)[py::str("io")];
    if (!io.is(sys_module("io")) || !builtin_of(io.attr("open"_id), "_io", "open")) return false;
    if (py::hasattr(file_path, "_closed") && truth(file_path.attr("_closed"))) return false;
    if (py::hasattr(cls, "_opener") && !own_function(cls.attr("_opener"), modules, "Path._opener"))
        return false;
    if (py::hasattr(file_path, "_accessor")) {
        py::object accessor_open = file_path.attr("_accessor").attr("open"_id);
        if (!builtin_of(accessor_open, "_io", "open") && !builtin_of(accessor_open, "posix", "open"))
            return false;
    }
    return true;
}

/// The encoding the text file of `path.open()` decodes with, as the codec's name; empty
/// when finding it would run code that is not the interpreter's own.
std::string default_encoding() {
    py::object sys = py::module_::import("sys");
    if (truth(py::getattr(sys.attr("flags"_id), "warn_default_encoding", py::int_(0)))) return {};
    py::object io = sys_module("io");
    py::object encoding;
    if (py::hasattr(io, "text_encoding")) {
        // Path.open passes io.text_encoding(None), "locale" or "utf-8"; the text file takes
        // the locale's encoding from the interpreter itself.
        py::object text_encoding = io.attr("text_encoding");
        if (!builtin_of(text_encoding, "_io", "text_encoding")) return {};
        encoding = text_encoding(py::none());
        if (eq(encoding, py::str("locale"))) {
            py::object locale = py::module_::import("_locale");
            const char* name = py::hasattr(locale, "getencoding") ? "getencoding" : "_get_locale_encoding";
            py::object get = py::getattr(locale, name, py::none());
            if (!builtin_of(get, "_locale", name)) return {};
            encoding = get();
        }
    } else {
        // The text file asks _bootlocale.getpreferredencoding(False).
        py::object bootlocale = py::module_::import("_bootlocale");
        py::object get = bootlocale.attr("getpreferredencoding");
        if (!own_function(get, {"_bootlocale"}, "getpreferredencoding")) return {};
        encoding = get(false);
    }
    py::object name = py::module_::import("codecs").attr("lookup"_id)(encoding).attr("name"_id);
    if (!py::isinstance<py::str>(name)) return {};
    return name.cast<std::string>();
}

bool is_decimal(std::uint32_t code_point) { return Py_UNICODE_ISDECIMAL(static_cast<Py_UCS4>(code_point)) != 0; }

bool run_signal_handlers(void* context) {
    auto* state = static_cast<PyThreadState**>(context);
    parking_on_exit([&] { PyEval_RestoreThread(*state); });
    const bool ok = PyErr_CheckSignals() == 0;
    *state = PyEval_SaveThread();
    return ok;
}

}  // namespace

std::optional<report_scan::Request> plain_text_request(py::handle file_path, py::handle prefix) {
    bool audit_failed = false;
    try {
        if (!opens_as_pathlib(file_path)) return std::nullopt;
        const std::string encoding = default_encoding();
        if (encoding != "utf-8" && encoding != "ascii") return std::nullopt;

        report_scan::Request request;
        request.ascii = encoding == "ascii";
        request.is_decimal = is_decimal;
        if (!PyUnicode_CheckExact(prefix.ptr())) return std::nullopt;
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(prefix.ptr(), &size);
        if (!utf8) throw py::error_already_set();
        request.prefix.assign(utf8, static_cast<size_t>(size));
        if (request.prefix.empty() || request.prefix.find_first_of("\r\n") != std::string::npos)
            return std::nullopt;

        PyObject* fspath = PyOS_FSPath(file_path.ptr());
        if (!fspath) throw py::error_already_set();
        py::object text = py::reinterpret_steal<py::object>(fspath);
        if (!PyUnicode_Check(text.ptr())) return std::nullopt;
        PyObject* encoded = PyUnicode_EncodeFSDefault(text.ptr());
        if (!encoded) throw py::error_already_set();
        py::bytes raw = py::reinterpret_steal<py::bytes>(encoded);
        request.path.assign(PyBytes_AS_STRING(raw.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(raw.ptr())));
        if (request.path.empty() || request.path.find('\0') != std::string::npos) return std::nullopt;
        // The event the interpreter's own opening of the file raises.
        if (PySys_Audit("open", "Osi", file_path.ptr(), "r", O_RDONLY | O_CLOEXEC) < 0) {
            audit_failed = true;
            throw py::error_already_set();
        }
        return request;
    } catch (py::error_already_set& e) {
        if (audit_failed) throw;  // an audit hook refused the opening
        // Running out of recursion, memory or patience is no reason to read another way.
        if (!e.matches(PyExc_Exception) || e.matches(PyExc_RecursionError) ||
            e.matches(PyExc_MemoryError))
            throw;
        return std::nullopt;      // the line-by-line reading meets the same problem, if it matters
    }
}

report_scan::Result scan_unlocked(report_scan::Request& request) {
    PyThreadState* state = PyEval_SaveThread();
    request.poll = run_signal_handlers;
    request.poll_context = &state;
    report_scan::Result result = report_scan::scan(request);
    // Taking the GIL back at exit parks the thread.
    parking_on_exit([&] { PyEval_RestoreThread(state); });
    return result;
}

}  // namespace qm::report_reading
