#!/usr/bin/env bash
# The main job's demo, on the built trees: makes a demo package with the repository's TEST-ONLY
# keys, checks it with the release tool, then runs the bootstrap on it under Wine with
# --verify-only and then as a player starts it (the normal mode: the session, the demo game), and
# shows what the bootstrap printed and the game's own sign of life. Exits with the bootstrap's
# exit code.
#
#   build/demo/inner    demo/inner, the demo inner launcher, and the inner launcher's own signed
#                       inventory (RELEASE.signed, RELEASE.sig) made by `veltomarn-release sign`
#   build/demo/package  the package: `veltomarn-release pack` of the bootstrap, build/demo/inner
#                       sealed, demo/release.json and the files of demo/extra
#
# Both directories are made afresh on every run. Needs build/host (the release tool) and
# build/windows (the bootstrap and the demo inner launcher) built; VELTOMARN_HOST_BUILD and
# VELTOMARN_WINDOWS_BUILD name other trees.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
host_build="${VELTOMARN_HOST_BUILD:-$root/build/host}"
windows_build="${VELTOMARN_WINDOWS_BUILD:-$root/build/windows}"
tool="$host_build/tools/veltomarn-release"
bootstrap="$windows_build/src/VeltoMarnLauncher.exe"
inner_launcher="$windows_build/demo/VeltoMarnLauncher.exe"
keys="$root/keys/test"
private_key="$keys/release-signing-TEST-ONLY.key.pem"
public_key="$keys/release-signing-TEST-ONLY.pub.pem"
key_shares="$keys/payload-key-shares-TEST-ONLY.txt"
work="$root/build/demo"
sequence=2026103022

for built in "$tool" "$bootstrap" "$inner_launcher"; do
  if [ ! -f "$built" ]; then
    echo "demo: $built is missing: build the host and windows presets first" >&2
    exit 2
  fi
done

rm -rf "$work"
mkdir -p "$work"

echo "-- inner directory: $work/inner"
cp -R "$root/demo/inner" "$work/inner"
cp "$inner_launcher" "$work/inner/VeltoMarnLauncher.exe"
"$tool" sign --key "$private_key" --sequence "$sequence" "$work/inner"

echo "-- package: $work/package"
"$tool" pack --key "$private_key" --key-shares "$key_shares" --sequence "$sequence" \
  --inner "$work/inner" --out "$work/package" --bootstrap "$bootstrap" \
  --manifest "$root/demo/release.json" --include "$root/demo/extra"
"$tool" verify --public-key "$public_key" --key-shares "$key_shares" "$work/package"

export WINEPREFIX="$windows_build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
session="$root/scripts/wine-session.sh"
"$session" start
trap '"$session" stop >/dev/null' EXIT
game_log="$WINEPREFIX/drive_c/users/$(id -un)/Temp/VeltoMarnDemo.log"

# Runs the bootstrap with the given arguments and shows what it printed and its exit code.
# Through files, not pipes: Wine's lingering services inherit the standard handles.
run() {
  set +e
  wine "$work/package/VeltoMarnLauncher.exe" "$@" \
    </dev/null >"$work/bootstrap.stdout" 2>"$work/bootstrap.stderr"
  status=$?
  set -e
  echo "standard output: $(cat "$work/bootstrap.stdout")"
  echo "standard error:  $(cat "$work/bootstrap.stderr")"
  echo "exit code:       $status"
}

echo "-- bootstrap under Wine: VeltoMarnLauncher.exe --verify-only"
run --verify-only
[ "$status" -eq 0 ] || exit "$status"

echo "-- bootstrap under Wine: VeltoMarnLauncher.exe (the player's double-click)"
lines_before=$( (cat "$game_log" 2>/dev/null || true) | wc -l)
run
lines_after=$( (cat "$game_log" 2>/dev/null || true) | wc -l)
if [ "$lines_after" -gt "$lines_before" ]; then
  echo "the game's sign of life: $(tail -n 1 "$game_log")"
else
  echo "the game left no sign of life in $game_log" >&2
  [ "$status" -ne 0 ] || status=1
fi
exit "$status"
