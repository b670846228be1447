// The report scan engine (see report_scan.hpp): reads a file in chunks and walks over each
// chunk once, 64 bytes at a time in vector registers, stopping only at the few lines that may
// matter; it decides those lines byte by byte, and checks the encoding of everything it
// reads. Large files are split at line breaks into parts that several threads take in turn;
// a part after a stop that another part found only checks the encoding.
#include "report_scan.hpp"

// The engine is built without the interpreter: its compile must not reach Python's headers.
#if defined(__has_include)
#if __has_include(<Python.h>)
#error "the report scan engine is built without Python: Python.h must not be within reach"
#endif
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif
#if defined(__aarch64__) && defined(__ARM_NEON)
#include <arm_neon.h>
#endif

namespace qm::report_scan {
namespace {

using DecimalTest = bool (*)(std::uint32_t);

/* Text of a line **********************************************************************/

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

/// The module message layout (report_scan.hpp) of a line as read, fed its UTF-8 bytes in
/// pieces of any size; the bytes are known to be valid UTF-8 by the time the verdict counts.
class ModuleMessage {
  public:
    explicit ModuleMessage(DecimalTest is_decimal) : layout_(Digit{is_decimal}) {}

    void feed(const unsigned char* p, const unsigned char* e) {
        while (p != e && !settled_) {
            if (layout_.in_module()) {  // ':' is never part of a longer character
                const void* colon = std::memchr(p, ':', static_cast<size_t>(e - p));
                if (!colon) return;
                p = static_cast<const unsigned char*>(colon);
            }
            char32_t c = *p;
            if (pending_size_ || c >= 0x80) {  // a character of several bytes, maybe cut
                if (!pending_size_) need_ = c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
                while (pending_size_ < need_ && p != e) pending_[pending_size_++] = *p++;
                if (pending_size_ < need_) return;
                pending_size_ = 0;
                c = pending_[0] & (0x7F >> need_);
                for (int k = 1; k < need_; ++k) c = (c << 6) | (pending_[k] & 0x3F);
            } else {
                ++p;
            }
            settled_ = !layout_.feed(c);
        }
    }

    /// The verdict once the whole line has been fed.
    Layout finish() const { return layout_.verdict(); }

  private:
    /// str.isdecimal() of a code point: the ASCII digits, and above U+007F the caller's test.
    struct Digit {
        DecimalTest wide;
        bool operator()(char32_t c) const {
            return (c >= U'0' && c <= U'9') || (c >= 0x80 && wide && wide(static_cast<std::uint32_t>(c)));
        }
    };

    ModuleMessageLayout<Digit> layout_;
    bool settled_ = false;
    unsigned char pending_[4] = {0, 0, 0, 0};
    int pending_size_ = 0;
    int need_ = 0;
};


/* Scanning a report *******************************************************************/

constexpr size_t CHUNK = 256 * 1024;        // bytes per read
constexpr size_t LONG_LINE = 1024 * 1024;   // a line growing past this is followed piecewise
constexpr std::uint64_t PART_MIN = 4u << 20;     // smallest share of a file for one part
constexpr std::uint64_t PARTS_MAX = 8;
constexpr std::uint64_t POLL_EVERY = 64u << 20;  // the caller is polled after this many bytes
constexpr std::uint64_t TO_EOF = UINT64_MAX;
constexpr size_t MAX_HELD = CHUNK + LONG_LINE;  // most data a scan buffer holds
// The shortest stripped line of the module message layout: "m:1:0: E0602: x".
constexpr size_t MODULE_MESSAGE_MIN = 15;

enum class Verdict { skip, score, message };

/// Readable bytes after the end of the data in a scan buffer, for the window below.
constexpr size_t PADDING = 128;
/// Where reads into a scan buffer go: at multiples of this.
constexpr size_t ALIGN = 64;

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
inline Verdict plain_verdict(const unsigned char* s, const unsigned char* e, DecimalTest is_decimal) {
    if (static_cast<size_t>(e - s) < MODULE_MESSAGE_MIN) return Verdict::skip;
    ModuleMessage layout(is_decimal);
    layout.feed(s, e);
    return layout.finish() == Layout::error ? Verdict::message : Verdict::skip;
}

/* Finding the lines that may matter ***************************************************/

#if defined(__GNUC__) || defined(__clang__)
#define QM_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define QM_ALWAYS_INLINE inline
#endif

/// The marks, word by word (64 bytes, one bit per byte): every "E" and "F" (the id of a
/// failing message holds one), and the break after a "y:" (as in ".py:") with fewer than
/// two colons behind it in its line (where the id field is missing). A line without a mark
/// can end the reading only by holding the score prefix. The lines are found for all "y:"
/// at once: adding a bit just after each such colon to the bytes that are neither colons nor
/// breaks carries it on to the next colon or break, and a colon reached so, carried on once
/// more, reaches the one after; where either lands on a break, the line is short. Words are
/// fed in order; bits past the data are clear. Nothing carries past a break, so the marks of
/// a line do not depend on the lines before it.
class LineMarks {
  public:
    QM_ALWAYS_INLINE std::uint64_t next(std::uint64_t breaks, std::uint64_t colons, std::uint64_t letters,
                                        std::uint64_t ys) {
        const std::uint64_t stops = breaks | colons, runs = ~stops;
        const std::uint64_t y_colons = ((ys << 1) | (ys_before_ >> 63)) & colons;
        const std::uint64_t first = add(runs, (y_colons << 1) | (y_colons_before_ >> 63), carry1_) & stops;
        const std::uint64_t onward = first & colons;
        const std::uint64_t second = add(runs, (onward << 1) | (onward_before_ >> 63), carry2_) & stops;
        ys_before_ = ys;
        y_colons_before_ = y_colons;
        onward_before_ = onward;
        return letters | ((first | second) & breaks);
    }

