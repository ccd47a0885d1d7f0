#!/usr/bin/env bash
# Every failure code the bootstrap can throw has its entry in the support guide.
set -u
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
codes=$(grep -rhoE '"[A-Z][A-Z0-9]*(_[A-Z0-9]+)+"' "$root/src" --include=*.cpp \
          --exclude=environment.cpp | tr -d '"' | sort -u)
missing=0
for code in ARGUMENTS INTERNAL_ERROR $codes; do
  grep -q "\`$code\`" "$root/docs/SUPPORT.md" || { echo "no entry for $code"; missing=1; }
done
echo "$(echo $codes | wc -w) codes and ARGUMENTS, INTERNAL_ERROR looked for"
exit $missing
