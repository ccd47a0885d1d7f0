#!/usr/bin/env bash
# Builds the publisher's release tool alone and installs it as PREFIX/bin/veltomarn-release: a
# Release build of its own (build/tool-release) without sanitizers, tests, fuzzers, the Windows
# build or any key input (VELTOMARN_TOOL_ONLY). Needs cmake, ninja, g++ and the OpenSSL headers
# (scripts/setup.sh installs them).
# Usage: scripts/install-tool.sh PREFIX
set -euo pipefail
if [ "$#" -ne 1 ] || [ -z "$1" ]; then
  echo "usage: scripts/install-tool.sh PREFIX" >&2
  exit 2
fi
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build/tool-release"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELTOMARN_TOOL_ONLY=ON \
      -DVELTOMARN_SANITIZE=OFF -DVELTOMARN_TESTS=OFF -DVELTOMARN_FUZZ=OFF
cmake --build "$build" --target veltomarn-release
cmake --install "$build" --prefix "$1" --strip
