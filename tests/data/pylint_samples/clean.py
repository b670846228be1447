"""Arithmetic helpers with nothing for the linter to report."""


def add(first, second):
    """Return the sum of two numbers."""
    return first + second


def scale(values, factor):
    """Return every value multiplied by factor."""
    return [value * factor for value in values]
