"""A module that does not parse."""


def broken(:
    return 1
