#!/usr/bin/env bash
# The key build inputs: the repository's test keys (known by their material) convert only when
# VELTOMARN_ALLOW_TEST_KEYS is ON, and then with a warning naming them; own keys convert silently into the generated sources; a
# key of another size or shape, or malformed shares, stop the configure step naming the input.
set -u
source_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0 failures=0
test_key="$source_dir/keys/test/release-signing-TEST-ONLY.pub.pem"
test_shares="$source_dir/keys/test/payload-key-shares-TEST-ONLY.txt"
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:3072 2>/dev/null |
  openssl pkey -pubout -out "$work/own.pem"
printf '%s\n%s\n' "$(printf 'ab%.0s' {1..32})" "$(printf '5c%.0s' {1..32})" > "$work/own.txt"
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 2>/dev/null | openssl pkey -pubout -out "$work/rsa2048.pem"
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:3072 -pkeyopt rsa_keygen_pubexp:3 2>/dev/null | openssl pkey -pubout -out "$work/exponent3.pem"
echo "not a key" > "$work/garbage.pem"
tr 'a-f' 'A-F' < "$work/own.txt" > "$work/upper.txt"
{ head -n1 "$work/own.txt" | cut -c1-62; tail -n1 "$work/own.txt"; } > "$work/short.txt"
sed 's/$/\r/' "$test_key" > "$work/crlf.pem"; tac "$test_shares" > "$work/swapped.txt"

# row <case> <allow test keys> <release key> <shares> <0 converts, 1 refused> <text in the output,
# or "" for none required>
row() {
  rm -rf "$work/generated"
  cmake -DPROJECT_SOURCE_DIR="$source_dir" -DOUTPUT="$work/generated" -DVELTOMARN_ALLOW_TEST_KEYS="$2" \
        -DVELTOMARN_RELEASE_PUBLIC_KEY="$3" -DVELTOMARN_PAYLOAD_KEY="$4" \
        -P "$source_dir/tests/build/generate_keys.cmake" >"$work/out.txt" 2>&1
  local refused=$(( $? != 0 ))
  # CMake wraps its messages: the text is looked for with the line breaks taken out.
  if [ "$refused" -ne "$5" ] || ! { [ -z "$6" ] || tr -s ' \n' ' ' < "$work/out.txt" | grep -q "$6"; }; then
    echo "FAIL $1:"; cat "$work/out.txt"; failures=$((failures + 1))
  else
    passed=$((passed + 1))
  fi
}

# The test keys are known by their material: re-encoded, or shares in the other order, too.
row "test release key with CRLF refused" OFF "$work/crlf.pem" "$work/own.txt" 1 "VELTOMARN_RELEASE_PUBLIC_KEY is the repository's TEST key"
row "test shares swapped refused" OFF "$work/own.pem" "$work/swapped.txt" 1 "VELTOMARN_PAYLOAD_KEY is the repository's TEST key"
row "test keys allowed, with a warning" ON "$test_key" "$test_shares" 0 "VELTOMARN_PAYLOAD_KEY: this build trusts the TEST key keys/test/payload-key-shares-TEST-ONLY.txt"
row "own keys convert silently" OFF "$work/own.pem" "$work/own.txt" 0 ""
if [ -s "$work/out.txt" ] ||
   ! grep -q "kReleaseKeyExponent\[3\] = {0x01, 0x00, 0x01}" "$work/generated/release_key.h" ||
   ! grep -q "kPayloadKeyShareA\[32\] = {0xab," "$work/generated/payload_key_share_a.cpp" ||
   ! grep -q "kPayloadKeyShareB\[32\] = {0x5c," "$work/generated/payload_key_share_b.cpp"; then
  echo "FAIL own keys: warned, or the generated sources do not hold them"; failures=$((failures + 1))
fi
row "2048-bit modulus" ON "$work/rsa2048.pem" "$work/own.txt" 1 "3072"
row "exponent 3" ON "$work/exponent3.pem" "$work/own.txt" 1 "3 bytes"
row "not a key" ON "$work/garbage.pem" "$work/own.txt" 1 "VELTOMARN_RELEASE_PUBLIC_KEY"
row "upper-case digits" ON "$work/own.pem" "$work/upper.txt" 1 "VELTOMARN_PAYLOAD_KEY"
row "share of 31 bytes" ON "$work/own.pem" "$work/short.txt" 1 "VELTOMARN_PAYLOAD_KEY"

echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
