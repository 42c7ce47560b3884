#!/usr/bin/env bash
# aarch64 under emulation: cross-builds the C++ suite with Debian's aarch64
# cross compiler (the portable kernels, chosen by CMake off x86-64) and runs
# it (the bits check included) under qemu-user, then runs the Python suite
# under Debian's aarch64 CPython under qemu-user, against the extension of
# the given aarch64 wheel, or else against one cross-built here too.
#
#   bash scripts/aarch64.sh [WHEEL]    # build folder: build/aarch64
#
# Nothing is installed for the arm64 architecture itself: Debian's arm64
# packages (CPython, libstdc++, GoogleTest, the Python headers) are unpacked
# into build/aarch64-root by an apt of its own, and NumPy and pytest come as
# aarch64 wheels from PyPI. The host gets the cross compiler and qemu.
set -euo pipefail
wheel="${1:+$(realpath "$1")}"
cd "$(dirname "$0")/.."
source scripts/aarch64-root.sh

bash scripts/deps.sh
aarch64_tools
aarch64_root
jobs="$(nproc)"

echo "=== cross-build ==="
cmake -S . -B build/aarch64 -G Ninja --toolchain cmake/aarch64-linux-gnu.cmake -DNIMBRA_AARCH64_ROOT="$AARCH64_ROOT" \
  -DNIMBRA_BUILD_TESTS=ON -DNIMBRA_BUILD_PYTHON="$([ -n "$wheel" ] && echo OFF || echo ON)" \
  -DPython_EXECUTABLE="$(command -v python3)" -DPython_INCLUDE_DIR="$AARCH64_ROOT/usr/include/python3.11" >/dev/null
cmake --build build/aarch64 -j "$jobs"

echo "=== C++ suite under qemu ==="
# The exhaustive checks take every 13th float of the ranges where the
# functions vary (every float of every range takes half an hour under qemu;
# x86 runs them whole, with the portable kernels too).
NIMBRA_EXHAUSTIVE_RANGE=core NIMBRA_EXHAUSTIVE_STRIDE=13 \
  ctest --test-dir build/aarch64 --output-on-failure --no-tests=error -j "$jobs"

echo "=== Python suite under qemu ==="
if [ -n "$wheel" ]; then
  # Installing a wheel without scripts or data is unpacking it.
  site="$PWD/build/aarch64-site"
  rm -rf "$site"
  python3 -m zipfile -e "$wheel" "$site"
  echo "against $(basename "$wheel")"
else
  site="$PWD/build/aarch64/nimbra-py:$PWD/python"
fi
PYTHONPATH="$site" "$AARCH64_PYTHON" -m pytest tests/python -q -p no:cacheprovider
