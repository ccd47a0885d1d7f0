# Shared by build.sh and test.sh: install what the project needs, then configure and build the
# three trees (Windows under build/windows, fuzzers under build/fuzz, host under build/host).

VELTOMARN_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

veltomarn_setup() {
  "$VELTOMARN_ROOT/scripts/setup.sh"
}

veltomarn_build_all() {
  cd "$VELTOMARN_ROOT"
  local preset
  # The Windows and fuzz trees first: the host tree's test run includes their tests.
  for preset in windows fuzz host; do
    echo "== configure and build: $preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
  done
}