  private:
    /// a + b + carry, with the carry out.
    static QM_ALWAYS_INLINE std::uint64_t add(std::uint64_t a, std::uint64_t b, unsigned char& carry) {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
        // The carry in is 0 or 1: adding 0xFF to it sets the flag exactly when it is 1.
        __asm__("addb $0xff, %[c]\n\t"
                "adcq %[b], %[a]\n\t"
                "setc %[c]"
                : [a] "+r"(a), [c] "+q"(carry)
                : [b] "r"(b)
                : "cc");
        return a;
#else
        std::uint64_t sum;
        const bool over = __builtin_add_overflow(a, b, &sum);
        const bool over_too = __builtin_add_overflow(sum, static_cast<std::uint64_t>(carry), &sum);
        carry = over || over_too;
        return sum;
#endif
    }

    std::uint64_t ys_before_ = 0, y_colons_before_ = 0, onward_before_ = 0;
    unsigned char carry1_ = 0, carry2_ = 0;
};

/// The walk over the words of a buffer, from the start of a line on: it goes on to the next
/// word until one holds a mark of a line not decided yet (or the score prefix), or, while a
/// marked line waits for its end, a break. Its state lives in registers while it runs.
struct Walk {
    LineMarks marks;
    std::uint64_t floor = ~0ull;    // the bits of the next word that are not decided yet
    std::uint64_t pending = 0;      // all ones while a marked line waits for its break
    size_t prefix_word = SIZE_MAX;  // the word that holds the first score prefix
    std::uint64_t prefix_bit = 0;
    size_t line_start = 0;          // of the line the walk is in
    std::uint64_t hits = 0, breaks = 0;  // of the word where the walk stopped

