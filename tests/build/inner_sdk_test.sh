#!/usr/bin/env bash
# The installed VeltoMarnInner package is all an inner launcher needs: the Windows build installed
# into a scratch prefix (no rebuild), the demo inner launcher builds against it out of tree with
# the toolchain file; and no installed file holds a payload key share.
# Usage: inner_sdk_test.sh <Windows build dir> <source dir> <key shares file>
set -u
build=$1 source=$2 shares=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
{ cmake --install "$build" --prefix "$work/prefix" &&
  cmake -S "$source/demo/inner_launcher" -B "$work/demo" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" \
        -DCMAKE_TOOLCHAIN_FILE="$source/cmake/toolchain-mingw-x86_64.cmake" &&
  cmake --build "$work/demo" -j1; } >"$work/log" 2>&1
if [ ! -f "$work/demo/demo/VeltoMarnLauncher.exe" ]; then
  cat "$work/log"; echo "FAIL the demo inner launcher did not build against the installed package"
  exit 1
fi
for file in $(find "$work/prefix" -type f); do
  bytes=$(od -An -v -tx1 "$file" | tr -d ' \n')
  for share in $(cat "$shares"); do
    [[ "$bytes" != *"$share"* ]] || { echo "FAIL $file holds a payload key share"; exit 1; }
  done
done
echo "the demo inner launcher built against $(find "$work/prefix" -type f | wc -l) installed files"
