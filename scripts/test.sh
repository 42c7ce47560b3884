#!/usr/bin/env bash
# Builds and runs every test: the C++ core under CTest first, then the type
# stubs under stubtest and mypy, then the Python surface under pytest against
# the installed extension, on `python3` and on every other supported CPython
# found (on PATH or under pyenv), each in a virtual environment of its own in
# build/. One abi3 wheel, built once, is what every interpreter installs.
#
#   NIMBRA_ALL_PYTHONS=1   a supported CPython that cannot be found fails the
#                          run instead of being skipped (CI sets it)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/pythons.sh

bash scripts/deps.sh
jobs="$(nproc)"

cmake -S . -B build/tests -G Ninja -DNIMBRA_BUILD_TESTS=ON -DNIMBRA_BUILD_PYTHON=OFF
cmake --build build/tests -j "$jobs"
ctest --test-dir build/tests --output-on-failure --no-tests=error -j "$jobs"

rm -rf build/wheelhouse
python3 -m pip wheel -q --no-deps --wheel-dir build/wheelhouse .
wheel="$(ls build/wheelhouse/nimbra-*.whl)"
python3 -m pip install -q --force-reinstall --no-deps "$wheel"
# The stubs against the installed module (no allowlist), then the examples
# and the nimbra package against the stubs.
python3 scripts/stubtest.py
python3 -m mypy --strict --cache-dir build/mypy-cache examples python/nimbra
# pytest exits non-zero when it collects no test, so an empty run fails too.
echo "=== pytest on $(python3 -c 'import platform; print("CPython", platform.python_version())') ==="
python3 -m pytest tests/python -q -p no:cacheprovider

# The other supported versions. PyTorch is installed only where asked for
# (the interop test skips without it), so only python3 is held to it.
own="$(python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
for version in $NIMBRA_PYTHONS; do
  [ "$version" = "$own" ] && continue
  if ! python="$(find_python "$version")"; then
    [ "${NIMBRA_ALL_PYTHONS:-0}" = 1 ] && exit 1
    echo "=== CPython $version not found: skipped ==="
    continue
  fi
  venv="build/py$version"
  [ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --force-reinstall --no-deps "$wheel"
  "$venv/bin/python" -m pip install -q "$wheel[test]"
  echo "=== pytest on CPython $("$venv/bin/python" -c 'import platform; print(platform.python_version())') ==="
  env -u NIMBRA_REQUIRE_TORCH "$venv/bin/python" -m pytest tests/python -q -p no:cacheprovider
done
