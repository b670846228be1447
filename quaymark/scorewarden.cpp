// scorewarden: the Pylint report checker. Reads a Pylint text report, fails on the first
// message of the error or fatal category and returns the score the report states.
//
// validate_pylint_report has two ways of reading a report that give the same result:
//  - line by line, as written: readlines() on the opened text file, then the loop;
//  - a byte scan of the file, for regular files read as UTF-8 or ASCII, which finds the line
//    that ends the reading (the first score line, or the first message line on which
//    raise_if_error_or_failure raises) without making a Python object per line, checks that
//    the whole file decodes, and then hands that one line to the Python-level method. It
//    reads the file in chunks and keeps little more than the current line; large files are
//    split at line breaks and read by several threads at once.
// Whenever the scan meets something it does not handle (bytes the decoder refuses, a rebound
// method or score prefix, a path that is not a plain file, a file that grows while read) the
// line-by-line reading runs instead, so every exception is the interpreter's own.
#include "runtime.hpp"
#include "interned.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

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

/* Text of a line **********************************************************************/

/// Whitespace for str.strip() among the ASCII characters.
constexpr bool ascii_space(unsigned c) { return (c >= 0x09 && c <= 0x0d) || (c >= 0x1c && c <= 0x20); }

/// The character of valid UTF-8 text at p (e ends the bytes at hand): its length when
/// str.strip() removes it, a negative number when it does not, 0 when it is cut off at e.
/// Besides ASCII, str.isspace() holds for U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028,
/// U+2029, U+202F, U+205F and U+3000.
int space_at(const unsigned char* p, const unsigned char* e) {
    const unsigned b = p[0];
    if (b < 0x80) return ascii_space(b) ? 1 : -1;
    const std::ptrdiff_t room = e - p;
    switch (b) {
    case 0xC2:
        if (room < 2) return 0;
        return (p[1] == 0x85 || p[1] == 0xA0) ? 2 : -2;
    case 0xE1:
        if (room < 3) return 0;
        return (p[1] == 0x9A && p[2] == 0x80) ? 3 : -3;
    case 0xE2:
        if (room < 3) return 0;
        if (p[1] == 0x80) return (p[2] <= 0x8A || p[2] == 0xA8 || p[2] == 0xA9 || p[2] == 0xAF) ? 3 : -3;
        return (p[1] == 0x81 && p[2] == 0x9F) ? 3 : -3;
    case 0xE3:
        if (room < 3) return 0;
        return (p[1] == 0x80 && p[2] == 0x80) ? 3 : -3;
    default:
        return -1;  // no other lead byte starts a blank
    }
}

enum class Layout {
    no,     // not a message about a module named without a path
    error,  // such a message, with an id of the error or fatal category
    other,  // such a message, with another id
};

/// Pylint's layout of a message about a module named without a path,
/// `<module>:<line>:<column>: <id>: `, at the start of a stripped text [p, e): the module a
/// non-empty run without ':', line and column decimal (ASCII digits), the id one capital
/// letter A-Z and four digits.
template <typename Unit>
Layout module_message_layout(const Unit* p, const Unit* e) {
    auto digit = [](Unit c) { return c >= Unit('0') && c <= Unit('9'); };
    if (p == e || *p == Unit(':')) return Layout::no;
    while (p != e && *p != Unit(':')) ++p;
    for (int field = 0; field < 2; ++field) {  // ":<line>", ":<column>"
        if (p == e) return Layout::no;
        ++p;  // the colon
        if (p == e || !digit(*p)) return Layout::no;
        while (p != e && digit(*p)) ++p;
        if (p == e || *p != Unit(':')) return Layout::no;
    }
    static constexpr char shape[] = ": A9999: ";
    Unit letter = 0;
    for (const char* s = shape; *s; ++s, ++p) {
        if (p == e) return Layout::no;
        const Unit c = *p;
        bool fits;
        if (*s == 'A') {
            fits = c >= Unit('A') && c <= Unit('Z');
            letter = c;
        } else if (*s == '9') {
            fits = digit(c);
        } else {
            fits = c == Unit(*s);
        }
        if (!fits) return Layout::no;
    }
    return (letter == Unit('E') || letter == Unit('F')) ? Layout::error : Layout::other;
}

/// The same test on the UTF-8 bytes of a line as read, not stripped, fed in pieces of any
/// size: blanks before the module are skipped as str.strip() skips them, and the blank
/// after the id belongs to the stripped text only when something other than blanks follows.
class ModuleMessage {
  public:
    void feed(const unsigned char* p, const unsigned char* e) {
        if (pending_size_) {  // a character cut at the end of the last piece
            const int need = pending_[0] == 0xC2 ? 2 : 3;
            while (pending_size_ < need && p != e) pending_[pending_size_++] = *p++;
            if (pending_size_ < need) return;
            pending_size_ = 0;
            if (space_at(pending_, pending_ + need) < 0) non_blank_seen();
        }
        auto digit = [](unsigned char c) { return c >= '0' && c <= '9'; };
        while (p != e) {
            switch (state_) {
            case State::lead:
            case State::text: {
                const int k = space_at(p, e);
                if (k == 0) {  // only the start of a character is at hand
                    while (p != e) pending_[pending_size_++] = *p++;
                    return;
                }
                if (k > 0) {
                    p += k;
                    continue;
                }
                if (state_ == State::lead && *p == ':') {
                    state_ = State::no;  // the module is empty
                    return;
                }
                non_blank_seen();
                continue;
            }
            case State::module: {
                const void* colon = std::memchr(p, ':', static_cast<size_t>(e - p));
                if (!colon) return;
                p = static_cast<const unsigned char*>(colon) + 1;
                state_ = State::line_first;
                continue;
            }
            case State::line_first:
            case State::column_first:
                if (!digit(*p)) {
                    state_ = State::no;
                    return;
                }
                ++p;
                state_ = state_ == State::line_first ? State::line : State::column;
                continue;
            case State::line:
            case State::column:
                while (p != e && digit(*p)) ++p;
                if (p == e) return;
                if (*p != ':') {
                    state_ = State::no;
                    return;
                }
                ++p;
                state_ = state_ == State::line ? State::column_first : State::shape;
                continue;
            case State::shape: {
                static constexpr char shape[] = " A9999: ";
                const char want = shape[shape_at_];
                const unsigned char c = *p;
                const bool fits = want == 'A' ? (c >= 'A' && c <= 'Z') : want == '9' ? digit(c) : c == want;
                if (!fits) {
                    state_ = State::no;
                    return;
                }
                if (want == 'A') letter_ = c;
                ++p;
                if (shape[++shape_at_] == '\0') state_ = State::text;
                continue;
            }
            default:  // decided
                return;
            }
        }
    }

