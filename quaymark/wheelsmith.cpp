// wheelsmith: builds the wheel of the project in the working directory and uploads dist/ with
// twine. Everything runs through the system shell; the first command that fails ends the call.
#include "runtime.hpp"

#include <sys/wait.h>

#include <climits>
#include <source_location>

namespace {

using namespace qm;

constexpr const char* DIST_DIR = "dist";
constexpr const char* BUILD_DIR = "build";
constexpr const char* EGG_INFO_SUFFIX = ".egg-info";

constexpr const char* BUILD_EXT = "python setup.py build_ext";
constexpr const char* BUILD_PY = "python setup.py build_py";
constexpr const char* BDIST_WHEEL = "python setup.py bdist_wheel";
constexpr const char* INSTALL_TWINE = "pip install twine";

constexpr const char* TWINE_UPLOAD = "twine upload ";
constexpr const char* USER_OPTION = " -u ";
constexpr const char* PASSWORD_OPTION = " -p \"";
constexpr const char* PASSWORD_END = "\"";
constexpr const char* UPLOAD_FILES = " dist/*";

// What error messages show in place of the password.
constexpr const char* PASSWORD_MASK = "****";

/* Shell commands **********************************************************************/

/// The exit code a wait status of os.system stands for: the status a process exited with, or
/// minus the signal that ended it. Anything else (a status no wait call could give) is
/// reported as it came.
py::object exit_code(py::handle status) {
    int overflow = 0;
    const long long raw = PyLong_AsLongLongAndOverflow(status.ptr(), &overflow);
    if (raw == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (!overflow && raw >= INT_MIN && raw <= INT_MAX) {
        const int wait_status = static_cast<int>(raw);
        if (WIFEXITED(wait_status) && WEXITSTATUS(wait_status) != 0)
            return py::int_(WEXITSTATUS(wait_status));
        if (WIFSIGNALED(wait_status)) return py::int_(-WTERMSIG(wait_status));
    }
    return py::reinterpret_borrow<py::object>(status);
}

/// Runs `command` through os.system and raises subprocess.CalledProcessError when it fails.
/// The error names the command as `shown`, which hides what must not reach a log.
/// os.system's result is only judged when it is an int; anything else passes. Tracebacks
/// show the line of the caller.
void run(py::handle command, py::handle shown,
         const std::source_location& loc = std::source_location::current()) {
    py::object status = global("os", loc).attr("system"_id)(command);
    if (!PyLong_Check(status.ptr()) || !truth(status, loc)) return;
    py::object error =
        py::module_::import("subprocess").attr("CalledProcessError"_id)(exit_code(status), shown);
    raise(error, loc);
}

void run(const char* command, const std::source_location& loc = std::source_location::current()) {
    py::str text(command);
    run(text, text, loc);
}

/// The user name as one shell word; a plain name such as alice stays as it is.
py::object shell_word(py::handle value) {
    return py::module_::import("shlex").attr("quote"_id)(fstr({value}));
}

/// The password for the inside of a double-quoted shell word: the four characters that keep a
/// meaning there get a backslash.
py::object double_quoted(py::handle value) {
    py::object text = fstr({value});
    for (const char* special : {"\\", "\"", "$", "`"})
        text = text.attr("replace"_id)(special, py::str("\\") + py::str(special));
    return text;
}

/// twine's command line. A user or password of None leaves its option out, so that twine
/// takes the value from its environment.
py::str upload_command(py::handle user, py::handle password, py::handle repository_arg) {
    py::list parts;
    parts.append(fstr({TWINE_UPLOAD, repository_arg}));
    if (!user.is_none()) parts.append(fstr({USER_OPTION, shell_word(user)}));
    if (!password.is_none()) parts.append(fstr({PASSWORD_OPTION, password, PASSWORD_END}));
    parts.append(py::str(UPLOAD_FILES));
    return py::str("").attr("join"_id)(parts);
}

/* class Wheelsmith ********************************************************************/

py::object Wheelsmith_build(py::handle cython, py::handle clean_dist) {
    if (truth(clean_dist)) {
        global("shutil").attr("rmtree"_id)(DIST_DIR, "ignore_errors"_a = true);
        global("shutil").attr("rmtree"_id)(BUILD_DIR, "ignore_errors"_a = true);
        // The whole listing first: removals must not disturb the scan.
        py::list listing(global("Path").attr("cwd"_id)().attr("iterdir"_id)());
        for (py::handle content : listing) {
            if (truth(content.attr("is_dir"_id)()) &&
                truth(content.attr("name"_id).attr("endswith"_id)(EGG_INFO_SUFFIX)))
                global("shutil").attr("rmtree"_id)(content.attr("name"_id), "ignore_errors"_a = true);
        }
    }
    if (truth(cython)) {
        run(BUILD_EXT);
        run(BUILD_PY);
    }
    run(BDIST_WHEEL);
    return py::none();
}

py::object Wheelsmith_upload(py::handle user, py::handle password, py::handle repository_arg) {
    run(INSTALL_TWINE);
    py::object secret = py::none(), mask = py::none();
    if (!password.is_none()) {
        secret = double_quoted(password);
        mask = py::str(PASSWORD_MASK);
    }
    run(upload_command(user, secret, repository_arg), upload_command(user, mask, repository_arg));
    return py::none();
}

/* module body *************************************************************************/

void body() {
    import("os");
    import("shutil");
    import_from("pathlib", "Path");

    make_class("Wheelsmith", {
        {"build", staticmethod(def<Wheelsmith_build>(
                      "Wheelsmith.build", {"cython", "clean_dist"},
                      {.defaults = py::make_tuple(true, true)}))},
        {"upload", staticmethod(def<Wheelsmith_upload>(
                       "Wheelsmith.upload", {"user", "password", "repository_arg"}))},
    });
}

}  // namespace

QM_MODULE(wheelsmith, body)
