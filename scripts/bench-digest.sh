#!/usr/bin/env bash
# Measures FileDigest against bare CNG hashing under Wine and prints the figures.
# Builds the Windows tree first when needed. Uses the Windows tree's Wine prefix, starting its
# session (scripts/wine-session.sh) and stopping it again at the end, so do not run it during a
# test run of the same tree.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

if [ ! -f build/windows/build.ninja ]; then
  cmake --preset windows >/dev/null
fi
cmake --build --preset windows --target veltomarn_digest_benchmark >/dev/null

export WINEPREFIX="$root/build/windows/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
scripts/wine-session.sh start >/dev/null
trap 'scripts/wine-session.sh stop >/dev/null' EXIT
scripts/wine-run.sh build/windows/bench/veltomarn_digest_benchmark.exe
