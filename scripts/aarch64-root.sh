# Sourced by the scripts that run aarch64 programs under qemu-user.
#
# aarch64_tools: the cross compiler and qemu on the host.
# aarch64_root:  $AARCH64_ROOT, a folder of Debian's arm64 packages unpacked
#                (no package manager state of the host changes), with NumPy
#                and pytest from PyPI's aarch64 wheels; $AARCH64_PYTHON runs
#                its CPython under qemu (also as sys.executable, so the tests'
#                child interpreters run emulated too).

AARCH64_ROOT="$PWD/build/aarch64-root"
AARCH64_PYTHON="$AARCH64_ROOT/usr/bin/python3-qemu"
# With their dependencies: what runs. Without: what only builds.
AARCH64_RUN_PACKAGES="python3.11 libstdc++6"
AARCH64_BUILD_PACKAGES="libgtest-dev libpython3.11-dev"
AARCH64_WHEELS="numpy>=2.1 pytest>=7"

aarch64_tools() {
  if ! command -v aarch64-linux-gnu-g++ >/dev/null || ! command -v qemu-aarch64-static >/dev/null; then
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq g++-aarch64-linux-gnu qemu-user-static >/dev/null
  fi
}

aarch64_root() {
  local stamp="$AARCH64_ROOT/.packages" want="$AARCH64_RUN_PACKAGES | $AARCH64_BUILD_PACKAGES | $AARCH64_WHEELS"
  if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$want" ]; then return; fi
  echo "=== arm64 packages into $AARCH64_ROOT ==="
  local apt="$PWD/build/aarch64-apt"
  rm -rf "$AARCH64_ROOT" "$apt"
  mkdir -p "$AARCH64_ROOT" "$apt/state/lists/partial" "$apt/cache/archives/partial"
  touch "$apt/state/status"  # nothing installed: every dependency is fetched
  cat >"$apt/apt.conf" <<CONF
Dir::State "$apt/state";
Dir::State::status "$apt/state/status";
Dir::Cache "$apt/cache";
APT::Architecture "arm64";
APT::Architectures { "arm64"; };
APT::Sandbox::User "root";
CONF
  APT_CONFIG="$apt/apt.conf" apt-get update -qq
  APT_CONFIG="$apt/apt.conf" apt-get install -y -qq --download-only --no-install-recommends $AARCH64_RUN_PACKAGES >/dev/null
  (cd "$apt/cache/archives" && APT_CONFIG="$apt/apt.conf" apt-get download -qq $AARCH64_BUILD_PACKAGES)
  local deb
  for deb in "$apt"/cache/archives/*.deb; do dpkg-deb -x "$deb" "$AARCH64_ROOT"; done
  python3 -m pip install -q --target "$AARCH64_ROOT/usr/lib/python3/dist-packages" --only-binary=:all: \
    --platform manylinux_2_28_aarch64 --platform manylinux2014_aarch64 --implementation cp --python-version 3.11 --abi cp311 $AARCH64_WHEELS
  cat >"$AARCH64_PYTHON" <<WRAP
#!/bin/sh
exec qemu-aarch64-static -L "$AARCH64_ROOT" -0 "\$0" "$AARCH64_ROOT/usr/bin/python3.11" "\$@"
WRAP
  chmod +x "$AARCH64_PYTHON"
  "$AARCH64_PYTHON" -c "import numpy, pytest, platform; assert platform.machine() == 'aarch64'"
  echo "$want" >"$stamp"
}
