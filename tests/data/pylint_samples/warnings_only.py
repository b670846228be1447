"""Helpers with a few convention and warning messages, but no errors."""
import os


def first(values):
    """Return the first value or None."""
    return values[0] if values else None


def last(values):
    """Return the last value or None."""
    return values[-1] if values else None


def middle(values):
    """Return the middle value or None."""
    return values[len(values) // 2] if values else None


def count(values):
    """Return how many values there are."""
    return len(values)


def Double(x):
    """Return twice the value."""
    unused = 1
    return x * 2