    /// Takes the bits of word w; true when the walk stops there.
    QM_ALWAYS_INLINE bool word(size_t w, std::uint64_t brk, std::uint64_t colons, std::uint64_t letters,
                               std::uint64_t ys) {
        std::uint64_t h = marks.next(brk, colons, letters, ys) & floor;
        if (w == prefix_word) h |= prefix_bit;
        const std::uint64_t b = brk & floor;
        floor = ~0ull;
        if ((h | (b & pending)) != 0) {
            hits = h;
            breaks = b;
            return true;
        }
        if (b) line_start = (w << 6) + 64 - static_cast<size_t>(__builtin_clzll(b));
        return false;
    }
};

/// Walks words [w, w_end) of b: the word where the walk stops, or w_end. Sets `high` when a
/// byte walked over is above 0x7F (so that pure ASCII needs no check of its encoding). Reads
/// up to byte 64 * w_end; the bytes past the data are zeros, whose bits are clear.
using Find = size_t (*)(Walk& walk, const unsigned char* b, size_t w, size_t w_end, bool& high);

/// The bytes of x that are zero, as the top bit of each byte (exactly: no borrow runs
/// from one byte into the next).
constexpr std::uint64_t zero_bytes(std::uint64_t x) {
    constexpr std::uint64_t low7 = 0x7F7F7F7F7F7F7F7Full;
    return ~(((x & low7) + low7) | x | low7);
}

/// The bytes of x that equal c, one bit per byte (bit i for byte i).
constexpr unsigned bytes_equal(std::uint64_t x, unsigned char c) {
    const std::uint64_t tops = zero_bytes(x ^ (0x0101010101010101ull * c));
    return static_cast<unsigned>(((tops >> 7) * 0x0102040810204080ull) >> 56);  // gathers the tops
}

size_t find_portable(Walk& walk, const unsigned char* b, size_t w, size_t w_end, bool& high) {
    Walk k = walk;
    std::uint64_t any = 0;
    for (; w < w_end; ++w) {
        std::uint64_t brk = 0, colons = 0, letters = 0, ys = 0;
        for (unsigned i = 0; i < 8; ++i) {
            std::uint64_t x;
            std::memcpy(&x, b + (w << 6) + 8 * i, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
            x = __builtin_bswap64(x);  // byte i of the text as byte i of the number
#endif
            any |= x;
            const unsigned shift = 8 * i;
            brk |= static_cast<std::uint64_t>(bytes_equal(x, '\n') | bytes_equal(x, '\r')) << shift;
            colons |= static_cast<std::uint64_t>(bytes_equal(x, ':')) << shift;
            letters |= static_cast<std::uint64_t>(bytes_equal(x, 'E') | bytes_equal(x, 'F')) << shift;
            ys |= static_cast<std::uint64_t>(bytes_equal(x, 'y')) << shift;
        }
        if (k.word(w, brk, colons, letters, ys)) break;
    }
    walk = k;
    high = high || (any & 0x8080808080808080ull) != 0;
    return w;
}

#if defined(__SSE2__)
size_t find_sse2(Walk& walk, const unsigned char* b, size_t w, size_t w_end, bool& high) {
    const __m128i nl = _mm_set1_epi8('\n'), cr = _mm_set1_epi8('\r'), colon = _mm_set1_epi8(':');
    const __m128i big_e = _mm_set1_epi8('E'), big_f = _mm_set1_epi8('F'), y = _mm_set1_epi8('y');
    __m128i any = _mm_setzero_si128();
    Walk k = walk;
    for (; w < w_end; ++w) {
        const unsigned char* q = b + (w << 6);
        std::uint64_t brk = 0, colons = 0, letters = 0, ys = 0;
        for (unsigned i = 0; i < 4; ++i) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q + 16 * i));
            any = _mm_or_si128(any, v);
            auto mask = [i](__m128i m) {
                return static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(m))) << (16 * i);
            };
            brk |= mask(_mm_or_si128(_mm_cmpeq_epi8(v, nl), _mm_cmpeq_epi8(v, cr)));
            colons |= mask(_mm_cmpeq_epi8(v, colon));
            letters |= mask(_mm_or_si128(_mm_cmpeq_epi8(v, big_e), _mm_cmpeq_epi8(v, big_f)));
            ys |= mask(_mm_cmpeq_epi8(v, y));
        }
        if (k.word(w, brk, colons, letters, ys)) break;
    }
    walk = k;
    high = high || _mm_movemask_epi8(any) != 0;
    return w;
}
#endif

#if defined(__x86_64__) || defined(__i386__)
__attribute__((target("avx2"))) inline std::uint64_t mask_avx2(__m256i lo, __m256i hi) {
    return static_cast<std::uint32_t>(_mm256_movemask_epi8(lo)) |
           static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(hi))) << 32;
}

__attribute__((target("avx2"))) inline __m256i either_avx2(__m256i v, __m256i x, __m256i z) {
    return _mm256_or_si256(_mm256_cmpeq_epi8(v, x), _mm256_cmpeq_epi8(v, z));
}

__attribute__((target("avx2"))) size_t find_avx2(Walk& walk, const unsigned char* b, size_t w, size_t w_end,
                                                 bool& high) {
    const __m256i nl = _mm256_set1_epi8('\n'), cr = _mm256_set1_epi8('\r'), colon = _mm256_set1_epi8(':');
    const __m256i big_e = _mm256_set1_epi8('E'), big_f = _mm256_set1_epi8('F'), y = _mm256_set1_epi8('y');
    __m256i any = _mm256_setzero_si256();
    Walk k = walk;
    for (; w < w_end; ++w) {
        const unsigned char* q = b + (w << 6);
        const __m256i v0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q));
        const __m256i v1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + 32));
        any = _mm256_or_si256(any, _mm256_or_si256(v0, v1));
        if (k.word(w, mask_avx2(either_avx2(v0, nl, cr), either_avx2(v1, nl, cr)),
                   mask_avx2(_mm256_cmpeq_epi8(v0, colon), _mm256_cmpeq_epi8(v1, colon)),
                   mask_avx2(either_avx2(v0, big_e, big_f), either_avx2(v1, big_e, big_f)),
                   mask_avx2(_mm256_cmpeq_epi8(v0, y), _mm256_cmpeq_epi8(v1, y))))
            break;
    }
    walk = k;
    high = high || _mm256_movemask_epi8(any) != 0;
    return w;
}

