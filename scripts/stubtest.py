"""Runs mypy's stubtest on _nimbra and its nn submodule.

stubtest imports every module of the stubs by name, but the extension attaches
nn as an attribute and never registers it as the module _nimbra.nn. This
launcher registers it in its own process only, then hands over to stubtest;
the library itself keeps nn out of sys.modules.

    python scripts/stubtest.py [stubtest arguments; default: _nimbra]
"""

import sys

import _nimbra
from mypy import stubtest

sys.modules["_nimbra.nn"] = _nimbra.nn
if len(sys.argv) == 1:
    sys.argv.append("_nimbra")
sys.exit(stubtest.main())
