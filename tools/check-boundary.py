#!/usr/bin/env python3
"""Checks that the module sources reach Python only through the runtime's public headers.

    python3 tools/check-boundary.py        # exit status 1 and one line per finding

- quaymark/*.cpp (the modules and what they link) include "qm/runtime.hpp", the report
  scan engine's header and the C++ standard library, and nothing else; they name no C-API
  identifier (Py..., _Py..., PY_...) and nothing of pybind11 (`py::`, `pybind11`): the
  runtime's Object and Handle leave none of pybind11's calls, operators or reference
  counting reachable, and the compiler enforces that part.
- quaymark/report_scan/ (the engine) has no Python in it at all.

Comments and string literals are left out of the check.
"""
import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
MODULES = ROOT / "quaymark"
ENGINE = MODULES / "report_scan"

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.M)
C_API = re.compile(r"\b(_?Py[A-Z_][A-Za-z0-9_]*|PY_[A-Z0-9_]+)\b")
PYBIND = re.compile(r"\bpy::|\bpybind11\b")
# // and /* */ comments, "..." (including raw strings) and '...' literals.
NOISE = re.compile(r'//[^\n]*|/\*.*?\*/|R"(?P<d>[^(]*)\(.*?\)(?P=d)"|"(?:\\.|[^"\\\n])*"'
                   r"|'(?:\\.|[^'\\\n])*'", re.S)


def code_only(text):
    """The text with comments and literals blanked, line breaks kept."""
    return NOISE.sub(lambda m: re.sub(r"[^\n]", " ", m.group(0)), text)


def line_of(text, offset):
    return text.count("\n", 0, offset) + 1


def check(path, engine):
    text = path.read_text()
    code = code_only(text)
    found = []
    for m in INCLUDE.finditer(text):
        quote, header = m.groups()
        if engine:
            allowed = quote == "<" and "python" not in header.lower() and "pybind" not in header
            allowed = allowed or (quote == '"' and not header.startswith("qm/"))
        else:
            allowed = (header == "qm/runtime.hpp" or header.startswith("report_scan/")
                       or (quote == "<" and "." not in header))
        if not allowed:
            found.append((line_of(text, m.start()), "includes %s%s" % (quote, header)))
    for pattern, what in ((C_API, "names the C API"), (PYBIND, "reaches pybind11")):
        for m in pattern.finditer(code):
            found.append((line_of(code, m.start()), "%s: %s" % (what, m.group(0))))
    return found


def main():
    sources = sorted(MODULES.glob("*.cpp")) + sorted(MODULES.glob("*.hpp"))
    engine = sorted(ENGINE.glob("*.[ch]pp")) if ENGINE.is_dir() else []
    findings = []
    for path in sources:
        findings += [(path, line, what) for line, what in check(path, engine=False)]
    for path in engine:
        findings += [(path, line, what) for line, what in check(path, engine=True)]
    for path, line, what in sorted(findings):
        print("%s:%d: %s" % (path.relative_to(ROOT), line, what))
    if findings:
        print("%d finding(s): module sources reach Python through qm/runtime.hpp only"
              % len(findings))
        return 1
    print("boundary: %d module sources, %d engine sources, clean" % (len(sources), len(engine)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