__attribute__((target("avx512f,avx512bw"))) size_t find_avx512(Walk& walk, const unsigned char* b, size_t w,
                                                               size_t w_end, bool& high) {
    const __m512i nl = _mm512_set1_epi8('\n'), cr = _mm512_set1_epi8('\r'), colon = _mm512_set1_epi8(':');
    const __m512i big_e = _mm512_set1_epi8('E'), one = _mm512_set1_epi8(1), y = _mm512_set1_epi8('y');
    __m512i any = _mm512_setzero_si512();
    Walk k = walk;
    for (; w < w_end; ++w) {
        const __m512i v = _mm512_loadu_si512(b + (w << 6));
        any = _mm512_or_si512(any, v);
        if (k.word(w, _mm512_cmpeq_epi8_mask(v, nl) | _mm512_cmpeq_epi8_mask(v, cr),
                   _mm512_cmpeq_epi8_mask(v, colon),
                   _mm512_cmple_epu8_mask(_mm512_sub_epi8(v, big_e), one),  // "E" or "F"
                   _mm512_cmpeq_epi8_mask(v, y)))
            break;
    }
    walk = k;
    high = high || _mm512_movepi8_mask(any) != 0;
    return w;
}
#endif

#if defined(__aarch64__) && defined(__ARM_NEON)
/// The top bits of four byte compares (0xFF or 0 each) as one bit per byte, bit i for byte i:
/// each byte keeps its own bit of eight, and three rounds of pairwise adds gather the 64.
inline std::uint64_t mask_neon(uint8x16_t a, uint8x16_t b, uint8x16_t c, uint8x16_t d) {
    const uint8x16_t bit = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
    const uint8x16_t ab = vpaddq_u8(vandq_u8(a, bit), vandq_u8(b, bit));
    const uint8x16_t cd = vpaddq_u8(vandq_u8(c, bit), vandq_u8(d, bit));
    const uint8x16_t all = vpaddq_u8(ab, cd);
    return vgetq_lane_u64(vreinterpretq_u64_u8(vpaddq_u8(all, all)), 0);
}

size_t find_neon(Walk& walk, const unsigned char* b, size_t w, size_t w_end, bool& high) {
    const uint8x16_t nl = vdupq_n_u8('\n'), cr = vdupq_n_u8('\r'), colon = vdupq_n_u8(':');
    const uint8x16_t big_e = vdupq_n_u8('E'), one = vdupq_n_u8(1), y = vdupq_n_u8('y');
    uint8x16_t any = vdupq_n_u8(0);
    Walk k = walk;
    for (; w < w_end; ++w) {
        const unsigned char* q = b + (w << 6);
        uint8x16_t v[4], brk[4], colons[4], letters[4], ys[4];
        for (unsigned i = 0; i < 4; ++i) {
            v[i] = vld1q_u8(q + 16 * i);
            any = vorrq_u8(any, v[i]);
            brk[i] = vorrq_u8(vceqq_u8(v[i], nl), vceqq_u8(v[i], cr));
            colons[i] = vceqq_u8(v[i], colon);
            letters[i] = vcleq_u8(vsubq_u8(v[i], big_e), one);  // "E" or "F"
            ys[i] = vceqq_u8(v[i], y);
        }
        if (k.word(w, mask_neon(brk[0], brk[1], brk[2], brk[3]),
                   mask_neon(colons[0], colons[1], colons[2], colons[3]),
                   mask_neon(letters[0], letters[1], letters[2], letters[3]),
                   mask_neon(ys[0], ys[1], ys[2], ys[3])))
            break;
    }
    walk = k;
    high = high || vmaxvq_u8(any) >= 0x80;
    return w;
}
#endif

bool always() { return true; }

#if defined(__x86_64__) || defined(__i386__)
bool has_avx512bw() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512bw");
}

bool has_avx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}
#endif

struct FinderEntry {
    Finder finder;
    const char* name;
    Find find;
    bool (*runs)();  // whether the processor runs it
};

/// The finders of this build, widest first: the one list of them.
constexpr FinderEntry FINDERS[] = {
#if defined(__x86_64__) || defined(__i386__)
    {Finder::avx512bw, "avx512bw", find_avx512, has_avx512bw},
    {Finder::avx2, "avx2", find_avx2, has_avx2},
#endif
#if defined(__SSE2__)
    {Finder::sse2, "sse2", find_sse2, always},
#endif
#if defined(__aarch64__) && defined(__ARM_NEON)
    {Finder::neon, "neon", find_neon, always},
#endif
    {Finder::portable, "portable", find_portable, always},
};

