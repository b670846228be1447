// scorewarden: the Pylint report checker. Reads a Pylint text report, fails on the first
// message of the error or fatal category and returns the score the report states.
//
// validate_pylint_report reads a report in one of two ways that give the same result: line
// by line, as written (readlines() on the opened text file, then the loop), or, when the
// file would be opened and decoded by the interpreter's own code as UTF-8 or ASCII, by the
// byte scan of report_scan.hpp, which finds the line that ends the reading without making a
// Python object per line and hands that one line to the Python-level method. Whenever the
// scan cannot decide, the line-by-line reading runs, so every exception is the
// interpreter's own.
#include "runtime.hpp"
#include "interned.hpp"
#include "report_reading.hpp"
#include "report_scan.hpp"

#include <optional>
#include <string>

namespace {

using namespace qm;

constexpr const char* SCORE_LINE_STARTS_WITH = "Your code has been rated at";
constexpr const char* ERROR_MESSAGE = "Found error or failure code in pylint code quality report: ";

constexpr const char* VALIDATE_DOC =
    " Analyses a pylint report searching for Error or Failure codes and retrieves the final score ";
constexpr const char* RAISE_DOC = R"(
        Codes correspond to a category of the check:
            C - convention related checks
            R - refactoring related checks
            W - various warnings
            E - errors, for probable bugs in the code
            F - fatal, if an error occurred which prevented pylint from doing further processing.

        e.g of the type of lines that we will receive --> <file_path><file>.py:1:0: C0114: Missing module docstring

        Args:
            line (string): Pylint message to review

        Return:
            Raises ValueError if an Error or a Fatal message was found
        )";

/* Message lines ***********************************************************************/

/// Whether the stripped text of a line, a str whatever its storage, has Pylint's layout of a
/// message about a module named without a path (the rule of report_scan.hpp, which the scan
/// follows too).
bool is_module_message(py::handle stripped) {
    PyObject* s = stripped.ptr();
    if (compat::unicode_ready(s) < 0) throw py::error_already_set();
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    const void* data = PyUnicode_DATA(s);
    auto decimal = [](char32_t c) { return Py_UNICODE_ISDECIMAL(static_cast<Py_UCS4>(c)) != 0; };
    auto layout = [&](const auto* units) { return report_scan::module_message_layout(units, units + n, decimal); };
    switch (PyUnicode_KIND(s)) {
    case PyUnicode_1BYTE_KIND:
        return layout(static_cast<const Py_UCS1*>(data)) != report_scan::Layout::no;
    case PyUnicode_2BYTE_KIND:
        return layout(static_cast<const Py_UCS2*>(data)) != report_scan::Layout::no;
    default:
        return layout(static_cast<const Py_UCS4*>(data)) != report_scan::Layout::no;
    }
}

/* Deciding between the two readings ****************************************************/

py::object Scorewarden_extract_quality_value(py::handle line);
py::object Scorewarden_raise_if_error_or_failure(py::handle line);

bool is_native(py::handle obj, Thunk thunk) {
    return is_function(obj) && reinterpret_cast<FunctionObject*>(obj.ptr())->thunk == thunk;
}

/// The scan request when the scan may stand in for the line-by-line reading: the methods it
/// would call are this module's own, `Path` is pathlib's, and the file is read as the
/// interpreter reads plain text (see report_reading.hpp).
std::optional<report_scan::Request> scan_request(py::handle self, py::handle file_path) {
    try {
        if (Py_TYPE(self.ptr())->tp_getattro != PyObject_GenericGetAttr) return std::nullopt;
        if (!is_native(py::getattr(self, "extract_quality_value"),
                       &detail::thunk<Scorewarden_extract_quality_value>) ||
            !is_native(py::getattr(self, "raise_if_error_or_failure"),
                       &detail::thunk<Scorewarden_raise_if_error_or_failure>))
            return std::nullopt;
        // As the module sees it: a builtin of that name would do only if it were pathlib's.
        if (!global("Path"_id).is(py::module_::import("pathlib").attr("Path"_id)))
            return std::nullopt;
    } catch (py::error_already_set& e) {
        // Running out of recursion or memory is no reason to read another way.
        if (!e.matches(PyExc_Exception) || e.matches(PyExc_RecursionError) ||
            e.matches(PyExc_MemoryError))
            throw;
        return std::nullopt;  // the line-by-line reading meets the same problem, if it matters
    }
    return report_reading::plain_text_request(file_path, global("PYLINT_SCORE_LINE_STARTS_WITH"));
}

