#!/usr/bin/env bash
# Coverage-guided fuzzing of every surface that takes outside input. atheris
# drives the targets in tests/fuzz/ against the extension built by clang with
# libFuzzer's coverage instrumentation, AddressSanitizer and
# UndefinedBehaviorSanitizer.
#
#   bash scripts/fuzz.sh                       every target for a bounded time, about a minute in all
#   bash scripts/fuzz.sh --long N [TARGET...]  N executions per target (all, or those named,
#                                              e.g. constructor), with the coverage reached
#
# A finding (an exception a target does not expect, a sanitizer report, a
# timeout, memory running out) fails the run; its input is written to
# build/fuzz/findings/. New inputs go to build/fuzz/corpus/; the committed
# seeds in tests/fuzz/corpus/ are only read.
set -euo pipefail
cd "$(dirname "$0")/.."

usage() { echo "usage: bash scripts/fuzz.sh [--long EXECUTIONS [TARGET...]]" >&2; exit 2; }
runs=""
targets=(tests/fuzz/fuzz_*.py)
case "${1:-}" in
  "") ;;
  --long)
    runs="${2:-}"
    [[ "$runs" =~ ^[1-9][0-9]*$ ]] || usage
    if [ $# -gt 2 ]; then
      targets=()
      for name in "${@:3}"; do
        [ -f "tests/fuzz/fuzz_$name.py" ] || usage
        targets+=("tests/fuzz/fuzz_$name.py")
      done
    fi ;;
  *) usage ;;
esac

LLVM=19
CI_SECONDS=50
build=build/fuzz

# --- tools --------------------------------------------------------------------
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
if ! command -v "clang++-$LLVM" >/dev/null ||
   [ ! -f "$(clang++-$LLVM -print-file-name=libclang_rt.fuzzer_no_main-x86_64.a)" ]; then
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "clang-$LLVM" "libclang-rt-$LLVM-dev" >/dev/null
fi
bash scripts/deps.sh
# atheris built from source against this clang leaves the libFuzzer it links
# beside itself; a prebuilt wheel does not, so it is replaced.
atheris_dir() { python3 -c 'import atheris; print(atheris.path())' 2>/dev/null || true; }
libfuzzer="$(atheris_dir)/libclang_rt.fuzzer_no_main-x86_64.a"
if [ ! -f "$libfuzzer" ]; then
  CLANG_BIN="$(command -v "clang-$LLVM")" CC="clang-$LLVM" CXX="clang++-$LLVM" \
    python3 -m pip install -q --force-reinstall --no-deps --no-binary atheris "atheris==3.0.0"
  libfuzzer="$(atheris_dir)/libclang_rt.fuzzer_no_main-x86_64.a"
fi

# --- the instrumented extension -------------------------------------------------
cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER="clang++-$LLVM" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DNIMBRA_SANITIZE=fuzzer-no-link,address,undefined -DNIMBRA_BUILD_TESTS=OFF -DNIMBRA_BUILD_PYTHON=ON \
  -DPython_EXECUTABLE="$(command -v python3)" >/dev/null
cmake --build "$build" -j "$(nproc)" --target _nimbra

# The interpreter is not instrumented, so the sanitizer runtime is preloaded.
# libFuzzer goes into the same library: preloaded on its own, the sanitizer's
# weak coverage hooks would take the coverage meant for libFuzzer. The C++
# part of the runtime (operator new/delete, the vptr check) comes along.
runtime="$build/asan_with_fuzzer.so"
if [ ! -f "$runtime" ] || [ "$libfuzzer" -nt "$runtime" ]; then
  rt_dir="$(dirname "$(clang++-$LLVM -print-file-name=libclang_rt.asan-x86_64.a)")"
  tmp="$(mktemp -d)"
  cp "$rt_dir/libclang_rt.asan-x86_64.a" "$tmp/asan.a"
  ar d "$tmp/asan.a" asan_preinit.cpp.o  # only an executable may carry .preinit_array
  "clang++-$LLVM" -shared -o "$runtime" -Wl,--whole-archive "$libfuzzer" "$tmp/asan.a" \
    "$rt_dir/libclang_rt.asan_cxx-x86_64.a" -Wl,--no-whole-archive -lpthread -ldl
  rm -rf "$tmp"
fi

# --- the targets ------------------------------------------------------------------
if [ -n "$runs" ]; then
  budget=(-runs="$runs" -print_coverage=1)
else
  budget=(-max_total_time=$(( CI_SECONDS / ${#targets[@]} )))
fi
# Edges of the project's own code that a run reached (from -print_coverage),
# over the source files it reached at all; the five most reached are named.
native_coverage() {
  awk -v root="$PWD/" '/^(UN)?COVERED_FUNC/ && index($NF, root) == 1 {
      split($5, e, "/"); f = substr($NF, length(root) + 1); sub(/:[0-9]+$/, "", f)
      hit[f] += e[1]; all[f] += e[2] }
    END { for (f in hit) if (hit[f] > 0) print hit[f], all[f], f }' "$1" |
    sort -rn | awk '{ hits += $1; edges += $2; if (NR <= 5) top = top sprintf(" %s %d/%d", $3, $1, $2) }
      END { printf "    native edges reached: %d of %d in %d files;%s\n", hits, edges, NR, top }'
}

mkdir -p "$build/logs" "$build/findings"
failed=()
start=$SECONDS
printf '%-14s %12s %8s %8s %6s  %s\n' target executions cov ft secs result
for target in "${targets[@]}"; do
  name="$(basename "$target" .py)"
  name="${name#fuzz_}"
  log="$build/logs/$name.log"
  mkdir -p "$build/corpus/$name"
  corpora=("$build/corpus/$name")
  if [ -d "tests/fuzz/corpus/$name" ]; then corpora+=("tests/fuzz/corpus/$name"); fi
  t0=$SECONDS
  status=0
  # Python keeps memory until exit, so leaks are not looked for; a request
  # too large to serve fails as it would without the sanitizer.
  LD_PRELOAD="$PWD/$runtime" PYTHONPATH="$PWD/$build/nimbra-py" PYTHONMALLOC=malloc \
    ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:handle_abort=1" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
    python3 "$target" "${budget[@]}" -rss_limit_mb=2048 -timeout=60 -detect_leaks=0 -print_final_stats=1 \
    -artifact_prefix="$build/findings/$name-" "${corpora[@]}" \
    >"$log" 2>&1 || status=$?
  done_line="$(grep -a 'DONE ' "$log" | tail -n 1 || true)"
  executions="$(grep -a '^stat::number_of_executed_units' "$log" | awk '{print $2}' || true)"
  cov="$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$done_line")"
  ft="$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$done_line")"
  if [ "$status" -ne 0 ]; then
    result="FINDING (see $log)"
    failed+=("$name")
  elif grep -aq '^SKIPPED:' "$log"; then
    result="$(grep -a '^SKIPPED:' "$log")"
  else
    result=ok
  fi
  printf '%-14s %12s %8s %8s %6s  %s\n' "$name" "${executions:--}" "${cov:--}" "${ft:--}" $(( SECONDS - t0 )) "$result"
  if [ -n "$runs" ] && [ "$result" = ok ]; then native_coverage "$log"; fi
done
echo "fuzzing took $(( SECONDS - start ))s"

if [ ${#failed[@]} -gt 0 ]; then
  for name in "${failed[@]}"; do
    echo "=== $name ==="
    grep -av '^#[0-9]' "$build/logs/$name.log" | tail -n 60
  done
  exit 1
fi