    /// The verdict once the whole line has been fed.
    Layout finish() const {
        if (state_ != State::matched) return Layout::no;
        return (letter_ == 'E' || letter_ == 'F') ? Layout::error : Layout::other;
    }

  private:
    enum class State { lead, module, line_first, line, column_first, column, shape, text, matched, no };

    void non_blank_seen() { state_ = state_ == State::lead ? State::module : State::matched; }

    State state_ = State::lead;
    int shape_at_ = 0;
    unsigned char letter_ = 0;
    unsigned char pending_[3] = {0, 0, 0};
    int pending_size_ = 0;
};

template <typename Unit>
bool matches_module_message(const Unit* units, Py_ssize_t n) {
    return module_message_layout(units, units + n) != Layout::no;
}

/// The layout test on a stripped str, whatever its storage. The text ends in something
/// other than a blank, so the blank after the id is never its last character.
bool is_module_message(py::handle stripped) {
    PyObject* s = stripped.ptr();
    if (compat::unicode_ready(s) < 0) throw py::error_already_set();
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    const void* data = PyUnicode_DATA(s);
    switch (PyUnicode_KIND(s)) {
    case PyUnicode_1BYTE_KIND: return matches_module_message(static_cast<const Py_UCS1*>(data), n);
    case PyUnicode_2BYTE_KIND: return matches_module_message(static_cast<const Py_UCS2*>(data), n);
    default: return matches_module_message(static_cast<const Py_UCS4*>(data), n);
    }
}

/// The id field of a message line, seen byte by byte from just after the first ".py:":
/// raise_if_error_or_failure takes the text between the second and the third colon, and
/// fails on an "E" or "F" in it, or when there is no second colon. Blanks that strip()
/// would remove hold neither colons nor those letters, so the line need not be stripped.
struct IdField {
    int colons = 0;
    bool error = false;

    void feed(const unsigned char* p, const unsigned char* e) {
        for (; p != e && colons < 3; ++p) {
            const unsigned char c = *p;
            if (c == ':')
                ++colons;
            else if (colons == 2 && (c == 'E' || c == 'F'))
                error = true;
        }
    }
    bool fails() const { return colons < 2 || error; }
};

/// The first ".py:" in [p, e), or nullptr.
const unsigned char* find_py(const unsigned char* p, const unsigned char* e) {
    while (e - p >= 4) {
        p = static_cast<const unsigned char*>(std::memchr(p, '.', static_cast<size_t>(e - p) - 3));
        if (!p) return nullptr;
        if (p[1] == 'p' && p[2] == 'y' && p[3] == ':') return p;
        ++p;
    }
    return nullptr;
}

/* Byte-level building blocks **********************************************************/

/// How common a byte is in report text; the search for a needle looks for its least
/// common byte first.
int commonness(unsigned char c) {
    static constexpr char letters[] = "etaoinsrhldcumfpgwybvkxjqz";
    if (c == ' ') return 100;
    if (c >= 'a' && c <= 'z') return 90 - 2 * static_cast<int>(std::strchr(letters, c) - letters);
    if (c >= '0' && c <= '9') return 55;
    if (c && std::strchr(".:/_-()',\"", c)) return 60;
    if (c == 'C' || c == 'R' || c == 'W' || c == 'M') return 45;
    if (c >= 'A' && c <= 'Z') return 30;
    if (c >= 0x80) return 20;
    return 25;
}

/// A byte string searched for in buffers: memchr for its least common byte, then a compare.
class Needle {
  public:
    explicit Needle(std::string bytes) : bytes_(std::move(bytes)) {
        for (size_t i = 1; i < bytes_.size(); ++i)
            if (commonness(static_cast<unsigned char>(bytes_[i])) <
                commonness(static_cast<unsigned char>(bytes_[pick_])))
                pick_ = i;
    }
    size_t size() const { return bytes_.size(); }

    /// Offset of the first occurrence in [p, p + n), or n.
    size_t find(const unsigned char* p, size_t n) const {
        const size_t m = bytes_.size();
        if (n < m) return n;
        const auto key = static_cast<unsigned char>(bytes_[pick_]);
        const unsigned char* at = p + pick_;
        const unsigned char* last = p + (n - m) + pick_;  // last place the key may stand
        while (at <= last) {
            at = static_cast<const unsigned char*>(std::memchr(at, key, static_cast<size_t>(last - at) + 1));
            if (!at) return n;
            const unsigned char* start = at - pick_;
            if (std::memcmp(start, bytes_.data(), m) == 0) return static_cast<size_t>(start - p);
            ++at;
        }
        return n;
    }

  private:
    std::string bytes_;
    size_t pick_ = 0;
};

/// A needle searched for across the pieces of one long line.
class StreamFinder {
  public:
    static constexpr size_t none = SIZE_MAX;

    /// Starts after the bytes [p, p + n), already searched.
    StreamFinder(const Needle& needle, const unsigned char* p, size_t n) : needle_(needle) {
        keep(p, n);
    }

    /// Offset in [p, p + n) just after the first occurrence that ends there, or none.
    size_t feed(const unsigned char* p, size_t n) {
        const size_t m = needle_.size();
        if (!tail_.empty()) {
            std::string joined = tail_;
            joined.append(reinterpret_cast<const char*>(p), std::min(m - 1, n));
            const auto* j = reinterpret_cast<const unsigned char*>(joined.data());
            const size_t at = needle_.find(j, joined.size());
            if (at != joined.size()) return at + m - tail_.size();
        }
        const size_t at = needle_.find(p, n);
        if (at != n) return at + m;
        keep(p, n);
        return none;
    }

  private:
    void keep(const unsigned char* p, size_t n) {
        const size_t want = needle_.size() - 1;
        tail_.append(reinterpret_cast<const char*>(p + (n > want ? n - want : 0)), std::min(n, want));
        if (tail_.size() > want) tail_.erase(0, tail_.size() - want);
    }

