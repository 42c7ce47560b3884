"""Shared fixtures for the Python suite.

The extension is imported the ordinary way (`import _nimbra`): in CI it is
pip-installed, locally PYTHONPATH points at the build directory.
"""

import os
import pathlib
import sys

import pytest

# The nimbra package of this checkout, beside whichever _nimbra is loaded
# (installed, or a build folder on PYTHONPATH).
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "python"))

import _nimbra  # noqa: E402

# The CI script sets this when the extension runs under ASan/UBSan; memory
# measurements and huge allocations mean nothing (or abort) there.
SANITIZED = os.environ.get("NIMBRA_SANITIZED") == "1"

skip_if_sanitized = pytest.mark.skipif(SANITIZED, reason="not meaningful under sanitizers")


@pytest.fixture(scope="session")
def extension_path():
    """Path of the loaded extension file, for importlib-based tests."""
    return _nimbra.__file__
