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
#include "qm/runtime.hpp"

#include <optional>

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

/// Pylint's layout of a message about a module named without a path,
/// `<module>:<line>:<column>: <id>: `, at the start of a stripped text [p, e): the module a
/// non-empty run without ':', line and column decimal numbers (as str.isdecimal() sees
/// digits), the id one capital letter A-Z and four decimal digits.
template <typename Unit>
bool module_message_layout(const Unit* p, const Unit* e) {
    auto digit = [](Unit c) { return is_decimal(c); };
    if (p == e || *p == Unit(':')) return false;
    while (p != e && *p != Unit(':')) ++p;
    for (int field = 0; field < 2; ++field) {  // ":<line>", ":<column>"
        if (p == e) return false;
        ++p;  // the colon
        if (p == e || !digit(*p)) return false;
        while (p != e && digit(*p)) ++p;
        if (p == e || *p != Unit(':')) return false;
    }
    static constexpr char shape[] = ": A9999: ";
    for (const char* s = shape; *s; ++s, ++p) {
        if (p == e) return false;
        const Unit c = *p;
        const bool fits = *s == 'A' ? (c >= Unit('A') && c <= Unit('Z')) : *s == '9' ? digit(c) : c == Unit(*s);
        if (!fits) return false;
    }
    return true;
}

/// The layout test on an exact str; nothing for anything else.
std::optional<bool> exact_module_message(Handle text) {
    std::optional<Text> chars = exact_text(text);
    if (!chars) return std::nullopt;
    return chars->visit([](const auto* first, const auto* last) {
        return module_message_layout(first, last);
    });
}

/// `_is_module_message(text)`: whether a stripped line has that layout. An exact str is
/// read in place; anything else is asked as the same steps in Python would ask it:
///     module, colon, rest = text.partition(":")
///     if not module or not colon: return False
///     number, colon, rest = rest.partition(":")       (twice: line, then column)
///     if not colon or not number.isdecimal(): return False
///     letter, digits = rest[1:2], rest[2:6]
///     return (rest.startswith(" ") and letter.isascii() and letter.isupper()
///             and digits.isdecimal() and rest.startswith(": ", 6))
bool is_module_message(Handle text) {
    if (std::optional<bool> exact = exact_module_message(text)) return *exact;
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
    std::optional<Object> content;
    with(method(attr(self, "file_path"_id), "open"_id)({}), [&](Handle f) {
        content = method(f, "readlines"_id)({});
    });
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
