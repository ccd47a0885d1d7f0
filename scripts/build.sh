#!/usr/bin/env bash
# Builds everything from a fresh checkout, then runs the main job (scripts/demo.sh): packs a demo
# package with the test keys and runs the bootstrap on it under Wine with --verify-only; the exit
# status is the bootstrap's.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

veltomarn_setup
veltomarn_build_all

echo
echo "== main job: a demo package, checked by the release tool and by the bootstrap under Wine"
exec "$VELTOMARN_ROOT/scripts/demo.sh"