/// The walk of the finder asked for, or of the widest the processor runs for `automatic`;
/// nullptr for one it does not run.
Find find_of(Finder finder) {
    for (const FinderEntry& entry : FINDERS)
        if ((finder == Finder::automatic || finder == entry.finder) && entry.runs()) return entry.find;
    return nullptr;
}

/// The line that ends the reading.
struct StopLine {
    Verdict kind = Verdict::skip;  // skip: there is none
    bool ending = false;           // it ends with a line break
    bool held = false;             // text holds its bytes; otherwise read them again
    std::string text;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};

struct ScanSetup {
    Needle prefix;
    bool ascii;
    DecimalTest is_decimal;
    Find find;
};

/// State shared by the threads reading one report.
struct Shared {
    std::atomic<bool> give_up{false};      // some part cannot be read by the scan
    std::atomic<bool> interrupted{false};  // poll() said so
    std::atomic<std::uint64_t> first_stop{TO_EOF};  // file offset of the earliest stop found
    const Request* request = nullptr;

    void stopped_at(std::uint64_t offset) {
        std::uint64_t seen = first_stop.load(std::memory_order_relaxed);
        while (offset < seen && !first_stop.compare_exchange_weak(seen, offset, std::memory_order_relaxed)) {
        }
    }
};

/// The buffer of one thread, kept for the parts it reads one after another. It starts at a
/// multiple of ALIGN: the kernel copies a file into memory at such an address several times
/// faster than at others.
class ScanBuffer {
  public:
    std::uint64_t since_poll = 0;  // bytes this thread read since it last polled

    /// Room for `size` bytes of data and PADDING.
    unsigned char* reserve(size_t size) {
        if (size_ < size) {
            data_.reset();
            const size_t bytes = (size + PADDING + ALIGN - 1) / ALIGN * ALIGN;
            data_.reset(static_cast<unsigned char*>(std::aligned_alloc(ALIGN, bytes)));
            if (!data_) throw std::bad_alloc();
            size_ = size;
        }
        return data_.get();
    }

  private:
    struct Free {
        void operator()(unsigned char* p) const { std::free(p); }
    };
    std::unique_ptr<unsigned char, Free> data_;
    size_t size_ = 0;
};

/// Reads the bytes [begin, end) of the file (end may be TO_EOF) and finds the first line
/// there that ends the reading. `begin` is the start of a line.
///
/// Lines end at "\n", "\r" and "\r\n"; the "\n" of a "\r\n" ends no line of its own. The line
/// that ends the reading is handed on with "\n" in place of its break.
class PartScan {
  public:
    /// `expected`: the size of the part by the file's size now; small parts get buffers
    /// of their size.
    PartScan(const ScanSetup& setup, int fd, std::uint64_t begin, std::uint64_t end,
             std::uint64_t expected, Shared& shared)
        : setup_(setup), fd_(fd), next_(begin), end_(end), base_(begin), shared_(shared),
          text_(setup.ascii),
          expected_(static_cast<size_t>(std::min<std::uint64_t>(expected, MAX_HELD))) {}

