#!/usr/bin/env bash
# Runs a Windows program under Wine for a test and passes on its output and exit code.
# Wine's helper processes (services, devices, the desktop) can outlive the program and inherit its
# standard handles; through a pipe they would keep the test runner waiting for the end of the
# output. The output therefore goes through files.
set -u
out=$(mktemp)
err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
wine "$@" </dev/null >"$out" 2>"$err"
status=$?
cat "$out"
cat "$err" >&2
exit "$status"
