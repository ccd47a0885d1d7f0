#!/usr/bin/env bash
# The built bootstrap imports only the allowed DLLs, holds each payload key share but never the
# key whole, and carries the project's version and, as manifest 1, the manifest's key settings
# (read back from the file by windres).
# Usage: executable_test.sh <objdump> <windres> <VeltoMarnLauncher.exe> <key shares file> <version>
#        <allowed DLL>...
set -u
objdump=$1 windres=$2 exe=$3 shares=$4 version=$5
shift 5
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
rc=$("$windres" -i "$exe" -O rc) manifest=$(sed -n '/^1 24 /,/^END$/p' <<<"$rc")
has() { grep -qF "$2" <<<"$1"; }
for want in "FILEVERSION ${version//./, }" "\"FileVersion\", \"$version\"" "\"ProductVersion\", \"$version\""; do
  verdict "version resource: $want" has "$rc" "$want"
done
for want in 'level=""asInvoker"" uiAccess=""false""' '>true</longPathAware>' '>PerMonitorV2, PerMonitor<' \
    'name=""Microsoft.Windows.Common-Controls"" version=""6.0.0.0""'; do
  verdict "manifest: $want" has "$manifest" "$want"
done
echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