    const Needle& needle_;
    std::string tail_;
};

/// Strict checking of UTF-8 (or ASCII) fed in pieces, accepting exactly what the
/// interpreter's decoder accepts: no overlong forms, no surrogates, nothing past U+10FFFF.
class TextCheck {
  public:
    explicit TextCheck(bool ascii) : ascii_(ascii) {}

    bool feed(const unsigned char* p, size_t n) {
        size_t i = 0;
        while (i < n) {
            if (state_ == start) {
                i = skip_ascii(p, i, n);
                if (i == n) break;
                if (ascii_) return false;
            }
            state_ = step(state_, p[i]);
            if (state_ == bad) return false;
            ++i;
        }
        return true;
    }
    /// No character is cut off at the end of what was fed.
    bool at_boundary() const { return state_ == start; }

  private:
    enum State : unsigned char { start, tail1, tail2, tail3, after_e0, after_ed, after_f0, after_f4, bad };

    static State step(State state, unsigned char b) {
        const bool cont = (b & 0xC0) == 0x80;
        switch (state) {
        case start:
            if (b < 0x80) return start;
            if (b >= 0xC2 && b <= 0xDF) return tail1;
            if (b == 0xE0) return after_e0;
            if (b == 0xED) return after_ed;
            if (b >= 0xE1 && b <= 0xEF) return tail2;
            if (b == 0xF0) return after_f0;
            if (b >= 0xF1 && b <= 0xF3) return tail3;
            if (b == 0xF4) return after_f4;
            return bad;
        case tail1: return cont ? start : bad;
        case tail2: return cont ? tail1 : bad;
        case tail3: return cont ? tail2 : bad;
        case after_e0: return (b >= 0xA0 && b <= 0xBF) ? tail1 : bad;
        case after_ed: return (b >= 0x80 && b <= 0x9F) ? tail1 : bad;
        case after_f0: return (b >= 0x90 && b <= 0xBF) ? tail2 : bad;
        case after_f4: return (b >= 0x80 && b <= 0x8F) ? tail2 : bad;
        default: return bad;
        }
    }

    /// The first index from i with a byte above 0x7F, or n.
    static size_t skip_ascii(const unsigned char* p, size_t i, size_t n) {
#if defined(__SSE2__)
        while (i + 64 <= n) {
            const auto* v = reinterpret_cast<const __m128i*>(p + i);
            const __m128i any = _mm_or_si128(_mm_or_si128(_mm_loadu_si128(v), _mm_loadu_si128(v + 1)),
                                             _mm_or_si128(_mm_loadu_si128(v + 2), _mm_loadu_si128(v + 3)));
            if (_mm_movemask_epi8(any)) break;
            i += 64;
        }
        while (i + 16 <= n) {
            const int high = _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i)));
            if (high) return i + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(high)));
            i += 16;
        }
#else
        while (i + 8 <= n) {
            std::uint64_t word;
            std::memcpy(&word, p + i, 8);
            if (word & 0x8080808080808080ull) break;
            i += 8;
        }
#endif
        while (i < n && p[i] < 0x80) ++i;
        return i;
    }

    bool ascii_;
    State state_ = start;
};

/* Scanning a report *******************************************************************/

constexpr size_t CHUNK = 256 * 1024;        // bytes per read
constexpr size_t LONG_LINE = 1024 * 1024;   // a line growing past this is followed piecewise
constexpr uint64_t PART_MIN = 16u << 20;    // smallest share of a file for one thread
constexpr int PARTS_MAX = 4;
constexpr uint64_t POLL_EVERY = 64u << 20;  // signals are looked at after this many bytes
constexpr uint64_t TO_EOF = UINT64_MAX;
constexpr size_t MAX_HELD = CHUNK + LONG_LINE;  // most data a scan buffer holds

enum class Verdict { skip, score, message };

/// Readable bytes after the end of the data in a scan buffer, for the window below.
constexpr size_t PADDING = 128;

/// IdField over [p, e) at once, for the usual short fields: looks at a window of 32 bytes
/// (readable even past e, which masks them out). Sets `decided` false when the fields
/// reach past the window.
inline bool id_field_fails(const unsigned char* p, const unsigned char* e, bool& decided) {
    const auto room = static_cast<uint64_t>(e - p);
    decided = true;
#if defined(__SSE2__)
    const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
    auto mask = [&](char c) {
        const __m128i v = _mm_set1_epi8(c);
        return static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(lo, v)))) |
               static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(hi, v)))) << 16;
    };
    const uint64_t valid = room >= 32 ? 0xFFFFFFFFull : (1ull << room) - 1;
    uint64_t colons = mask(':') & valid;
    const uint64_t letters = (mask('E') | mask('F')) & valid;
    colons &= colons - 1;  // drop the first colon
    if (!colons) {
        if (room <= 32) return true;  // fewer than two colons
        decided = false;
        return false;
    }
    const uint64_t second = colons & (0 - colons);
    colons ^= second;
    uint64_t stop = colons & (0 - colons);  // the third colon, or the end of the line
    if (!stop) {
        if (room > 32) {
            decided = false;
            return false;
        }
        stop = 1ull << room;
    }
    return (letters & (stop - (second << 1))) != 0;
#else
    IdField field;
    field.feed(p, e);
    (void)room;
    return field.fails();
#endif
}

/// The verdict on a line [s, e) whose first ".py:" starts at dot.
inline Verdict message_verdict(const unsigned char* dot, const unsigned char* e) {
    bool decided;
    bool fails = id_field_fails(dot + 4, e, decided);
    if (!decided) {
        IdField field;
        field.feed(dot + 4, e);
        fails = field.fails();
    }
    return fails ? Verdict::message : Verdict::skip;
}

/// The verdict on a line [s, e) without ".py:" and without the score prefix.
inline Verdict plain_verdict(const unsigned char* s, const unsigned char* e) {
    if (!std::memchr(s, ':', static_cast<size_t>(e - s))) return Verdict::skip;
    ModuleMessage layout;
    layout.feed(s, e);
    return layout.finish() == Layout::error ? Verdict::message : Verdict::skip;
}

