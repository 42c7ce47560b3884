#!/usr/bin/env bash
# aarch64 under emulation: cross-builds the C++ suite and the extension with
# Debian's aarch64 cross compiler (the portable kernels, chosen by CMake off
# x86-64), runs the C++ suite (the bits check included) under qemu-user, then
# the Python suite under an aarch64 CPython under qemu-user.
#
#   bash scripts/aarch64.sh           # build folder: build/aarch64
#
# Nothing is installed for the arm64 architecture itself: Debian's arm64
# packages (CPython, libstdc++, GoogleTest, the Python headers) are unpacked
# into build/aarch64-root by an apt of its own, and NumPy and pytest come as
# aarch64 wheels from PyPI. The host gets the cross compiler and qemu.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/aarch64-root.sh

bash scripts/deps.sh
aarch64_tools
aarch64_root
jobs="$(nproc)"

echo "=== cross-build ==="
cmake -S . -B build/aarch64 -G Ninja --toolchain cmake/aarch64-linux-gnu.cmake -DNIMBRA_AARCH64_ROOT="$AARCH64_ROOT" \
  -DNIMBRA_BUILD_TESTS=ON -DNIMBRA_BUILD_PYTHON=ON -DPython_EXECUTABLE="$(command -v python3)" \
  -DPython_INCLUDE_DIR="$AARCH64_ROOT/usr/include/python3.11" >/dev/null
cmake --build build/aarch64 -j "$jobs"

echo "=== C++ suite under qemu ==="
ctest --test-dir build/aarch64 --output-on-failure --no-tests=error -j "$jobs"

echo "=== Python suite under qemu ==="
PYTHONPATH="$PWD/build/aarch64/nimbra-py:$PWD/python" "$AARCH64_PYTHON" -m pytest tests/python -q -p no:cacheprovider
