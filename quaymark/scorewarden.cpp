// scorewarden: the Pylint report checker. Reads a Pylint text report, fails on the first
// message of the error or fatal category and returns the score the report states.
//
// validate_pylint_report opens the report as written, with `self.file_path.open()` in a
// `with` block, and then reads it in one of two ways that give the same result: line by line
// (readlines() on the opened text file, then the loop), or, when readlines() and the loop
// would run only the interpreter's and this module's own code on a regular file decoded as
// UTF-8 or ASCII, by the byte scan of report_scan.hpp over the file's descriptor, which finds
// the line that ends the loop without making a Python object per line and hands that one line
// to the method the loop would call. Whenever the scan cannot decide, readlines() reads the
// same open file from its start, so every exception is the interpreter's own.
#include "runtime.hpp"
#include "interned.hpp"
#include "report_reading.hpp"
#include "report_scan.hpp"

#include <optional>
#include <string>
#include <utility>

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

/* Reading the report ******************************************************************/

py::object Scorewarden_extract_quality_value(py::handle line);
py::object Scorewarden_raise_if_error_or_failure(py::handle line);

bool is_native(py::handle obj, Thunk thunk) {
    return is_function(obj) && reinterpret_cast<FunctionObject*>(obj.ptr())->thunk == thunk;
}

/// `self.name` is this module's own function with that body, found without running code.
bool own_method(py::handle self, const Name& name, Thunk thunk) {
    py::object found;
    return report_reading::plain_attribute(self, name, found) && found && is_native(found, thunk);
}

/// The score prefix when the loop over the lines may be left to the scan: the methods the loop
/// calls through `self` are this module's own functions, `any`, which raise_if_error_or_failure
/// calls for every message line, is the builtin (as that function finds it: the module's
/// globals, then the builtins), and the prefix is a global. Empty otherwise. Runs no code.
py::object loop_shortcut(py::handle self) {
    if (!own_method(self, "extract_quality_value"_id, &detail::thunk<Scorewarden_extract_quality_value>) ||
        !own_method(self, "raise_if_error_or_failure"_id, &detail::thunk<Scorewarden_raise_if_error_or_failure>))
        return {};
    try {
        if (!report_reading::is_builtin(global("any"_id), "any")) return {};
        return global("PYLINT_SCORE_LINE_STARTS_WITH"_id);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_NameError)) throw;
        return {};  // the loop meets the NameError itself
    }
}

/// `self.extract_quality_value(line)`, as the loop calls it.
py::object quality_value(py::handle self, py::handle text) {
    return call_method(self, "extract_quality_value"_id, text);
}

/// `self.raise_if_error_or_failure(line)`, as the loop calls it.
void check_message(py::handle self, py::handle text) { call_method(self, "raise_if_error_or_failure"_id, text); }

/// What the loop over the lines of the report comes to: its value, or its exception.
struct LoopOutcome {
    py::object value;
    std::optional<py::error_already_set> error;
};

/// The outcome of `content = f.readlines()` and the loop over `content`, found by the scan
/// without reading `f`, when the scan may stand in for both (`f` comes from an opening that
/// returns it unread); nothing when `f` must be read line by line, which then starts from the
/// beginning. Called inside the `with` block.
///
/// The preconditions are checked again after the scan, which let signal handlers run, and
/// nothing runs between that check and their use: the loop's one call, on the line that ends
/// it, is made here, before the file is closed. That call is this module's own function, which
/// neither sees the file nor runs code; its exception is handed on for after the closing, as
/// the loop, after the `with` block, would raise it.
std::optional<LoopOutcome> scan_in_place(py::handle self, py::handle f) {
    py::object prefix = loop_shortcut(self);
    if (!prefix) return std::nullopt;
    std::optional<report_scan::Request> request = report_reading::in_place_request(f, prefix);
    if (!request) return std::nullopt;
    report_scan::Result scan = report_reading::scan_unlocked(*request);
    if (scan.outcome == report_scan::Outcome::interrupted) throw py::error_already_set();
    if (scan.outcome == report_scan::Outcome::fallback) return std::nullopt;
    if (!loop_shortcut(self).is(prefix) || !report_reading::in_place_request(f, prefix)) return std::nullopt;

    LoopOutcome outcome;
    if (scan.outcome == report_scan::Outcome::no_stop) {
        outcome.value = py::reinterpret_borrow<py::object>("NA"_id);
        return outcome;
    }
    py::str text = report_reading::stop_line(scan);
    std::string().swap(scan.line);  // the text alone goes on
    if (scan.kind == report_scan::LineKind::score) {
        outcome.value = quality_value(self, text);
        return outcome;
    }
    try {
        check_message(self, text);
    } catch (py::error_already_set& e) {
        outcome.error = std::move(e);
        return outcome;
    }
    return std::nullopt;  // it passed after all: the loop decides
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
    py::object qa_value = py::reinterpret_borrow<py::object>("NA"_id);
    line();
    py::object file_path = attr(self, "file_path"_id);
    // Whether the file that open() returns comes back unread, for the scan to read in place.
    const bool unread = report_reading::opens_unread(file_path);
    std::optional<LoopOutcome> scanned;
    py::object content;
    with(call_method(file_path, "open"_id), [&](py::handle f) {
        line();
        if (unread) scanned = scan_in_place(self, f);  // for the next line and the loop
        if (scanned) return;
        line();
        content = call_method(f, "readlines"_id);
    });
    if (scanned) {
        if (scanned->error) {
            scanned->error->restore();
            throw py::error_already_set();
        }
        return scanned->value;
    }
    if (!content) {  // __exit__ swallowed the error: `content` was never bound
        line();
        raise(PyExc_UnboundLocalError,
              py::str(compat::unbound_local_message()).attr("replace"_id)("%s", "content"));
    }

    for (py::handle text : content) {
        if (contains(text, global("PYLINT_SCORE_LINE_STARTS_WITH"_id))) {
            qa_value = quality_value(self, text);
            break;
        }
        bool message = contains(text, ".py:"_id);
        if (!message) {
            py::object stripped = call_method(text, "strip"_id);
            message = report_reading::is_module_message(stripped);
        }
        if (message) check_message(self, text);
    }
    return qa_value;
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