/// What the line-by-line reading does with one complete line [s, e), its line break left
/// out: `message` means that raise_if_error_or_failure raises on it. The buffer holding the
/// line has PADDING readable bytes after its data.
inline Verdict classify(const unsigned char* s, const unsigned char* e, bool has_prefix) {
    if (has_prefix) return Verdict::score;
    if (const unsigned char* dot = find_py(s, e)) return message_verdict(dot, e);
    return plain_verdict(s, e);
}

/// Bitmaps of a buffer, one bit per byte, 64 bytes to a word: line breaks ("\n", "\r") and
/// the "y" of every "y:" (where ".py:" may end). They let the scan step from line to line
/// and find ".py:" in a line with a few bit operations instead of a search per line.
/// Fills words [w0, w1) of both maps, reading up to byte 64 * w1 included, and tells whether
/// any byte read is above 0x7F (so that pure ASCII needs no check of its encoding).
using BitmapBuilder = bool (*)(const unsigned char* b, size_t w0, size_t w1, uint64_t* breaks,
                               uint64_t* y_colons);

[[maybe_unused]] bool build_bitmaps_portable(const unsigned char* b, size_t w0, size_t w1,
                                             uint64_t* breaks, uint64_t* y_colons) {
    unsigned high = 0;
    for (size_t w = w0; w < w1; ++w) {
        const unsigned char* q = b + (w << 6);
        uint64_t brk = 0, yc = 0;
        for (unsigned i = 0; i < 64; ++i) {
            brk |= static_cast<uint64_t>(q[i] == '\n' || q[i] == '\r') << i;
            yc |= static_cast<uint64_t>(q[i] == 'y' && q[i + 1] == ':') << i;
            high |= q[i];
        }
        breaks[w] = brk;
        y_colons[w] = yc;
    }
    return (high & 0x80) != 0;
}

#if defined(__x86_64__) || defined(__i386__)
bool build_bitmaps_sse2(const unsigned char* b, size_t w0, size_t w1, uint64_t* breaks,
                        uint64_t* y_colons) {
    const __m128i nl = _mm_set1_epi8('\n'), cr = _mm_set1_epi8('\r');
    const __m128i y = _mm_set1_epi8('y'), colon = _mm_set1_epi8(':');
    __m128i high = _mm_setzero_si128();
    for (size_t w = w0; w < w1; ++w) {
        const unsigned char* q = b + (w << 6);
        uint64_t brk = 0, yc = 0;
        for (unsigned k = 0; k < 4; ++k) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q + 16 * k));
            const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q + 16 * k + 1));
            high = _mm_or_si128(high, v);
            const auto e = static_cast<unsigned>(
                _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, nl), _mm_cmpeq_epi8(v, cr))));
            const auto c = static_cast<unsigned>(
                _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(v, y), _mm_cmpeq_epi8(next, colon))));
            brk |= static_cast<uint64_t>(e) << (16 * k);
            yc |= static_cast<uint64_t>(c) << (16 * k);
        }
        breaks[w] = brk;
        y_colons[w] = yc;
    }
    return _mm_movemask_epi8(high) != 0;
}

__attribute__((target("avx2"))) bool build_bitmaps_avx2(const unsigned char* b, size_t w0, size_t w1,
                                                        uint64_t* breaks, uint64_t* y_colons) {
    const __m256i nl = _mm256_set1_epi8('\n'), cr = _mm256_set1_epi8('\r');
    const __m256i y = _mm256_set1_epi8('y'), colon = _mm256_set1_epi8(':');
    __m256i high = _mm256_setzero_si256();
    for (size_t w = w0; w < w1; ++w) {
        const unsigned char* q = b + (w << 6);
        uint64_t brk = 0, yc = 0;
        for (unsigned k = 0; k < 2; ++k) {
            const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + 32 * k));
            const __m256i next = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + 32 * k + 1));
            high = _mm256_or_si256(high, v);
            const auto e = static_cast<unsigned>(_mm256_movemask_epi8(
                _mm256_or_si256(_mm256_cmpeq_epi8(v, nl), _mm256_cmpeq_epi8(v, cr))));
            const auto c = static_cast<unsigned>(_mm256_movemask_epi8(
                _mm256_and_si256(_mm256_cmpeq_epi8(v, y), _mm256_cmpeq_epi8(next, colon))));
            brk |= static_cast<uint64_t>(e) << (32 * k);
            yc |= static_cast<uint64_t>(c) << (32 * k);
        }
        breaks[w] = brk;
        y_colons[w] = yc;
    }
    return _mm256_movemask_epi8(high) != 0;
}
#endif

/// Writes the offsets of the set bits at or after `from` in words [from / 64, w_end) of
/// `map` to `out`, in order, and returns their number. Writes two entries per word whatever
/// the count (no branch on it for the usual zero to two), so `out` has room for two more
/// than it receives.
using BitLister = size_t (*)(const uint64_t* map, size_t from, size_t w_end, uint32_t* out);

#define QM_LIST_BITS_BODY                                                                \
    size_t n = 0;                                                                        \
    for (size_t w = from >> 6; w < w_end; ++w) {                                         \
        uint64_t bits = map[w];                                                          \
        if (w == from >> 6) bits &= ~0ull << (from & 63);                                \
        const auto base = static_cast<uint32_t>(w << 6);                                 \
        const auto count = static_cast<size_t>(__builtin_popcountll(bits));              \
        uint32_t* o = out + n;                                                           \
        for (int k = 0; k < 2; ++k) {                                                    \
            o[k] = base + static_cast<uint32_t>(__builtin_ctzll(bits | (1ull << 63)));   \
            bits &= bits - 1;                                                            \
        }                                                                                \
        for (size_t k = 2; k < count; ++k) {                                             \
            o[k] = base + static_cast<uint32_t>(__builtin_ctzll(bits));                  \
            bits &= bits - 1;                                                            \
        }                                                                                \
        n += count;                                                                      \
    }                                                                                    \
    return n;

[[maybe_unused]] size_t list_bits_portable(const uint64_t* map, size_t from, size_t w_end, uint32_t* out) {
    QM_LIST_BITS_BODY
}

#if defined(__x86_64__) || defined(__i386__)
__attribute__((target("popcnt,bmi"))) size_t list_bits_popcnt(const uint64_t* map, size_t from,
                                                              size_t w_end, uint32_t* out) {
    QM_LIST_BITS_BODY
}
#endif
#undef QM_LIST_BITS_BODY

