// wheelsmith: builds the wheel of the project in the working directory and uploads dist/ with
// twine. Everything runs through the system shell; the first command that fails ends the call.
#include "qm/runtime.hpp"

namespace {

using namespace qm;

/* Shell commands **********************************************************************/

/// The exit code that a wait status of os.system stands for, decoded as the wait macros
/// decode it: the status a process exited with, or minus the signal that ended it; any other
/// status as it came.
Object exit_code(Handle status) {
    Object signal = bit_and(status, 0x7F);
    if (eq(signal, 0L) && truth(bit_and(status, 0xFF00)))
        return rshift(bit_and(status, 0xFF00), 8);
    if (lt(0L, signal) && lt(signal, 0x7FL)) return neg(signal);
    return Object(status);
}

/// Runs `command` through os.system; a status that is a non-zero int raises
/// CalledProcessError, which names the command as `shown` (by default as it is). A status
/// of any other kind (a test double's) passes.
void run(Handle command, Handle shown) {
    Object status = attr(global("os"_id), "system"_id)({command});
    if (!truth(global("isinstance"_id)({status, global("int"_id)})) || !truth(status)) return;
    Object subprocess = import_local("subprocess"_id);
    Object error = attr(subprocess, "CalledProcessError"_id);
    raise(error({exit_code(status), shown.is_none() ? command : shown}));
}

/// The user name as one shell word; a plain name such as alice stays as it is.
Object shell_word(Handle value) {
    Object shlex = import_local("shlex"_id);
    return attr(shlex, "quote"_id)({fstr({value})});
}

/// The password for the inside of a double-quoted shell word: the four characters that keep
/// a meaning there get a backslash.
Object double_quoted(Handle value) {
    Object text = fstr({value});
    for (const Name* special : {&"\\"_id, &"\""_id, &"$"_id, &"`"_id})
        text = method(text, "replace"_id)({*special, add("\\"_id, *special)});
    return text;
}

/// twine's command line. A user or password of None leaves its option out, so that twine
/// takes the value from its environment.
Object upload_command(Handle user, Handle password, Handle repository_arg) {
    Object parts = make_list({fstr({"twine upload ", repository_arg})});
    if (!user.is_none()) list_append(parts, fstr({" -u ", shell_word(user)}));
    if (!password.is_none()) list_append(parts, fstr({" -p \"", password, "\""}));
    list_append(parts, " dist/*"_id);
    return method(""_id, "join"_id)({parts});
}

/* class Wheelsmith ********************************************************************/

Object Wheelsmith_build(Handle cython, Handle clean_dist) {
    if (truth(clean_dist)) {
        attr(global("shutil"_id), "rmtree"_id)({"dist"_id, kw("ignore_errors"_id, boolean(true))});
        attr(global("shutil"_id), "rmtree"_id)({"build"_id, kw("ignore_errors"_id, boolean(true))});
        // The whole listing first: removals must not disturb the scan.
        Object listing = global("list"_id)(
            {method(method(global("Path"_id), "cwd"_id)({}), "iterdir"_id)({})});
        for (const Object& content : iterate(listing)) {
            if (truth(method(content, "is_dir"_id)({})) &&
                truth(method(attr(content, "name"_id), "endswith"_id)({".egg-info"_id})))
                attr(global("shutil"_id), "rmtree"_id)(
                    {attr(content, "name"_id), kw("ignore_errors"_id, boolean(true))});
        }
    }
    if (truth(cython)) {
        run("python setup.py build_ext"_id, none());
        run("python setup.py build_py"_id, none());
    }
    run("python setup.py bdist_wheel"_id, none());
    return none();
}

Object Wheelsmith_upload(Handle user, Handle password, Handle repository_arg) {
    run("pip install twine"_id, none());
    Object secret = none(), mask = none();
    if (!password.is_none()) {
        secret = double_quoted(password);
        mask = Object("****"_id);
    }
    Object command = upload_command(user, secret, repository_arg);
    Object shown = upload_command(user, mask, repository_arg);
    run(command, shown);
    return none();
}

/* module body *************************************************************************/

void body() {
    import("os"_id);
    import("shutil"_id);
    import_from("pathlib"_id, "Path"_id);

    make_class("Wheelsmith", {
        {"build", staticmethod(def<Wheelsmith_build>(
                      "Wheelsmith.build", {"cython", "clean_dist"},
                      {.defaults = make_tuple({boolean(true), boolean(true)})}))},
        {"upload", staticmethod(def<Wheelsmith_upload>(
                       "Wheelsmith.upload", {"user", "password", "repository_arg"}))},
    });
}

}  // namespace

QM_MODULE(wheelsmith, body)
