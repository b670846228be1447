// The report scan: finds, in the bytes of a Pylint text report, the line that ends the
// line-by-line reading of it (the first score line, or the first message line whose id is of
// the error or fatal category), without making a text object per line, and checks that the
// whole file is valid text. It knows files and bytes only: what a text line is, whether it
// decodes, and which lines matter are its whole business. Plain C++, no Python in it.
//
// Lines end at "\n", "\r" and "\r\n", as with universal newlines. A line matters when it holds
// the score prefix, when it holds ".py:" and its id field (the text between the second and the
// third colon after the first ".py:") holds "E" or "F" or is missing, or when, stripped of
// blanks, it has the layout `<module>:<line>:<column>: <letter><4 digits>: <text>` with an
// "E" or "F" letter (digits as the caller's `is_decimal` says, the letter A-Z).
#pragma once

#include <cstdint>
#include <string>

namespace qm::report_scan {

/// What to scan and how the caller's text model looks at it.
struct Request {
    std::string path;     // file system path, as bytes
    std::string prefix;   // the score prefix as UTF-8: not empty, no "\r" or "\n"
    bool ascii = false;   // the text must be ASCII; otherwise UTF-8

    /// Whether a code point above U+007F is a decimal digit; null: none is.
    bool (*is_decimal)(std::uint32_t code_point) = nullptr;

    /// Called now and then (every 64 MiB read) on the thread that called scan(), the only
    /// call back into the caller; returning false stops the scan with `interrupted`.
    bool (*poll)(void* context) = nullptr;
    void* poll_context = nullptr;
};

enum class Outcome {
    stopped,      // `line` ends the reading; the whole file is valid text
    no_stop,      // no line ends it; the whole file is valid text
    fallback,     // the scan cannot decide (not a regular file, bytes that do not decode, a
                  // file that changes while read, a failed read): read it line by line
    interrupted,  // poll() returned false
};

enum class LineKind { score, message };

struct Result {
    Outcome outcome = Outcome::fallback;
    LineKind kind = LineKind::score;  // with `stopped`
    std::string line;  // with `stopped`: its bytes, its line break (if any) given as "\n"
};

/// Scans the report. Never throws; any failure of its own comes out as `fallback`.
/// Large files are read in parts by several threads; only the calling thread calls poll().
Result scan(const Request& request) noexcept;

}  // namespace qm::report_scan
