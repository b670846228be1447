// The report scan engine: finds, in the bytes of a Pylint text report, the line that ends the
// line-by-line reading of it (the first score line, or the first message line whose id is of
// the error or fatal category), without making a text object per line, and checks that the
// whole file is valid text. It knows files and bytes only: what a text line is, whether it
// decodes, and which lines matter are its whole business. Plain C++, no Python in it.
//
// Lines end at "\n", "\r" and "\r\n", as with universal newlines. A line matters when it holds
// the score prefix, when it holds ".py:" and its id field (the text between the second and the
// third colon after the first ".py:") holds "E" or "F" or is missing, or when its stripped text
// has the module message layout below with an "E" or "F" letter.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qm::report_scan {

/* The module message layout ************************************************************/

/// Whether str.isspace() holds for a code point: what str.strip() removes.
constexpr bool is_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0d) || (c >= 0x1c && c <= 0x20) || c == 0x85 || c == 0xA0 ||
           c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 ||
           c == 0x202F || c == 0x205F || c == 0x3000;
}

enum class Layout {
    no,     // not a message about a module named without a path
    error,  // such a message, with an id of the error or fatal category
    other,  // such a message, with another id
};

/// Pylint's layout of a message about a module named without a path, as the stripped text of
/// a line shows it: `<module>:<line>:<column>: <id>: <text>`. The module is a non-empty run
/// without ':', line and column are decimal numbers, the id is one letter A-Z and four decimal
/// digits, and the text after the blank after the id is not empty.
///
/// The one place this rule is written: both readings of a report feed it code points, the
/// line-by-line reading those of the stripped str, the scan those of the line as read.
/// Blanks (as str.isspace() has them) before the module are passed over and blanks alone after
/// the id make no text, so a line as read gets the verdict of its stripped form.
/// `IsDecimal(char32_t)` tells whether a code point is a decimal digit as str.isdecimal() has
/// it; the letter is always ASCII.
template <typename IsDecimal>
class ModuleMessageLayout {
  public:
    explicit ModuleMessageLayout(IsDecimal is_decimal) : is_decimal_(is_decimal) {}

    /// Takes the next code point; false once the verdict holds whatever follows.
    bool feed(char32_t c) {
        step(c);
        return state_ != State::matched && state_ != State::no;
    }

    /// Within the module name, which only ':' ends: a caller may pass over anything else.
    bool in_module() const { return state_ == State::module; }

    /// The verdict on what was fed, taken as the whole text.
    Layout verdict() const {
        if (state_ != State::matched) return Layout::no;
        return (letter_ == 'E' || letter_ == 'F') ? Layout::error : Layout::other;
    }

  private:
    enum class State : unsigned char { lead, module, line_first, line, column_first, column, shape, text, matched, no };

    void step(char32_t c) {
        switch (state_) {
        case State::lead:
            if (!is_space(c)) state_ = c == U':' ? State::no : State::module;
            return;
        case State::module:
            if (c == U':') state_ = State::line_first;
            return;
        case State::line_first:
        case State::column_first:
            state_ = !is_decimal_(c) ? State::no : state_ == State::line_first ? State::line : State::column;
            return;
        case State::line:
        case State::column:
            if (is_decimal_(c)) return;
            state_ = c != U':' ? State::no : state_ == State::line ? State::column_first : State::shape;
            return;
        case State::shape: {
            static constexpr char shape[] = " A9999: ";
            const char want = shape[shape_at_];
            const bool fits = want == 'A' ? (c >= U'A' && c <= U'Z')
                              : want == '9' ? is_decimal_(c)
                                            : c == static_cast<char32_t>(want);
            if (!fits) {
                state_ = State::no;
                return;
            }
            if (want == 'A') letter_ = c;
            if (shape[++shape_at_] == '\0') state_ = State::text;
            return;
        }
        case State::text:
            if (!is_space(c)) state_ = State::matched;
            return;
        default:
            return;
        }
    }

    IsDecimal is_decimal_;
    State state_ = State::lead;
    unsigned char shape_at_ = 0;
    char32_t letter_ = 0;
};

/// The module message layout of the text [p, e), code point by code point.
template <typename CodePoint, typename IsDecimal>
Layout module_message_layout(const CodePoint* p, const CodePoint* e, IsDecimal is_decimal) {
    ModuleMessageLayout<IsDecimal> layout(is_decimal);
    while (p != e && layout.feed(static_cast<char32_t>(*p))) ++p;
    return layout.verdict();
}

/* The scan ****************************************************************************/

/// How the scan finds the lines that may matter, 64 bytes at a time: with the vector
/// instructions of one kind, or with plain C++ (`portable`). A build has those of its
/// architecture, each a row of FINDERS in report_scan.cpp; finders() tells which of them the
/// processor runs.
enum class Finder : unsigned char {
    automatic,  // the widest the processor runs
    avx512bw,
    avx2,
    sse2,
    neon,
    portable,
};

/// The finders of this build that the processor runs, widest first (never `automatic`).
std::vector<Finder> finders();

/// The name of a finder of this build ("avx2", "portable", ..., or "automatic"); nullptr for
/// one the build does not have.
const char* finder_name(Finder finder) noexcept;

/// What to scan and how the caller's text model looks at it.
struct Request {
    /// A descriptor of the report, open for reading. Only a regular file is scanned; it is read
    /// from offset 0 with positional reads, so the descriptor's own offset stays as it was. The
    /// caller keeps it open while scan() runs, and closes it.
    int fd = -1;
    std::string prefix;   // the score prefix as UTF-8: not empty, no "\r" or "\n"
    bool ascii = false;   // the text must be ASCII; otherwise UTF-8
    /// The finder the scan takes; one the processor does not run (see finders()) makes the
    /// outcome `fallback`.
    Finder finder = Finder::automatic;

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
                  // file that changes while read, a failed read, a finder the processor
                  // does not run): read it line by line
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