/// The bitmap code this processor runs best.
struct BitKernels {
    BitmapBuilder build;
    BitLister list;
};

BitKernels pick_bit_kernels() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    const BitLister list = __builtin_cpu_supports("popcnt") ? list_bits_popcnt : list_bits_portable;
    return {__builtin_cpu_supports("avx2") ? build_bitmaps_avx2 : build_bitmaps_sse2, list};
#else
    return {build_bitmaps_portable, list_bits_portable};
#endif
}

/// The line that ends the reading.
struct StopLine {
    Verdict kind = Verdict::skip;  // skip: there is none
    bool ending = false;           // it ends with a line break
    bool held = false;             // text holds its bytes; otherwise read them again
    std::string text;
    uint64_t offset = 0;
    uint64_t length = 0;
};

struct ScanSetup {
    Needle prefix;
    bool ascii;
    BitKernels bits;
};

/// State shared by the threads reading one report.
struct Shared {
    std::atomic<bool> give_up{false};      // some part cannot be read by the scan
    std::atomic<bool> interrupted{false};  // a signal handler raised
    PyThreadState* thread_state = nullptr; // of the calling thread, while it runs unlocked
};

/// Reads the bytes [begin, end) of the file (end may be TO_EOF) and finds the first line
/// there that ends the reading. `begin` is the start of a line.
///
/// Every "\r" and every "\n" ends a line here, so a "\r\n" ends a line and then an empty
/// one. An empty line never ends the reading, which therefore comes out as with universal
/// newlines; the line that ends it is handed on with "\n" in place of its break.
class PartScan {
  public:
    /// `expected`: the size of the part by the file's size now; small parts get buffers
    /// of their size.
    PartScan(const ScanSetup& setup, int fd, uint64_t begin, uint64_t end, uint64_t expected,
             Shared& shared, bool polls)
        : setup_(setup), fd_(fd), next_(begin), end_(end), base_(begin), shared_(shared),
          polls_(polls), text_(setup.ascii),
          expected_(static_cast<size_t>(std::min<uint64_t>(expected, MAX_HELD))) {}

    /// False when the line-by-line reading must decide.
    bool run() noexcept {
        try {
            allocate(expected_ < MAX_HELD ? std::max<size_t>(expected_ + 1, 16 * 1024) : MAX_HELD);
            const bool ok = read_all();
            if (!ok) shared_.give_up.store(true);
            return ok;
        } catch (...) {
            shared_.give_up.store(true);
            return false;
        }
    }
    StopLine& stop() { return stop_; }

  private:
    /// Buffers for `size` bytes of data.
    void allocate(size_t size) {
        buf_.reset(new unsigned char[size + PADDING]);
        std::memset(buf_.get(), 0, PADDING);
        const size_t words = size / 64 + 2;
        breaks_.reset(new uint64_t[words]);
        y_colons_.reset(new uint64_t[words]);
        // Line breaks: besides a partial line, the data held is one read. Places of "y:":
        // at most one in two bytes. Both lists take two entries past their end.
        ends_.reset(new uint32_t[std::min(size, CHUNK) + 16]);
        ys_.reset(new uint32_t[size / 2 + 16]);
        capacity_ = size;
    }

    /// Reads on into the buffer after the data held: up to CHUNK bytes. A buffer smaller
    /// than MAX_HELD holds the whole part with a byte to spare; when it fills up, the file
    /// has grown since, and the line-by-line reading takes over.
    long read_more() {
        const size_t room = capacity_ - len_;
        if (room == 0) return -1;
        const long n = read_into(buf_.get() + len_, std::min(CHUNK, room), false);
        if (n > 0) {
            unchecked_ = len_;  // scan_lines checks the encoding along with its bitmaps
            len_ += static_cast<size_t>(n);
            std::memset(buf_.get() + len_, 0, PADDING);  // what the bitmaps read past the data
        }
        return n;
    }

    bool read_all() {
        for (;;) {
            if (stopped_) {  // only the decoding of the rest matters now
                const long n = read_into(buf_.get(), std::min(CHUNK, capacity_));
                if (n < 0) return false;
                if (n == 0) break;
                continue;
            }
            if (start_ > 0) {
                std::memmove(buf_.get(), buf_.get() + start_, len_ - start_);
                base_ += start_;
                len_ -= start_;
                start_ = 0;
            }
            if (len_ > LONG_LINE) {
                if (!follow_long_line()) return false;
                continue;
            }
            const long n = read_more();
            if (n < 0) return false;
            if (n == 0) break;
            if (!scan_lines()) return false;
        }
        if (!stopped_ && start_ < len_) {  // the last line, without a line break
            const unsigned char* s = buf_.get() + start_;
            const unsigned char* e = buf_.get() + len_;
            const bool has_prefix = setup_.prefix.find(s, len_ - start_) < len_ - start_;
            const Verdict verdict = classify(s, e, has_prefix);
            if (verdict != Verdict::skip) hold(verdict, s, e, false);
        }
        return text_.at_boundary();
    }

    /// Reads up to `room` bytes and, if `check`, checks their encoding; 0 at the end of the
    /// part, -1 when the scan cannot go on (bytes the decoder refuses, a read error, a signal).
    long read_into(unsigned char* dst, size_t room, bool check = true) {
        if (shared_.give_up.load(std::memory_order_relaxed)) return -1;
        if (polls_ && since_poll_ >= POLL_EVERY) {
            since_poll_ = 0;
            if (!poll()) return -1;
        }
        size_t want = room;
        if (end_ != TO_EOF) {
            if (next_ >= end_) return 0;
            want = static_cast<size_t>(std::min<uint64_t>(want, end_ - next_));
        }
        ssize_t n;
        do n = ::pread(fd_, dst, want, static_cast<off_t>(next_));
        while (n < 0 && errno == EINTR);
        if (n < 0) return -1;
        if (n == 0) return end_ == TO_EOF ? 0 : -1;  // a part cut short: the file shrank
        next_ += static_cast<uint64_t>(n);
        since_poll_ += static_cast<uint64_t>(n);
        if (check && !text_.feed(dst, static_cast<size_t>(n))) return -1;
        return n;
    }

