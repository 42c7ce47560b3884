#!/usr/bin/env bash
# Builds and runs every test: the C++ core under CTest first, then the type
# stubs under stubtest and mypy, then the Python surface under pytest against
# the installed extension.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh
jobs="$(nproc)"

cmake -S . -B build/tests -G Ninja -DNIMBRA_BUILD_TESTS=ON -DNIMBRA_BUILD_PYTHON=OFF
cmake --build build/tests -j "$jobs"
ctest --test-dir build/tests --output-on-failure --no-tests=error -j "$jobs"

python3 -m pip install -q .
# The stubs against the installed module (no allowlist), then the examples
# and the nimbra package against the stubs.
python3 scripts/stubtest.py
python3 -m mypy --strict --cache-dir build/mypy-cache examples python/nimbra
# pytest exits non-zero when it collects no test, so an empty run fails too.
python3 -m pytest tests/python -q -p no:cacheprovider
