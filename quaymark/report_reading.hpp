// How the interpreter reads a report file as text, as far as the byte scan needs to know:
// whether `path.open()` and readlines() would run the interpreter's own code on a file the
// scan reads alike, and the scan run with the interpreter's lock released.
#pragma once

#include "pybind.hpp"
#include "report_scan.hpp"

#include <optional>

namespace qm::report_reading {

/// The scan request for reading `file_path` with `file_path.open()` (no arguments) and
/// readlines(), with `prefix` as the score prefix; nothing when the scan cannot stand in for
/// that reading: a path of another kind, an opening or a default encoding that is not the
/// interpreter's own (a replaced `io.open`, `io.text_encoding`, locale encoding function),
/// an encoding other than UTF-8 or ASCII, a prefix the scan does not take. Raises only what
/// an audit hook raises for the opening, which it announces as the interpreter would.
std::optional<report_scan::Request> plain_text_request(py::handle file_path, py::handle prefix);

/// Runs the scan without the interpreter's lock; signal handlers run now and then, as in a
/// loop of Python code. With `interrupted`, their exception is set.
report_scan::Result scan_unlocked(report_scan::Request& request);

}  // namespace qm::report_reading