    /// Reads the part into `buffer`, calling poll() if `polls`. False when the line-by-line
    /// reading must decide.
    bool run(ScanBuffer& buffer, bool polls) noexcept {
        try {
            polls_ = polls;
            since_poll_ = &buffer.since_poll;
            // Room for the part with a byte to spare, and for aligning what is kept of a line.
            capacity_ = (expected_ < MAX_HELD ? std::max<size_t>(expected_ + 1, 16 * 1024) : MAX_HELD) + ALIGN;
            buf_ = buffer.reserve(capacity_);
            std::memset(buf_, 0, PADDING);
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
    /// Reads on into the buffer after the data held: up to CHUNK bytes. A buffer smaller
    /// than MAX_HELD holds the whole part with a byte to spare; when it fills up, the file
    /// has grown since, and the line-by-line reading takes over.
    long read_more() {
        const size_t room = capacity_ - len_;
        if (room == 0) return -1;
        const long n = read_into(buf_ + len_, std::min(CHUNK, room), false);
        if (n > 0) {
            unchecked_ = len_;  // scan_lines checks the encoding along with its walk
            len_ += static_cast<size_t>(n);
            std::memset(buf_ + len_, 0, PADDING);  // what the walk reads past the data
        }
        return n;
    }

    bool read_all() {
        for (;;) {
            // A stop earlier in the file decides: the bytes here need only decode.
            if (!stopped_ && shared_.first_stop.load(std::memory_order_relaxed) < base_ + start_)
                stopped_ = true;
            if (stopped_) {
                const long n = read_into(buf_, std::min(CHUNK, capacity_));
                if (n < 0) return false;
                if (n == 0) break;
                continue;
            }
            if (start_ > 0) keep_line();
            if (len_ - start_ > LONG_LINE) {
                if (!follow_long_line()) return false;
                continue;
            }
            const long n = read_more();
            if (n < 0) return false;
            if (n == 0) break;
            if (!scan_lines()) return false;
        }
        if (!stopped_ && start_ < len_) {  // the last line, without a line break
            const unsigned char* s = buf_ + start_;
            const unsigned char* e = buf_ + len_;
            const bool prefix = setup_.prefix.find(s, len_ - start_) < len_ - start_;
            const Verdict verdict = line_verdict(s, e, prefix);
            if (verdict != Verdict::skip) hold(verdict, s, e, false);
        }
        return text_.at_boundary();
    }

    /// Moves the line [start_, len_), not complete yet, to the front of the buffer, so that it
    /// ends at a multiple of ALIGN, where the next read goes. The bytes before it are cleared
    /// for the walk. (base_ may wrap around below zero: it is only used with offsets in the
    /// buffer from start_ on.)
    void keep_line() {
        const size_t keep = len_ - start_;
        const size_t at = (0 - keep) & (ALIGN - 1);
        if (start_ != at) std::memmove(buf_ + at, buf_ + start_, keep);
        std::memset(buf_, 0, at);
        base_ += start_ - at;
        start_ = at;
        len_ = at + keep;
    }

    /// Reads up to `room` bytes and, if `check`, checks their encoding; 0 at the end of the
    /// part, -1 when the scan cannot go on (bytes the decoder refuses, a read error, a signal).
    long read_into(unsigned char* dst, size_t room, bool check = true) {
        if (shared_.give_up.load(std::memory_order_relaxed)) return -1;
        if (polls_ && *since_poll_ >= POLL_EVERY) {
            *since_poll_ = 0;
            if (!poll()) return -1;
        }
        size_t want = room;
        if (end_ != TO_EOF) {
            if (next_ >= end_) return 0;
            want = static_cast<size_t>(std::min<std::uint64_t>(want, end_ - next_));
        }
        ssize_t n;
        do n = ::pread(fd_, dst, want, static_cast<off_t>(next_));
        while (n < 0 && errno == EINTR);
        if (n < 0) return -1;
        if (n == 0) return end_ == TO_EOF ? 0 : -1;  // a part cut short: the file shrank
        next_ += static_cast<std::uint64_t>(n);
        *since_poll_ += static_cast<std::uint64_t>(n);
        if (check && !text_.feed(dst, static_cast<size_t>(n))) return -1;
        return n;
    }

    bool poll() {
        const Request& request = *shared_.request;
        if (!request.poll || request.poll(request.poll_context)) return true;
        shared_.interrupted.store(true);
        return false;
    }

    /// The verdict on a whole line [s, e), `prefix` telling whether it holds the score prefix.
    Verdict line_verdict(const unsigned char* s, const unsigned char* e, bool prefix) const {
        if (prefix) return Verdict::score;
        if (e - s < 4) return Verdict::skip;  // too short for ".py:" or a module message
        if (const unsigned char* dot = find_py(s, e)) return message_verdict(dot, e);
        return plain_verdict(s, e, setup_.is_decimal);
    }

    /// Decides the complete lines in [start_, len_), up to the first that ends the reading,
    /// and checks the encoding of the bytes from unchecked_ on. False when the bytes are not
    /// valid text.
    ///
    /// Only lines that hold a mark (see LineMarks) or the score prefix can end the reading:
    /// the walk over the words passes every other line (empty lines, short or plain ones,
    /// message lines without "E" or "F") without a look at it.
    bool scan_lines() {
        const unsigned char* b = buf_;
        const size_t len = len_;
        const size_t from = start_;  // every line before this one is decided
        if (from >= len) return true;
        const size_t w_end = (len + 63) >> 6;
        const size_t prefix_at = from + setup_.prefix.find(b + from, len - from);  // len: none

        Walk walk;
        walk.floor = ~0ull << (from & 63);
        walk.line_start = from;
        if (prefix_at < len) {
            walk.prefix_word = prefix_at >> 6;
            walk.prefix_bit = 1ull << (prefix_at & 63);
        }
        bool high = false, stopped = false;
        size_t next = from;           // the first byte not decided
        size_t waiting = 0;           // the start of the marked line waiting for its break
        for (size_t w = from >> 6; (w = setup_.find(walk, b, w, w_end, high)) < w_end; ++w) {
            const size_t base = w << 6;
            std::uint64_t hits = walk.hits, breaks = walk.breaks;
            for (;;) {
                if (next > base) {  // a line ended within this word
                    const std::uint64_t keep = next - base >= 64 ? 0 : ~0ull << (next - base);
                    hits &= keep;
                    breaks &= keep;
                }
                size_t s, e;
                if (walk.pending) {
                    if (!breaks) break;
                    s = waiting;
                    e = base + static_cast<size_t>(__builtin_ctzll(breaks));
                    walk.pending = 0;
                } else {
                    if (!hits) {
                        if (breaks) walk.line_start = base + 64 - static_cast<size_t>(__builtin_clzll(breaks));
                        break;
                    }
                    const unsigned i = static_cast<unsigned>(__builtin_ctzll(hits));
                    const std::uint64_t before = breaks & ((1ull << i) - 1);
                    s = before ? base + 64 - static_cast<size_t>(__builtin_clzll(before)) : walk.line_start;
                    const std::uint64_t after = breaks >> i;
                    if (!after) {  // the line ends in a later word
                        walk.pending = ~0ull;
                        waiting = s;
                        break;
                    }
                    e = base + i + static_cast<size_t>(__builtin_ctzll(after));
                }
                const Verdict verdict = line_verdict(b + s, b + e, prefix_at >= s && prefix_at < e);
                if (verdict != Verdict::skip) {
                    hold(verdict, b + s, b + e, true);
                    start_ = e + 1;
                    stopped = true;
                    break;
                }
                next = e + 1 + (b[e] == '\r' && b[e + 1] == '\n');  // one line end
                walk.line_start = next;
            }
            if (stopped) break;
        }
        if (!stopped) start_ = walk.pending ? waiting : walk.line_start;
        if (unchecked_ < len) {
            // A stop leaves the rest of the buffer unwalked.
            if ((stopped || high || !text_.at_boundary()) && !text_.feed(b + unchecked_, len - unchecked_))
                return false;
            unchecked_ = len;
        }
        return true;
    }

    void hold(Verdict verdict, const unsigned char* s, const unsigned char* e, bool ending) {
        stop_.kind = verdict;
        stop_.ending = ending;
        stop_.held = true;
        const auto n = static_cast<size_t>(e - s);
        stop_.text.reserve(n + 1);
        stop_.text.assign(reinterpret_cast<const char*>(s), n);
        if (ending) stop_.text.push_back('\n');
        stopped_ = true;
        shared_.stopped_at(base_ + static_cast<std::uint64_t>(s - buf_));
    }

    /// The line in buf_[start_, len_) has grown past LONG_LINE without a break: reads on
    /// keeping only what decides about it, until it ends; then goes on with the lines after.
    bool follow_long_line() {
        const unsigned char* held = buf_ + start_;
        const size_t size = len_ - start_;
        const std::uint64_t offset = base_ + start_;
        std::uint64_t length = size;
        const Needle py(".py:");
        bool has_prefix = setup_.prefix.find(held, size) < size;
        StreamFinder prefix_finder(setup_.prefix, held, size);
        StreamFinder py_finder(py, held, size);
        IdField field;
        const unsigned char* dot = find_py(held, held + size);
        bool has_py = dot != nullptr;
        if (dot) field.feed(dot + 4, held + size);
        ModuleMessage layout(setup_.is_decimal);
        layout.feed(held, held + size);

        unsigned char* b = buf_;

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
                shared_.stopped_at(offset);
            }
            if (n == 0) {
                start_ = len_ = 0;
                return true;
            }
            start_ = e + 1 + (b[e] == '\r' && e + 1 < n && b[e + 1] == '\n');
            len_ = unchecked_ = n;  // read_into checked it
            return stopped_ || scan_lines();
        }
    }

