#!/usr/bin/env bash
# Makes the package that the Windows tests and the end-to-end tests start from, with the
# repository's test keys: <out>/inner (what the payload holds: the inner launcher and its signed
# release, two files of equal length, an empty file, a file of two chunks, nesting),
# <out>/include (two equal files, so that one can become a hard link to the other) and
# <out>/package, made by `pack`.
# Usage: make_package.sh <release tool> <bootstrap> <inner launcher> <out>
set -euo pipefail
tool=$(realpath "$1") bootstrap=$(realpath "$2") launcher=$(realpath "$3") out=$(realpath -m "$4")
keys="$(cd "$(dirname "${BASH_SOURCE[0]}")/../../keys/test" && pwd)"
rm -rf "$out"
mkdir -p "$out/inner/assets/nested" "$out/inner/package" "$out/include/docs"
cd "$out"
cp "$launcher" inner/VeltoMarnLauncher.exe
printf '{"inner": true}\n' > inner/package/release.json
printf 'the inner release lists a payload file too\n' > inner/VeltoMarn.payload
printf 'nested notes\n' > inner/assets/nested/notes.txt
# As long as notes.txt, so that their chunks can trade places.
printf 'nested other\n' > inner/assets/nested/other.txt
: > inner/empty.dat
# 1 MiB + 1: two chunks, the second of one byte.
# (Not `yes | head`: under pipefail the pipe's SIGPIPE fails the script.)
head -c 1048577 /dev/zero | tr '\0' 'z' > inner/zone.bin
printf 'Keep the complete package together.\n' | tee include/docs/guide.txt > include/docs/guide-copy.txt
printf '{"channel": "community"}\n' > release.json
"$tool" sign --key "$keys/release-signing-TEST-ONLY.key.pem" --sequence 2026103022 inner >/dev/null
"$tool" pack --key "$keys/release-signing-TEST-ONLY.key.pem" \
  --key-shares "$keys/payload-key-shares-TEST-ONLY.txt" --sequence 2026103022 \
  --inner inner --out package --bootstrap "$bootstrap" --manifest release.json --include include
