# Sourced by the scripts that test on every supported CPython.

# The supported versions: the abi3 floor and every later release.
NIMBRA_PYTHONS="3.11 3.12 3.13"

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
