#!/usr/bin/env bash
# Builds everything from a fresh checkout and runs every test: host unit and contract tests, the
# Win32 contract tests and end-to-end tests under Wine, and short fuzzing runs. One ctest run
# reports them all; its summary is the last thing printed.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

veltomarn_setup
veltomarn_build_all

echo
echo "== tests (each test's line ends with its time; the summary comes last)"
cd "$VELTOMARN_ROOT"
exec ctest --test-dir build/host --output-on-failure -j2
