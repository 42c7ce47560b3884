#!/usr/bin/env bash
# Installs what building and testing need on a fresh machine: GoogleTest from
# the distribution, the Python test tools from PyPI. Safe to run repeatedly.
set -euo pipefail

if [ ! -f /usr/include/gtest/gtest.h ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq libgtest-dev >/dev/null
fi
command -v cmake >/dev/null && command -v ninja >/dev/null || python3 -m pip install -q cmake ninja
python3 -m pip install -q "pytest>=7" numpy hypothesis "mypy>=1.11" "dask[distributed]>=2024.1" "onnx>=1.14"
