#!/usr/bin/env bash
# The build inputs for the keys: the repository's test keys convert; a key of another size or
# shape, or malformed payload key shares, stop the configure step with a message naming the input.
set -u
source_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
passed=0

convert() {  # convert <release key> <payload shares> -> exit status, output in $work/out.txt
  cmake -DPROJECT_SOURCE_DIR="$source_dir" -DOUTPUT="$work/generated" \
        -DVELTOMARN_RELEASE_PUBLIC_KEY="$1" -DVELTOMARN_PAYLOAD_KEY="$2" \
        -P "$source_dir/tests/build/generate_keys.cmake" >"$work/out.txt" 2>&1
}

expect_refused() {  # expect_refused <case> <release key> <payload shares> <text in the message>
  if convert "$2" "$3"; then
    echo "FAIL $1: accepted"; failures=$((failures + 1))
  elif ! grep -q "$4" "$work/out.txt"; then
    echo "FAIL $1: message lacks '$4':"; cat "$work/out.txt"; failures=$((failures + 1))
  else
    passed=$((passed + 1))
  fi
}

test_keys="$source_dir/keys/test"
good_key="$test_keys/release-signing-TEST-ONLY.pub.pem"
good_shares="$test_keys/payload-key-shares-TEST-ONLY.txt"

# The test keys convert, and the header holds the key's own modulus.
if convert "$good_key" "$good_shares"; then
  modulus=$(openssl pkey -pubin -in "$good_key" -noout -text | sed -n '/Modulus:/,/Exponent:/p' |
            tr -d ' :\n' | sed -e 's/Modulus//' -e 's/Exponent.*//' -e 's/^00//')
  first=$(echo "$modulus" | cut -c1-2)
  if grep -q "kReleaseKeyModulus\[384\] = {0x$first," "$work/generated/release_key.h" &&
     grep -q 'kReleaseKeyExponent\[3\] = {0x01, 0x00, 0x01}' "$work/generated/release_key.h" &&
     grep -q "kPayloadKeyShareA\[32\] = {0x$(head -c2 "$good_shares")," "$work/generated/payload_key.h"; then
    passed=$((passed + 1))
  else
    echo "FAIL test keys: generated headers do not hold the keys"; failures=$((failures + 1))
  fi
else
  echo "FAIL test keys refused:"; cat "$work/out.txt"; failures=$((failures + 1))
fi

# Keys of another size or shape.
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 2>/dev/null | openssl pkey -pubout -out "$work/rsa2048.pem"
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:3072 -pkeyopt rsa_keygen_pubexp:3 2>/dev/null | openssl pkey -pubout -out "$work/exponent3.pem"
openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 2>/dev/null | openssl pkey -pubout -out "$work/ec.pem"
echo "not a key" > "$work/garbage.pem"
expect_refused "2048-bit modulus" "$work/rsa2048.pem" "$good_shares" "3072"
expect_refused "exponent 3" "$work/exponent3.pem" "$good_shares" "3 bytes"
expect_refused "EC key" "$work/ec.pem" "$good_shares" "VELTOMARN_RELEASE_PUBLIC_KEY"
expect_refused "not a key" "$work/garbage.pem" "$good_shares" "VELTOMARN_RELEASE_PUBLIC_KEY"
expect_refused "missing key file" "$work/none.pem" "$good_shares" "no such file"

# Payload key shares of the wrong shape.
printf '%s\n' "$(head -n1 "$good_shares")" > "$work/one-line.txt"
tr 'a-f' 'A-F' < "$good_shares" > "$work/upper.txt"
{ head -n1 "$good_shares" | cut -c1-62; tail -n1 "$good_shares"; } > "$work/short.txt"
{ cat "$good_shares"; head -n1 "$good_shares"; } > "$work/three-lines.txt"
expect_refused "one share" "$good_key" "$work/one-line.txt" "VELTOMARN_PAYLOAD_KEY"
expect_refused "upper-case digits" "$good_key" "$work/upper.txt" "VELTOMARN_PAYLOAD_KEY"
expect_refused "share of 31 bytes" "$good_key" "$work/short.txt" "VELTOMARN_PAYLOAD_KEY"
expect_refused "three lines" "$good_key" "$work/three-lines.txt" "VELTOMARN_PAYLOAD_KEY"

echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
