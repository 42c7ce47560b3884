#!/usr/bin/env bash
# Runs both suites again under AddressSanitizer + UndefinedBehaviorSanitizer,
# the threaded core tests under ThreadSanitizer, and the C++ suite of the
# portable build (no x86 vector variants) under ASan + UBSan. Any report fails
# the run.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh
jobs="$(nproc)"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

# --- AddressSanitizer + UndefinedBehaviorSanitizer ---------------------------
cmake -S . -B build/asan -G Ninja -DNIMBRA_SANITIZE=address,undefined \
  -DNIMBRA_BUILD_TESTS=ON -DNIMBRA_BUILD_PYTHON=ON -DPython_EXECUTABLE="$(command -v python3)"
cmake --build build/asan -j "$jobs"
ASAN_OPTIONS="detect_leaks=1:abort_on_error=1" \
  ctest --test-dir build/asan --output-on-failure --no-tests=error -j "$jobs"

# The interpreter itself is not instrumented: preload the runtimes and leave
# leak detection to the C++ suite (the interpreter keeps memory until exit).
asan_rt="$(g++ -print-file-name=libasan.so)"
ubsan_rt="$(g++ -print-file-name=libubsan.so)"
LD_PRELOAD="$asan_rt $ubsan_rt" ASAN_OPTIONS="detect_leaks=0:abort_on_error=1" \
  NIMBRA_SANITIZED=1 PYTHONPATH="$PWD/build/asan/nimbra-py" \
  python3 -m pytest tests/python -q -p no:cacheprovider

# --- ThreadSanitizer: the code that runs on several threads ------------------
cmake -S . -B build/tsan -G Ninja -DNIMBRA_SANITIZE=thread -DNIMBRA_BUILD_TESTS=ON -DNIMBRA_BUILD_PYTHON=OFF
cmake --build build/tsan -j "$jobs"
TSAN_OPTIONS="halt_on_error=1" \
  ctest --test-dir build/tsan --output-on-failure --no-tests=error -R "pool|deque|worker_count|arithmetic|activation|random"

# --- Portable build: the plain C++ vector branch, under ASan + UBSan ---------
cmake -S . -B build/portable -G Ninja -DNIMBRA_PORTABLE=ON -DNIMBRA_SANITIZE=address,undefined \
  -DNIMBRA_BUILD_TESTS=ON -DNIMBRA_BUILD_PYTHON=OFF
cmake --build build/portable -j "$jobs"
ASAN_OPTIONS="detect_leaks=1:abort_on_error=1" \
  ctest --test-dir build/portable --output-on-failure --no-tests=error -j "$jobs"