    /// Runs the interpreter's signal handlers, as a loop in Python code would.
    bool poll() {
        PyEval_RestoreThread(shared_.thread_state);
        const bool ok = PyErr_CheckSignals() == 0;
        shared_.thread_state = PyEval_SaveThread();
        if (!ok) shared_.interrupted.store(true);
        return ok;
    }

    /// Checks the encoding of the bytes from unchecked_ on, then classifies the complete
    /// lines in [start_, len_), up to the first that ends the reading. False when the bytes
    /// are not valid text.
    ///
    /// The line breaks and the places of "y:" come from bitmaps of the buffer, turned into
    /// lists of offsets; stepping through the lists costs a line a few instructions and no
    /// hard-to-predict branches.
    bool scan_lines() {
        const unsigned char* b = buf_.get();
        size_t pos = start_;
        const size_t len = len_;
        if (pos >= len) return true;
        uint64_t* breaks = breaks_.get();
        uint64_t* y_colons = y_colons_.get();
        const size_t w_end = (len + 63) >> 6;
        const bool high = setup_.bits.build(b, pos >> 6, w_end, breaks, y_colons);
        if (unchecked_ < len) {
            if ((high || !text_.at_boundary()) && !text_.feed(b + unchecked_, len - unchecked_))
                return false;
            unchecked_ = len;
        }
        const size_t prefix_at = pos + setup_.prefix.find(b + pos, len - pos);
        if (len & 63) {  // bits for bytes past the data mean nothing
            const uint64_t keep = (1ull << (len & 63)) - 1;
            breaks[w_end - 1] &= keep;
            y_colons[w_end - 1] &= keep;
        }

        uint32_t* ends = ends_.get();
        const size_t lines = setup_.bits.list(breaks, pos, w_end, ends);
        if (lines == 0) return true;  // the line goes on in the next read
        uint32_t* ys = ys_.get();
        const size_t candidates = setup_.bits.list(y_colons, pos, (ends[lines - 1] >> 6) + 1, ys);
        ys[candidates] = UINT32_MAX;

        size_t j = 0;
        for (size_t i = 0; i < lines; ++i) {
            const size_t eol = ends[i];
            while (ys[j] < pos + 2) ++j;  // a "y" of ".py:" stands two bytes into the line
            Verdict verdict;
            if (prefix_at < eol) {
                verdict = Verdict::score;
            } else {
                const unsigned char* dot = nullptr;
                for (size_t k = j; ys[k] < eol; ++k) {
                    if (b[ys[k] - 2] == '.' && b[ys[k] - 1] == 'p') {
                        dot = b + ys[k] - 2;
                        break;
                    }
                }
                verdict = dot ? message_verdict(dot, b + eol) : plain_verdict(b + pos, b + eol);
            }
            if (verdict != Verdict::skip) {
                hold(verdict, b + pos, b + eol, true);
                start_ = eol + 1;
                return true;
            }
            pos = eol + 1;
        }
        start_ = pos;
        return true;
    }

    void hold(Verdict verdict, const unsigned char* s, const unsigned char* e, bool ending) {
        stop_.kind = verdict;
        stop_.ending = ending;
        stop_.held = true;
        stop_.text.assign(reinterpret_cast<const char*>(s), static_cast<size_t>(e - s));
        stopped_ = true;
    }

    /// The line in buf_[0, len_) has grown past LONG_LINE without a break: reads on
    /// keeping only what decides about it, until it ends; then goes on with the lines after.
    bool follow_long_line() {
        unsigned char* b = buf_.get();
        const uint64_t offset = base_;
        uint64_t length = len_;
        const Needle py(".py:");
        bool has_prefix = setup_.prefix.find(b, len_) < len_;
        StreamFinder prefix_finder(setup_.prefix, b, len_);
        StreamFinder py_finder(py, b, len_);
        IdField field;
        const unsigned char* dot = find_py(b, b + len_);
        bool has_py = dot != nullptr;
        if (dot) field.feed(dot + 4, b + len_);
        ModuleMessage layout;
        layout.feed(b, b + len_);

        for (;;) {
            base_ = next_;
            const long got = read_into(b, CHUNK);
            if (got < 0) return false;
            const auto n = static_cast<size_t>(got);
            std::memset(b + n, 0, PADDING);
            size_t e = n;
            if (const void* nl = std::memchr(b, '\n', n))
                e = static_cast<size_t>(static_cast<const unsigned char*>(nl) - b);
            if (const void* cr = std::memchr(b, '\r', e))
                e = static_cast<size_t>(static_cast<const unsigned char*>(cr) - b);
            if (!has_prefix) has_prefix = prefix_finder.feed(b, e) != StreamFinder::none;
            layout.feed(b, b + e);
            if (has_py) {
                field.feed(b, b + e);
            } else if (const size_t at = py_finder.feed(b, e); at != StreamFinder::none) {
                has_py = true;
                field.feed(b + at, b + e);
            }
            length += e;
            if (e == n && n != 0) continue;

            // The line ends here (or the file does).
            Verdict verdict;
            if (has_prefix)
                verdict = Verdict::score;
            else if (has_py)
                verdict = field.fails() ? Verdict::message : Verdict::skip;
            else
                verdict = layout.finish() == Layout::error ? Verdict::message : Verdict::skip;
            if (verdict != Verdict::skip) {
                stop_.kind = verdict;
                stop_.ending = n != 0;
                stop_.held = false;
                stop_.offset = offset;
                stop_.length = length;
                stopped_ = true;
            }
            if (n == 0) {
                start_ = len_ = 0;
                return true;
            }
            start_ = e + 1;
            len_ = unchecked_ = n;  // read_into checked it
            return stopped_ || scan_lines();
        }
    }

    const ScanSetup& setup_;
    const int fd_;
    uint64_t next_;  // file offset of the next read
    const uint64_t end_;
    uint64_t base_;  // file offset of buf_[0]
    Shared& shared_;
    const bool polls_;
    TextCheck text_;
    const size_t expected_;
    size_t capacity_ = 0;  // of buf_, besides PADDING
    std::unique_ptr<unsigned char[]> buf_;
    std::unique_ptr<uint64_t[]> breaks_, y_colons_;  // bitmaps of buf_
    std::unique_ptr<uint32_t[]> ends_, ys_;          // their set bits, as offsets
    size_t len_ = 0;    // bytes in buf_
    size_t unchecked_ = 0;  // bytes in buf_ from here on are not checked yet
    size_t start_ = 0;  // start of the current line in buf_
    bool stopped_ = false;
    uint64_t since_poll_ = 0;
    StopLine stop_;
};

