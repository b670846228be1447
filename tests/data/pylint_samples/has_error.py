"""A module that reads a name nobody defined."""


def total(values):
    """Return the sum of the values plus an offset."""
    return sum(values) + offset
