import os
import sys

sys.path.insert(0, os.path.dirname(__file__))


def pytest_configure(config):
    # The sanitized run names the build directory its module must come from:
    # an installed module found first would pass every test unchecked.
    expected = os.environ.get("VORNIK_MODULE_DIR")
    if expected:
        import pytest
        import _vornik

        if os.path.dirname(os.path.realpath(_vornik.__file__)) != os.path.realpath(expected):
            raise pytest.UsageError(f"_vornik was imported from {_vornik.__file__}, not from {expected}")