/// Closes the descriptor it holds.
struct FileHandle {
    int fd = -1;
    ~FileHandle() {
        if (fd >= 0) ::close(fd);
    }
};

enum class Scan { fallback, interrupted, done };

int usable_cpus() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
    return std::max(1u, std::thread::hardware_concurrency());
}

/// Offsets where the file is split for parallel reading: each just after a "\n" near an
/// even share of the size. The first part starts at 0, the last reads to the end.
std::vector<uint64_t> split_points(int fd, uint64_t size) {
    std::vector<uint64_t> starts{0};
    const auto parts = static_cast<uint64_t>(
        std::min<uint64_t>(static_cast<uint64_t>(std::min(usable_cpus(), PARTS_MAX)), size / PART_MIN));
    if (parts < 2) return starts;
    std::unique_ptr<char[]> window(new char[64 * 1024]);
    for (uint64_t k = 1; k < parts; ++k) {
        uint64_t at = size / parts * k;
        for (int tries = 0; tries < 16; ++tries) {
            const ssize_t n = ::pread(fd, window.get(), 64 * 1024, static_cast<off_t>(at));
            if (n <= 0) break;
            if (const void* nl = std::memchr(window.get(), '\n', static_cast<size_t>(n))) {
                const uint64_t cut = at + static_cast<uint64_t>(static_cast<const char*>(nl) - window.get()) + 1;
                if (cut > starts.back() && cut < size) starts.push_back(cut);
                break;
            }
            at += static_cast<uint64_t>(n);
        }
    }
    return starts;
}

/// Releases the GIL for its lifetime; `state` is the thread state to restore (poll()
/// takes the GIL in between and updates it).
struct Unlocked {
    explicit Unlocked(PyThreadState*& state) : state_(state) { state_ = PyEval_SaveThread(); }
    ~Unlocked() { PyEval_RestoreThread(state_); }
    Unlocked(const Unlocked&) = delete;
    Unlocked& operator=(const Unlocked&) = delete;
    PyThreadState*& state_;
};

/// Reads the report at `path`, with the GIL released. On `done`, `stop` is the line that
/// ends the reading (kind skip when none does) with its bytes.
Scan scan_report(const std::string& path, const ScanSetup& setup, StopLine& stop) {
    Shared shared;
    Unlocked unlocked(shared.thread_state);
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return Scan::fallback;
    FileHandle file;
    file.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (file.fd < 0) return Scan::fallback;
    if (::fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode)) return Scan::fallback;
#ifdef POSIX_FADV_SEQUENTIAL
    ::posix_fadvise(file.fd, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif

    const auto size = static_cast<uint64_t>(st.st_size);
    const std::vector<uint64_t> starts = split_points(file.fd, size);
    std::vector<std::unique_ptr<PartScan>> parts;
    for (size_t i = 0; i < starts.size(); ++i) {
        const uint64_t end = i + 1 < starts.size() ? starts[i + 1] : TO_EOF;
        const uint64_t expected = (end == TO_EOF ? size : end) - starts[i];
        parts.push_back(
            std::make_unique<PartScan>(setup, file.fd, starts[i], end, expected, shared, i == 0));
    }
    std::vector<char> ok(parts.size(), 0);
    {
        std::vector<std::thread> threads;
        std::vector<size_t> inline_parts;
        for (size_t i = 1; i < parts.size(); ++i) {
            try {
                threads.emplace_back([&, i] { ok[i] = parts[i]->run(); });
            } catch (...) {
                inline_parts.push_back(i);
            }
        }
        ok[0] = parts[0]->run();
        for (size_t i : inline_parts) ok[i] = parts[i]->run();
        for (std::thread& t : threads) t.join();
    }
    if (shared.interrupted.load()) return Scan::interrupted;
    for (char part_ok : ok)
        if (!part_ok) return Scan::fallback;

    for (auto& part : parts) {
        StopLine& found = part->stop();
        if (found.kind == Verdict::skip) continue;
        if (!found.held) {  // a long line: read it again
            found.text.resize(static_cast<size_t>(found.length));
            size_t done = 0;
            while (done < found.text.size()) {
                const ssize_t n = ::pread(file.fd, &found.text[done], found.text.size() - done,
                                          static_cast<off_t>(found.offset + done));
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) return Scan::fallback;
                done += static_cast<size_t>(n);
            }
        }
        stop = std::move(found);
        return Scan::done;
    }
    return Scan::done;
}

/* Deciding between the two readings ****************************************************/

bool is_native(py::handle obj, Thunk thunk) {
    return is_function(obj) && reinterpret_cast<FunctionObject*>(obj.ptr())->thunk == thunk;
}

py::object Scorewarden_extract_quality_value(py::handle line);
py::object Scorewarden_raise_if_error_or_failure(py::handle line);

/// `self.file_path` is a plain pathlib path of this platform whose `open` is pathlib's own.
bool opens_as_pathlib(py::handle file_path) {
    py::module_ pathlib = py::module_::import("pathlib");
    PyObject* globals = current_frame()->globals;
    PyObject* bound = PyDict_GetItemWithError(globals, intern("Path").ptr());
    if (!bound && PyErr_Occurred()) throw py::error_already_set();
    if (!bound || bound != pathlib.attr("Path"_id).ptr()) return false;
    auto* type = Py_TYPE(file_path.ptr());
    if (reinterpret_cast<PyObject*>(type) != pathlib.attr("PosixPath"_id).ptr() &&
        reinterpret_cast<PyObject*>(type) != pathlib.attr("WindowsPath"_id).ptr())
        return false;
    if (type->tp_dictoffset != 0) return false;
    py::object open = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(type)).attr("open"_id);
    if (!PyFunction_Check(open.ptr())) return false;
    py::object module_name = open.attr("__module__"_id);
    if (!py::isinstance<py::str>(module_name)) return false;
    const std::string module = module_name.cast<std::string>();
    if (module != "pathlib" && module != "pathlib._local") return false;
    if (!eq(py::object(open.attr("__qualname__"_id)), py::str("Path.open"))) return false;
    py::object source = py::module_::import("sys").attr("modules"_id)[module_name];
    return eq(py::object(open.attr("__code__"_id).attr("co_filename"_id)),
              py::object(source.attr("__file__"_id)));
}