/// `with self.file_path.open() as f: content = f.readlines()`, then the loop.
py::object read_line_by_line(py::handle self, py::handle file_path) {
    py::object qa_value = py::str("NA");
    py::object content;
    line();
    // Both calls may block (a FIFO, a slow disk): the interpreter may end this thread meanwhile.
    auto call_method = [](py::handle obj, py::handle name) {
        PyObject* r = parking_on_exit(
            [&] { return PyObject_CallMethodObjArgs(obj.ptr(), name.ptr(), nullptr); });
        if (!r) throw py::error_already_set();
        return py::reinterpret_steal<py::object>(r);
    };
    with(call_method(file_path, "open"_id), [&](py::handle f) {
        line();
        content = call_method(f, "readlines"_id);
    });
    if (!content) {  // __exit__ swallowed the error: `content` was never bound
        line();
        raise(PyExc_UnboundLocalError,
              py::str(compat::unbound_local_message()).attr("replace"_id)("%s", "content"));
    }

    const py::str py_marker(".py:");
    for (py::handle text : content) {
        if (contains(text, global("PYLINT_SCORE_LINE_STARTS_WITH"))) {
            qa_value = self.attr("extract_quality_value"_id)(text);
            break;
        }
        bool message = contains(text, py_marker);
        if (!message) {
            py::object stripped = text.attr("strip"_id)();
            message = PyUnicode_Check(stripped.ptr()) && is_module_message(stripped);
        }
        if (message) self.attr("raise_if_error_or_failure"_id)(text);
    }
    return qa_value;
}

/* class Scorewarden *******************************************************************/

py::object Scorewarden___init__(py::handle self, py::handle report) {
    self.attr("file_path"_id) = global("Path")(report);
    py::object exists = self.attr("file_path"_id).attr("exists"_id);
    if (truth(exists())) return py::none();
    raise(PyExc_FileNotFoundError, fstr({"File ", py::str(self.attr("file_path"_id)), " not found. Current Path: ",
                                         py::str(global("Path").attr("cwd"_id)())}));
}

py::object Scorewarden_validate_pylint_report(py::handle self) {
    line();
    py::object file_path = self.attr("file_path"_id);
    if (std::optional<report_scan::Request> request = scan_request(self, file_path)) {
        line();
        report_scan::Result scan = report_reading::scan_unlocked(*request);
        switch (scan.outcome) {
        case report_scan::Outcome::interrupted:
            throw py::error_already_set();
        case report_scan::Outcome::fallback:
            break;
        case report_scan::Outcome::no_stop:
            return py::str("NA");
        case report_scan::Outcome::stopped: {
            PyObject* decoded = PyUnicode_DecodeUTF8(scan.line.data(),
                                                     static_cast<Py_ssize_t>(scan.line.size()), "strict");
            std::string().swap(scan.line);  // the text alone goes on
            if (!decoded) throw py::error_already_set();
            py::object text = py::reinterpret_steal<py::object>(decoded);
            if (scan.kind == report_scan::LineKind::score) {
                line();
                return self.attr("extract_quality_value"_id)(text);
            }
            line();
            self.attr("raise_if_error_or_failure"_id)(text);
            break;  // it did not raise after all: let the plain reading decide
        }
        }
    }
    line();
    return read_line_by_line(self, file_path);
}

py::object Scorewarden_extract_quality_value(py::handle line) {
    py::object stripped = call_method(line, "strip"_id, global("PYLINT_SCORE_LINE_STARTS_WITH"_id));
    py::object first = item(call_method(stripped, "split"_id, " "_id), 0);
    return item(call_method(first, "split"_id, "/10"_id), 0);
}

py::object Scorewarden_raise_if_error_or_failure(py::handle line) {
    py::object stripped = call_method(line, "strip"_id);
    py::object code;
    if (contains(stripped, ".py:"_id)) {
        py::object after = item(call_method(stripped, "split"_id, ".py:"_id, py::int_(1)), 1);
        code = item(call_method(after, "split"_id, ":"_id), 2);
    } else {
        code = item(call_method(stripped, "split"_id, ":"_id), 3);
    }
    py::list found = make_list({py::bool_(contains(code, "F"_id)), py::bool_(contains(code, "E"_id))});
    if (truth(call(global("any"_id), found))) raise(PyExc_ValueError, add(py::str(ERROR_MESSAGE), code));
    return py::none();
}

/* module body *************************************************************************/

void body() {
    import_from("pathlib", "Path");
    import("sys");
    import("logging");
    global("logging").attr("basicConfig"_id)("stream"_a = global("sys").attr("stdout"_id),
                                          "level"_a = global("logging").attr("INFO"_id));
    set_global("PYLINT_SCORE_LINE_STARTS_WITH", py::str(SCORE_LINE_STARTS_WITH));
    set_global("log", global("logging").attr("getLogger"_id)(global("__name__")));

    make_class("Scorewarden", {
        {"__init__", def<Scorewarden___init__>("Scorewarden.__init__", {"self", "report"})},
        {"validate_pylint_report",
         def<Scorewarden_validate_pylint_report>("Scorewarden.validate_pylint_report", {"self"},
                                                 {.doc = VALIDATE_DOC})},
        {"extract_quality_value",
         staticmethod(def<Scorewarden_extract_quality_value>("Scorewarden.extract_quality_value",
                                                             {"line"}))},
        {"raise_if_error_or_failure",
         staticmethod(def<Scorewarden_raise_if_error_or_failure>(
             "Scorewarden.raise_if_error_or_failure", {"line"}, {.doc = RAISE_DOC}))},
    });
}

}  // namespace

QM_MODULE(scorewarden, body)
