"""The entry point of a Python test that drives the binary named by its first argument."""

import os
import sys
import unittest


def run(take_binary):
    """Hands the absolute path of the binary to `take_binary`, then runs the module's tests
    with the remaining arguments as unittest options; returns the exit status."""
    if len(sys.argv) < 2:
        print(f"usage: {sys.argv[0]} <path to quillet> [unittest options]", file=sys.stderr)
        return 2
    take_binary(os.path.abspath(sys.argv[1]))
    prog = unittest.main(
        module="__main__", argv=[sys.argv[0]] + sys.argv[2:], exit=False, verbosity=2
    )
    return 0 if prog.result.wasSuccessful() else 1