/// The default text encoding is one the scan reads: UTF-8 or ASCII.
bool scan_encoding(bool& ascii) {
    py::object sys = py::module_::import("sys");
    if (truth(py::getattr(sys.attr("flags"_id), "warn_default_encoding", py::int_(0)))) return false;
    py::object encoding = py::module_::import("locale").attr("getpreferredencoding"_id)(false);
    py::object name = py::module_::import("codecs").attr("lookup"_id)(encoding).attr("name"_id);
    if (!py::isinstance<py::str>(name)) return false;
    const std::string text = name.cast<std::string>();
    ascii = text == "ascii";
    return ascii || text == "utf-8";
}

/// Everything the scan needs, or false when the report must be read line by line.
bool prepare_scan(py::handle self, py::handle file_path, std::string& path,
                  std::unique_ptr<ScanSetup>& setup) {
    bool audit_failed = false;
    try {
        if (Py_TYPE(self.ptr())->tp_getattro != PyObject_GenericGetAttr) return false;
        if (!is_native(py::getattr(self, "extract_quality_value"),
                       &detail::thunk<Scorewarden_extract_quality_value>) ||
            !is_native(py::getattr(self, "raise_if_error_or_failure"),
                       &detail::thunk<Scorewarden_raise_if_error_or_failure>))
            return false;
        if (!opens_as_pathlib(file_path)) return false;
        bool ascii = false;
        if (!scan_encoding(ascii)) return false;

        py::object prefix = global("PYLINT_SCORE_LINE_STARTS_WITH");
        if (!PyUnicode_CheckExact(prefix.ptr())) return false;
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(prefix.ptr(), &size);
        if (!utf8) throw py::error_already_set();
        std::string bytes(utf8, static_cast<size_t>(size));
        if (bytes.empty() || bytes.find_first_of("\r\n") != std::string::npos) return false;

        PyObject* fspath = PyOS_FSPath(file_path.ptr());
        if (!fspath) throw py::error_already_set();
        py::object text = py::reinterpret_steal<py::object>(fspath);
        if (!PyUnicode_Check(text.ptr())) return false;
        PyObject* encoded = PyUnicode_EncodeFSDefault(text.ptr());
        if (!encoded) throw py::error_already_set();
        py::bytes raw = py::reinterpret_steal<py::bytes>(encoded);
        path.assign(PyBytes_AS_STRING(raw.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(raw.ptr())));
        if (path.empty() || path.find('\0') != std::string::npos) return false;
        // The event the interpreter's own opening of the file raises.
        if (PySys_Audit("open", "Osi", file_path.ptr(), "r", O_RDONLY | O_CLOEXEC) < 0) {
            audit_failed = true;
            throw py::error_already_set();
        }

        setup.reset(new ScanSetup{Needle(std::move(bytes)), ascii, pick_bit_kernels()});
        return true;
    } catch (py::error_already_set&) {
        if (audit_failed) throw;  // an audit hook refused the opening
        return false;             // the line-by-line reading meets the same problem, if it matters
    }
}

/// `with self.file_path.open() as f: content = f.readlines()`, then the loop.
py::object read_line_by_line(py::handle self, py::handle file_path) {
    py::object qa_value = py::str("NA");
    py::object manager = file_path.attr("open"_id)();
    py::object manager_type = py::reinterpret_borrow<py::object>(
        reinterpret_cast<PyObject*>(Py_TYPE(manager.ptr())));
    py::object enter = manager_type.attr("__enter__"_id);
    py::object exit = manager_type.attr("__exit__"_id);
    py::object f = enter(manager);
    py::object content;
    try {
        line();
        content = f.attr("readlines"_id)();
    } catch (py::error_already_set& e) {
        if (!truth(exit(manager, e.type(), e.value(), e.trace()))) throw;
    }
    if (!content) {  // __exit__ swallowed the error: `content` was never bound
        line();
        raise(PyExc_UnboundLocalError,
              py::str(compat::unbound_local_message()).attr("replace"_id)("%s", "content"));
    }
    exit(manager, py::none(), py::none(), py::none());

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
    raise(PyExc_FileNotFoundError, fstr({"File ", self.attr("file_path"_id), " not found. Current Path: ",
                                         global("Path").attr("cwd"_id)()}));
}

py::object Scorewarden_validate_pylint_report(py::handle self) {
    line();
    py::object file_path = self.attr("file_path"_id);
    std::string path;
    std::unique_ptr<ScanSetup> setup;
    if (prepare_scan(self, file_path, path, setup)) {
        StopLine stop;
        line();
        switch (scan_report(path, *setup, stop)) {
        case Scan::interrupted:
            throw py::error_already_set();
        case Scan::fallback:
            break;
        case Scan::done:
            if (stop.kind == Verdict::skip) return py::str("NA");
            if (stop.ending) stop.text.push_back('\n');
            PyObject* decoded = PyUnicode_DecodeUTF8(stop.text.data(),
                                                     static_cast<Py_ssize_t>(stop.text.size()), "strict");
            if (!decoded) throw py::error_already_set();
            py::object text = py::reinterpret_steal<py::object>(decoded);
            if (stop.kind == Verdict::score) {
                line();
                return self.attr("extract_quality_value"_id)(text);
            }
            line();
            self.attr("raise_if_error_or_failure"_id)(text);
            break;  // it did not raise after all: let the plain reading decide
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
    py::object stripped = line.attr("strip"_id)();
    py::object code;
    if (contains(stripped, py::str(".py:"))) {
        py::object after = stripped.attr("split"_id)(".py:", 1)[py::int_(1)];
        code = after.attr("split"_id)(":")[py::int_(2)];
    } else {
        code = stripped.attr("split"_id)(":")[py::int_(3)];
    }
    py::object any = global("any");
    py::list found;
    found.append(py::bool_(contains(code, py::str("F"))));
    found.append(py::bool_(contains(code, py::str("E"))));
    if (truth(any(found))) raise(PyExc_ValueError, add(py::str(ERROR_MESSAGE), code));
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