    const ScanSetup& setup_;
    const int fd_;
    std::uint64_t next_;  // file offset of the next read
    const std::uint64_t end_;
    std::uint64_t base_;  // file offset of buf_[0], modulo 2^64 (see keep_line)
    Shared& shared_;
    bool polls_ = false;
    TextCheck text_;
    const size_t expected_;
    size_t capacity_ = 0;  // of buf_, besides PADDING
    unsigned char* buf_ = nullptr;
    size_t len_ = 0;        // bytes in buf_
    size_t unchecked_ = 0;  // bytes in buf_ from here on are not checked yet
    size_t start_ = 0;      // start of the current line in buf_
    bool stopped_ = false;  // this part has no more lines to decide
    std::uint64_t* since_poll_ = nullptr;  // of the thread
    StopLine stop_;
};

int usable_cpus() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
    return std::max(1u, std::thread::hardware_concurrency());
}

/// Offsets where the file is split for parallel reading: each just after a "\n" near an
/// even share of the size. The first part starts at 0, the last reads to the end; with one
/// processor, the file is one part.
std::vector<std::uint64_t> split_points(int fd, std::uint64_t size, int cpus) {
    std::vector<std::uint64_t> starts{0};
    if (cpus < 2) return starts;
    const auto parts = std::min<std::uint64_t>(PARTS_MAX, size / PART_MIN);
    if (parts < 2) return starts;
    std::unique_ptr<char[]> window(new char[64 * 1024]);
    for (std::uint64_t k = 1; k < parts; ++k) {
        std::uint64_t at = size / parts * k;
        for (int tries = 0; tries < 16; ++tries) {
            const ssize_t n = ::pread(fd, window.get(), 64 * 1024, static_cast<off_t>(at));
            if (n <= 0) break;
            if (const void* nl = std::memchr(window.get(), '\n', static_cast<size_t>(n))) {
                const std::uint64_t cut =
                    at + static_cast<std::uint64_t>(static_cast<const char*>(nl) - window.get()) + 1;
                if (cut > starts.back() && cut < size) starts.push_back(cut);
                break;
            }
            at += static_cast<std::uint64_t>(n);
        }
    }
    return starts;
}

