import os
import shutil
from pathlib import Path


def _exit_code(status):
    """The exit code that a wait status of os.system stands for: the status a process
    exited with, or minus the signal that ended it; any other status as it came."""
    signal = status & 0x7F
    if signal == 0 and status & 0xFF00:
        return (status & 0xFF00) >> 8
    if 0 < signal < 0x7F:
        return -signal
    return status


def _run(command, shown=None):
    """Runs `command` through os.system; a status that is a non-zero int raises
    CalledProcessError, which names the command as `shown` (by default as it is).
    A status of any other kind (a test double's) passes."""
    status = os.system(command)
    if not isinstance(status, int) or not status:
        return
    import subprocess
    raise subprocess.CalledProcessError(_exit_code(status), command if shown is None else shown)


def _shell_word(value):
    """The user name as one shell word; a plain name such as alice stays as it is."""
    import shlex
    return shlex.quote(f"{value}")


def _double_quoted(value):
    """The password for the inside of a double-quoted shell word: the four characters
    that keep a meaning there get a backslash."""
    text = f"{value}"
    for special in ("\\", "\"", "$", "`"):
        text = text.replace(special, "\\" + special)
    return text


def _upload_command(user, password, repository_arg):
    """twine's command line. A user or password of None leaves its option out, so that
    twine takes the value from its environment."""
    parts = [f"twine upload {repository_arg}"]
    if user is not None:
        parts.append(f" -u {_shell_word(user)}")
    if password is not None:
        parts.append(f' -p "{password}"')
    parts.append(" dist/*")
    return "".join(parts)


class Wheelsmith:
    @staticmethod
    def build(cython=True, clean_dist=True):
        if clean_dist:
            shutil.rmtree("dist", ignore_errors=True)
            shutil.rmtree("build", ignore_errors=True)
            # The whole listing first: removals must not disturb the scan.
            for content in list(Path.cwd().iterdir()):
                if content.is_dir() and content.name.endswith(".egg-info"):
                    shutil.rmtree(content.name, ignore_errors=True)
        if cython:
            _run("python setup.py build_ext")
            _run("python setup.py build_py")
        _run("python setup.py bdist_wheel")

    @staticmethod
    def upload(user, password, repository_arg):
        _run("pip install twine")
        secret = mask = None
        if password is not None:
            secret = _double_quoted(password)
            mask = "****"
        _run(_upload_command(user, secret, repository_arg),
             _upload_command(user, mask, repository_arg))
