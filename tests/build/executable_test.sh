#!/usr/bin/env bash
# The built bootstrap imports only the allowed DLLs, and holds each payload key share but never
# the key whole.
# Usage: executable_test.sh <objdump> <VeltoMarnLauncher.exe> <key shares file> <allowed DLL>...
set -u
objdump=$1 exe=$2 shares=$3
shift 3
passed=0 failures=0
verdict() {  # verdict <name> <command...>
  if "${@:2}"; then passed=$((passed + 1)); else echo "FAIL $1"; failures=$((failures + 1)); fi
}
allowed() { printf '%s\n' "${@:2}" | grep -qixF "$1"; }
for dll in $("$objdump" -p "$exe" | sed -n 's/^\s*DLL Name: //p'); do
  verdict "imports $dll" allowed "$dll" "$@"
done
bytes=$(od -An -v -tx1 "$exe" | tr -d ' \n')
holds() { [[ "$bytes" == *"$1"* ]]; }
lacks() { ! holds "$1"; }
a=$(sed -n 1p "$shares") b=$(sed -n 2p "$shares") key=""
for ((i = 0; i < 64; i += 2)); do key+=$(printf '%02x' $((0x${a:i:2} ^ 0x${b:i:2}))); done
verdict "first share stored" holds "$a"
verdict "second share stored" holds "$b"
verdict "payload key stored whole" lacks "$key"
echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
