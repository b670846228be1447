"""Fuzz target: the badge image URL builders with arbitrary values.

Coverage values, versions, quality scores (and at times the module's DEFAULT_QA) are drawn
from numbers, texts and probe objects whose comparisons, conversions, formatting and truth
answer as the input says (or raise). Each builder must return the same URL as its plain-Python
twin (tests/twins/badgewright.py), or raise the same exception with the same message, after
the very same sequence of operations on the probes and of attribute reads on the instance.

    python fuzz/badge_urls.py -max_total_time=600 [corpus directory]
"""
import fractions
import decimal
import math
import os
import sys

import atheris

import badgewright
from badgewright import Badgewright

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from twins import load  # noqa: E402

# The twin runs beside the native module; the module constants of both are rebound alike.
# Only the code that makes the values is instrumented for coverage: atheris rewrites the
# comparisons in the code it instruments, which would change the wording of the twin's
# errors.
TWIN = load("badgewright")


class Stop(Exception):
    """Raised by a probe when the input says so."""


class Script:
    """The answers a probe gives, in the order it is asked, and a log of the questions."""

    def __init__(self, answers):
        self.answers, self.at, self.log = answers, 0, []

    def next(self, question):
        self.log.append(question)
        answer = self.answers[self.at % len(self.answers)] if self.answers else None
        self.at += 1
        return answer


class Probe:
    def __init__(self, script, name):
        self._script, self._name = script, name

    @atheris.instrument_func
    def _ask(self, op, other=None, kind="compare"):
        other_text = other._name if isinstance(other, Probe) else repr(other)
        answer = self._script.next((self._name, op, other_text))
        if answer == "raise":
            raise Stop(op)
        if kind == "compare":
            return {"true": True, "false": False, "none": NotImplemented}.get(
                answer, Probe(self._script, self._name + "'") if answer == "probe" else 0)
        if kind == "float":
            return {"float": 6.5, "int": 7, "nan": math.nan, "big": 1e308}.get(answer, 4.0)
        if kind == "format":
            return {"none": None, "probe": "\u00e9 -/%"}.get(answer, "p%d" % len(op))
        return answer in ("true", "float")  # __bool__

    def __lt__(self, other):
        return self._ask("lt", other)

    def __le__(self, other):
        return self._ask("le", other)

    def __gt__(self, other):
        return self._ask("gt", other)

    def __ge__(self, other):
        return self._ask("ge", other)

    def __eq__(self, other):
        return self._ask("eq", other)

    def __ne__(self, other):
        return self._ask("ne", other)

    __hash__ = None

    def __float__(self):
        return self._ask("float", kind="float")

    def __format__(self, how):
        return self._ask("format" + how, kind="format")

    def __bool__(self):
        return self._ask("bool", kind="bool")


class Holder:
    """The `self` of the instance methods: logs every attribute read."""

    def __init__(self, script, **values):
        object.__setattr__(self, "_script", script)
        object.__setattr__(self, "_values", values)

    def __getattribute__(self, name):
        script = object.__getattribute__(self, "_script")
        script.log.append(("self", "getattr", name))
        values = object.__getattribute__(self, "_values")
        if name not in values:
            raise AttributeError(name)
        return values[name]


ANSWERS = ["true", "false", "none", "raise", "probe", "float", "int", "nan", "big"]
TEXTS = ["NA", "na", " 8.5 ", "5", "5.0", "6", "7.0000001", "nan", "-inf", "1e400", "abc",
         "", "1_0", "\u0661\u0662", "7,5", "0x10"]


@atheris.instrument_func
def value(fdp, script, name):
    kind = fdp.ConsumeIntInRange(0, 11)
    if kind == 0:
        return None
    if kind == 1:
        return fdp.ConsumeInt(fdp.ConsumeIntInRange(1, 12))
    if kind == 2:
        return fdp.ConsumeFloat()
    if kind == 3:
        return fdp.ConsumeFloatInRange(-5.0, 105.0)
    if kind == 4:
        return fdp.PickValueInList(TEXTS)
    if kind == 5:
        return fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 12))
    if kind == 6:
        return fdp.PickValueInList([True, False, b"7", [7], (), 3j, decimal.Decimal("50.0"),
                                    decimal.Decimal("NaN"), fractions.Fraction(61, 2)])
    answers = [fdp.PickValueInList(ANSWERS) for _ in range(fdp.ConsumeIntInRange(1, 6))]
    script.answers = answers
    return Probe(script, name)


@atheris.instrument_func
def outcome(call, arg):
    try:
        return ("result", call(arg))
    except Exception as exc:  # every exception must match, type and message
        if isinstance(exc, SystemError):
            raise
        return (type(exc).__name__, str(exc))


def run(builder, reference, make_arg, restore):
    results = []
    for call in (builder, reference):
        arg, script = make_arg()
        try:
            results.append((outcome(call, arg), script.log))
        finally:
            restore()
    if results[0] != results[1]:
        raise AssertionError("%s: %r, expected %r" % (builder.__name__, *results))


def check(data):
    fdp = atheris.FuzzedDataProvider(data)
    which = fdp.ConsumeIntInRange(0, 2)
    rebind = fdp.ConsumeIntInRange(0, 7) == 0
    state = fdp.ConsumeBytes(atheris.ALL_REMAINING)
    default_qa = badgewright.DEFAULT_QA

    def restore():
        badgewright.DEFAULT_QA = TWIN.DEFAULT_QA = default_qa

    def make_arg():
        # Both runs build their arguments from the same bytes, so they get equal values.
        inner = atheris.FuzzedDataProvider(state)
        script = Script([])
        arg = value(inner, script, "v")
        if which == 0:
            return arg, script
        if rebind:
            badgewright.DEFAULT_QA = TWIN.DEFAULT_QA = value(inner, script, "DEFAULT_QA")
        holder = Holder(script, **({"qa_value": arg} if which == 1 else {"version": arg}))
        return holder, script

    name = ["coverage_badge_image_url", "qa_badge_image_url", "version_badge_image_url"][which]
    run(getattr(Badgewright, name), getattr(TWIN.Badgewright, name), make_arg, restore)


def main():
    atheris.Setup(sys.argv, check)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
