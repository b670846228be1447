// The bridge between scorewarden and the report scan engine: when the scan may stand in for
// readlines() on the file that `self.file_path.open()` returned, and the scan of that file's
// descriptor with the interpreter's lock released. The C-API work of the reading lives here;
// nothing in it runs Python code, so checking a precondition never changes what it checks.
#pragma once

#include "pybind.hpp"
#include "report_scan.hpp"

#include <optional>

namespace qm::report_reading {

/// Finds `obj.name` as the interpreter's attribute look-up does, when that look-up can run no
/// Python code (the type looks attributes up the generic way and holds under that name no
/// descriptor written in Python). True with `value` set to what it found, left empty when
/// there is no such attribute; false, with `value` untouched, when the look-up could run code.
bool plain_attribute(py::handle obj, py::handle name, py::object& value);

/// Whether `obj` is the interpreter's built-in function `name` of the module `builtins`.
bool is_builtin(py::handle obj, const char* name);

/// Whether `path.open()`, with no arguments, builds the file object it returns with the
/// interpreter's own code alone: pathlib's Path.open with its own defaults, then io.open (or
/// the interpreter's open of pathlib's accessor). Such a file comes back unread, in read-only
/// text mode with universal newlines and strict errors, over a descriptor that only the
/// opening used (in_place_request checks its offset).
bool opens_unread(py::handle path);

/// The scan request for reading `file` in place of `file.readlines()`, `prefix` being the
/// score prefix: `file`, returned by an opening of which opens_unread() held, is exactly the
/// interpreter's text file over its buffered reader over its file of a descriptor still at
/// offset 0, and readlines() would decode with the interpreter's own incremental decoder of
/// UTF-8 or ASCII, strictly; `prefix` is an exact str the scan can look for. Nothing when any
/// of that does not hold.
std::optional<report_scan::Request> in_place_request(py::handle file, py::handle prefix);

/// Whether `stripped`, the stripped text of a line, is a str with Pylint's layout of a message
/// about a module named without a path (the rule of report_scan.hpp, which the scan follows).
bool is_module_message(py::handle stripped);

/// The line the scan stopped at, as readlines() would have given it.
py::str stop_line(const report_scan::Result& result);

/// Runs the scan without the interpreter's lock; signal handlers run now and then, as in a
/// loop of Python code. With `interrupted`, their exception is set.
report_scan::Result scan_unlocked(report_scan::Request& request);

}  // namespace qm::report_reading
