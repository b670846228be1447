// scorewarden: the Pylint report checker. Reads a Pylint text report, fails on the first
// message of the error or fatal category and returns the score the report states.
//
// validate_pylint_report opens the report as written, with `self.file_path.open()` in a
// `with` block, and then reads it in one of two ways that give the same result: line by line
// (readlines() on the opened text file, then the loop), or, when readlines() and the loop
// would run only the interpreter's and this module's own code on a regular file decoded as
// UTF-8 or ASCII, by the byte scan of report_scan/ over the file's descriptor, which finds the
// line that ends the loop without making a Python object per line and hands that one line to
// the method the loop would call. Whenever the scan cannot decide, readlines() reads the same
// open file from its start, so every exception is the interpreter's own.
#include "qm/runtime.hpp"
#include "report_scan/report_scan.hpp"

#include <optional>
#include <string>
#include <utility>

namespace {

using namespace qm;

constexpr Literal ERROR_MESSAGE = "Found error or failure code in pylint code quality report: ";

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

/// `_is_module_message(text)`: whether a stripped line has Pylint's layout of a message about
/// a module named without a path (the engine's rule, which the scan follows too). An exact str
/// is read in place; anything else is asked as the same steps in Python would ask it:
///     module, colon, rest = text.partition(":")
///     if not module or not colon: return False
///     number, colon, rest = rest.partition(":")       (twice: line, then column)
///     if not colon or not number.isdecimal(): return False
///     letter, digits = rest[1:2], rest[2:6]
///     return (rest.startswith(" ") and letter.isascii() and letter.isupper()
///             and digits.isdecimal() and rest.startswith(": ", 6))
bool is_module_message(Handle text) {
    if (std::optional<Text> chars = exact_text(text)) {
        return chars->visit([](const auto* first, const auto* last) {
            return report_scan::module_message_layout(first, last, [](char32_t c) {
                       return is_decimal(c);
                   }) != report_scan::Layout::no;
        });
    }
    Object module, colon, rest, number;
    unpack(method(text, "partition"_id)({":"_id}), {&module, &colon, &rest});
    if (!truth(module) || !truth(colon)) return false;
    for (int field = 0; field < 2; ++field) {
        unpack(method(rest, "partition"_id)({":"_id}), {&number, &colon, &rest});
        if (!truth(colon) || !truth(method(number, "isdecimal"_id)({}))) return false;
    }
    Object letter = slice(rest, 1, 2);
    Object digits = slice(rest, 2, 6);
    return truth(method(rest, "startswith"_id)({" "_id})) &&
           truth(method(letter, "isascii"_id)({})) && truth(method(letter, "isupper"_id)({})) &&
           truth(method(digits, "isdecimal"_id)({})) &&
           truth(method(rest, "startswith"_id)({": "_id, integer(6)}));
}

/* Reading the report in place *********************************************************/

Object Scorewarden_extract_quality_value(Handle line);
Object Scorewarden_raise_if_error_or_failure(Handle line);

/// The score prefix when the loop over the lines may be left to the scan: the methods the loop
/// calls through `self` are this module's own functions, found without running code, and what
/// raise_if_error_or_failure looks up as it runs (`any`, which it calls for every message line,
/// and `ValueError`) are the builtins, so that the loop would run no Python code but on the line
/// that ends it; the prefix is the global the loop reads. Nothing otherwise. Runs no code.
std::optional<Object> loop_shortcut(Handle self) {
    std::optional<Object> extract = plain_attr(self, "extract_quality_value"_id);
    std::optional<Object> check = plain_attr(self, "raise_if_error_or_failure"_id);
    if (!extract || !check || !is_def_of<Scorewarden_extract_quality_value>(*extract) ||
        !is_def_of<Scorewarden_raise_if_error_or_failure>(*check))
        return std::nullopt;
    try {
        if (!is_builtin(global("any"_id), "any") || !is_builtin(global("ValueError"_id), "ValueError"))
            return std::nullopt;
        return global("PYLINT_SCORE_LINE_STARTS_WITH"_id);
    } catch (Error& caught) {
        if (!is_builtin_error(caught, "NameError")) throw;
        return std::nullopt;  // the loop meets the NameError itself
    }
}

/// What the loop over the lines of the report comes to: its value, or its exception.
struct LoopOutcome {
    Object value;
    std::optional<Error> error;
};

/// The outcome of `content = f.readlines()` and the loop over `content`, found by the scan
/// without reading `f`, when the scan may stand in for both (`f` comes from an opening that
/// returns it unread); nothing when `f` must be read line by line, which then starts from the
/// beginning. Called inside the `with` block.
///
/// The preconditions are checked again after the scan, which let signal handlers run, and
/// nothing runs between that check and their use: the loop's one call, on the line that ends
/// it, is made here, before the file is closed. It runs no Python code (loop_shortcut), so
/// the file being still open is nothing it could tell; its exception is handed on for after
/// the closing, as the loop, after the `with` block, would raise it.
std::optional<LoopOutcome> scan_in_place(Handle self, Handle f) {
    std::optional<Object> prefix = loop_shortcut(self);
    if (!prefix) return std::nullopt;
    std::optional<PlainTextFile> file = plain_text_file(f);
    std::optional<std::string> prefix_utf8 = utf8_of(*prefix);
    if (!file || !prefix_utf8 || prefix_utf8->empty() ||
        prefix_utf8->find_first_of("\r\n") != std::string::npos)
        return std::nullopt;

    report_scan::Request request;
    request.fd = file->fd;
    request.ascii = file->ascii;
    request.prefix = std::move(*prefix_utf8);
    request.is_decimal = [](std::uint32_t c) { return is_decimal(c); };
    report_scan::Result scan;
    {
        WithoutGil unlocked;
        request.poll = [](void* context) { return static_cast<WithoutGil*>(context)->poll(); };
        request.poll_context = &unlocked;
        scan = report_scan::scan(request);
    }
    if (scan.outcome == report_scan::Outcome::interrupted) rethrow_pending();
    if (scan.outcome == report_scan::Outcome::fallback) return std::nullopt;
    std::optional<Object> again = loop_shortcut(self);
    if (!again || !again->is(*prefix) || !plain_text_file(f)) return std::nullopt;

    LoopOutcome outcome;
    if (scan.outcome == report_scan::Outcome::no_stop) {
        outcome.value = Object("NA"_id);
        return outcome;
    }
    Object text = utf8_text(scan.line);  // the engine checked that the whole file decodes
    std::string().swap(scan.line);       // the text alone goes on
    if (scan.kind == report_scan::LineKind::score) {
        outcome.value = method(self, "extract_quality_value"_id)({text});
        return outcome;
    }
    try {
        method(self, "raise_if_error_or_failure"_id)({text});
    } catch (Error& e) {
        outcome.error = std::move(e);
        return outcome;
    }
    return std::nullopt;  // it passed after all: the loop decides
}

/* class Scorewarden *******************************************************************/

Object Scorewarden___init__(Handle self, Handle report) {
    set_attr(self, "file_path"_id, global("Path"_id)({report}));
    if (truth(method(attr(self, "file_path"_id), "exists"_id)({}))) return none();
    Object error = global("FileNotFoundError"_id);
    raise(error({fstr({"File ", global("str"_id)({attr(self, "file_path"_id)}),
                       " not found. Current Path: ",
                       global("str"_id)({method(global("Path"_id), "cwd"_id)({})})})}));
}

Object Scorewarden_validate_pylint_report(Handle self) {
    Object qa_value("NA"_id);
    Object file_path = attr(self, "file_path"_id);
    // Whether the file that open() returns comes back unread, for the scan to read in place.
    const bool unread = shortcuts_taken() && opens_unread(file_path);
    std::optional<LoopOutcome> scanned;
    std::optional<Object> content;
    with(method(file_path, "open"_id)({}), [&](Handle f) {
        if (unread) scanned = scan_in_place(self, f);
        if (!scanned) content = method(f, "readlines"_id)({});
    });
    if (scanned) {
        line();  // the loop's line, where its exception would arise
        if (scanned->error) rethrow(*scanned->error);
        return scanned->value;
    }
    if (!content) unbound_local("content"_id);  // __exit__ swallowed the reading's error
    for (const Object& text : iterate(*content)) {
        if (contains(text, global("PYLINT_SCORE_LINE_STARTS_WITH"_id))) {
            qa_value = method(self, "extract_quality_value"_id)({text});
            break;
        }
        if (contains(text, ".py:"_id) || is_module_message(method(text, "strip"_id)({})))
            method(self, "raise_if_error_or_failure"_id)({text});
    }
    return qa_value;
}

Object Scorewarden_extract_quality_value(Handle line) {
    Object stripped = method(line, "strip"_id)({global("PYLINT_SCORE_LINE_STARTS_WITH"_id)});
    Object first = item(method(stripped, "split"_id)({" "_id}), 0);
    return item(method(first, "split"_id)({"/10"_id}), 0);
}

Object Scorewarden_raise_if_error_or_failure(Handle line) {
    Object stripped = method(line, "strip"_id)({});
    Object code;
    if (contains(stripped, ".py:"_id)) {
        // line, column, then the id after the first ".py:": a drive letter shifts nothing
        Object after = item(method(stripped, "split"_id)({".py:"_id, integer(1)}), 1);
        code = item(method(after, "split"_id)({":"_id}), 2);
    } else {
        code = item(method(stripped, "split"_id)({":"_id}), 3);
    }
    Object any = global("any"_id);
    if (truth(any({make_list({boolean(contains(code, "F"_id)), boolean(contains(code, "E"_id))})}))) {
        Object error = global("ValueError"_id);
        raise(error({add(text<ERROR_MESSAGE>(), code)}));
    }
    return none();
}

/* module body *************************************************************************/

void body() {
    import_from("pathlib"_id, "Path"_id);
    import("sys"_id);
    import("logging"_id);
    {
        Object basic_config = attr(global("logging"_id), "basicConfig"_id);
        basic_config({kw("stream"_id, attr(global("sys"_id), "stdout"_id)),
                      kw("level"_id, attr(global("logging"_id), "INFO"_id))});
    }
    set_global("PYLINT_SCORE_LINE_STARTS_WITH"_id, "Your code has been rated at"_id);
    set_global("log"_id, attr(global("logging"_id), "getLogger"_id)({global("__name__"_id)}));

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
