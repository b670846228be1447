#!/usr/bin/env bash
# Builds the modules with AddressSanitizer and UndefinedBehaviorSanitizer and runs the tests
# against that build (tools/build-variant.sh sanitize).
#   bash tools/sanitize.sh                                  # newest CPython found by pyenv
#   bash tools/sanitize.sh ~/.pyenv/versions/3.8.18/bin/python3.8 -k badge
exec bash "$(dirname "$0")/build-variant.sh" sanitize "$@"