/// The bytes of a stop line that was too long to keep while scanning, read again; the
/// string is sized once, with room for its line break.
bool read_again(int fd, StopLine& found) {
    found.text.reserve(static_cast<size_t>(found.length) + 1);
    found.text.resize(static_cast<size_t>(found.length));
    size_t done = 0;
    while (done < found.text.size()) {
        const ssize_t n = ::pread(fd, &found.text[done], found.text.size() - done,
                                  static_cast<off_t>(found.offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    if (found.ending) found.text.push_back('\n');
    return true;
}


Result scan_file(const Request& request) {
    Result result;
    struct stat st;
    const int fd = request.fd;
    const Find find = find_of(request.finder);
    if (!find || fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return result;
#ifdef POSIX_FADV_SEQUENTIAL
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif

    const ScanSetup setup{Needle(request.prefix), request.ascii, request.is_decimal, find};
    Shared shared;
    shared.request = &request;
    const auto size = static_cast<std::uint64_t>(st.st_size);
    const int cpus = usable_cpus();
    const std::vector<std::uint64_t> starts = split_points(fd, size, cpus);
    std::vector<std::unique_ptr<PartScan>> parts;
    for (size_t i = 0; i < starts.size(); ++i) {
        const std::uint64_t end = i + 1 < starts.size() ? starts[i + 1] : TO_EOF;
        const std::uint64_t expected = (end == TO_EOF ? size : end) - starts[i];
        parts.push_back(std::make_unique<PartScan>(setup, fd, starts[i], end, expected, shared));
    }

    // The parts are taken in file order by the calling thread and up to one thread per
    // processor more, so that a part whose reader lost its processor does not hold up the
    // rest; only the calling thread polls.
    std::vector<char> ok(parts.size(), 0);
    std::atomic<size_t> next_part{0};
    auto take_parts = [&](bool polls) {
        ScanBuffer buffer;
        for (size_t i; (i = next_part.fetch_add(1)) < parts.size();) ok[i] = parts[i]->run(buffer, polls);
    };
    {
        std::vector<std::thread> threads;
        const size_t helpers = std::min(parts.size() - 1, static_cast<size_t>(cpus));
        for (size_t i = 0; i < helpers; ++i) {
            try {
                threads.emplace_back(take_parts, false);
            } catch (...) {
                break;  // the threads there are take every part
            }
        }
        take_parts(true);
        for (std::thread& t : threads) t.join();
    }
    if (shared.interrupted.load()) {
        result.outcome = Outcome::interrupted;
        return result;
    }
    for (char part_ok : ok)
        if (!part_ok) return result;

    result.outcome = Outcome::no_stop;
    for (auto& part : parts) {
        StopLine& found = part->stop();
        if (found.kind == Verdict::skip) continue;
        if (!found.held && !read_again(fd, found)) {
            result.outcome = Outcome::fallback;
            return result;
        }
        result.outcome = Outcome::stopped;
        result.kind = found.kind == Verdict::score ? LineKind::score : LineKind::message;
        result.line = std::move(found.text);
        break;
    }
    return result;
}

}  // namespace

std::vector<Finder> finders() {
    std::vector<Finder> found;
    for (const FinderEntry& entry : FINDERS)
        if (entry.runs()) found.push_back(entry.finder);
    return found;
}

const char* finder_name(Finder finder) noexcept {
    if (finder == Finder::automatic) return "automatic";
    for (const FinderEntry& entry : FINDERS)
        if (entry.finder == finder) return entry.name;
    return nullptr;
}

Result scan(const Request& request) noexcept {
    try {
        return scan_file(request);
    } catch (...) {
        return Result{};
    }
}

}  // namespace qm::report_scan
