// files.hpp: text files as the interpreter opens and reads them, for a reading that stands in
// for readlines(): what must hold, checked without running Python code, for a file to read
// exactly as the interpreter's own code reads it, and the interpreter's lock released while
// native code reads.
#pragma once

#include "object.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace qm {

/// Whether `path.open()`, called with no arguments, builds the file it returns with the
/// interpreter's own code alone: pathlib's Path.open with its own defaults, then io.open (or
/// the open of pathlib's accessor). Such a file comes back unread, in read-only text mode with
/// universal newlines and strict errors.
bool opens_unread(py::handle path);

/// A text file that reads exactly as the interpreter reads a regular file: its descriptor,
/// still at offset 0, and whether it decodes ASCII (else UTF-8), strictly.
struct PlainTextFile {
    int fd;
    bool ascii;
};

/// What `file` is when it is exactly the interpreter's text file over its buffered reader over
/// its file of a descriptor still at offset 0, and readlines() would decode with the
/// interpreter's own incremental decoder of UTF-8 or ASCII, strictly; nothing otherwise.
std::optional<PlainTextFile> plain_text_file(py::handle file);

/// `obj.name` as the interpreter finds it, when finding it can run no Python code: an empty
/// Object when there is no such attribute; nothing when finding it could run code.
std::optional<Object> plain_attr(py::handle obj, const Name& name);

/// Whether `obj` is the interpreter's own builtin `name`: the function of the builtins
/// module's own table (`any`), or the exception class (`ValueError`).
bool is_builtin(py::handle obj, const char* name);

/// Whether `e` is an instance of the interpreter's own exception class `name` (NameError).
bool is_builtin_error(const Error& e, const char* name);

/// Whether the runtime takes its shortcuts: a build without them reads every file line by
/// line.
bool shortcuts_taken() noexcept;

/// The UTF-8 of an exact str; nothing for anything else, or a str that has none (lone
/// surrogates).
std::optional<std::string> utf8_of(py::handle text);

/// The str of UTF-8 bytes known to decode.
Object utf8_text(std::string_view bytes);

/// The interpreter's lock, released while this lives: other threads run meanwhile, and
/// nothing here may touch a Python object. poll() lets this thread's signal handlers run, as
/// a loop of Python code lets them; false when one raised, whose error is pending once the
/// lock is back.
class WithoutGil {
public:
    WithoutGil() noexcept;
    ~WithoutGil();
    WithoutGil(const WithoutGil&) = delete;
    WithoutGil& operator=(const WithoutGil&) = delete;

    bool poll() noexcept;

private:
    PyThreadState* state_;
};

}  // namespace qm
