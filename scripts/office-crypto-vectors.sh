#!/usr/bin/env bash
# Computes the known answers of src/jet/office_cipher_test.cpp with OpenSSL's command line (and
# Python's hashlib for the spins), a route independent of the engine's code: for each Office
# scheme, the verifier fields a file protected with the test password carries, and the SHA-1 of
# a test page encrypted under its page number. Needs the Debian packages openssl and python3.
# Usage: scripts/office-crypto-vectors.sh
set -euo pipefail

work=$(mktemp -d "${TMPDIR:-/tmp}/office-vectors.XXXXXX")
trap 'rm -rf "$work"' EXIT

hex() { od -An -v -tx1 | tr -d ' \n'; }
unhex() { local h=$1 out=""; while [ -n "$h" ]; do out+="\\x${h:0:2}"; h=${h:2}; done; printf "$out"; }
le32() { printf '%02x%02x%02x%02x' $(($1 & 255)) $(($1 >> 8 & 255)) $(($1 >> 16 & 255)) $(($1 >> 24 & 255)); }
digest() { unhex "$2" | openssl dgst "-$1" -binary | hex; }  # digest ALG HEX
# spin ALG HEX COUNT: COUNT times value = hash(LE32(i) || value); Python's hashlib, as one
# process per round would take an hour.
spin() {
  python3 -c '
import hashlib, sys
alg, value, count = sys.argv[1], bytes.fromhex(sys.argv[2]), int(sys.argv[3])
for i in range(count):
    value = hashlib.new(alg, i.to_bytes(4, "little") + value).digest()
print(value.hex())' "$1" "$2" "$3"
}
xor_pad() {  # xor_pad HEX BYTE: 64 bytes of BYTE with HEX XORed into the start
  local h=$1 out="" i b
  for ((i = 0; i < 64; i++)); do
    b=$((0x$2))
    [ $((2 * i)) -lt ${#h} ] && b=$((b ^ 0x${h:$((2 * i)):2}))
    out+=$(printf '%02x' "$b")
  done
  printf '%s' "$out"
}
aes() {  # aes MODE KEYHEX IVHEX DATAHEX -> hex
  local iv=()
  [ -n "$3" ] && iv=(-iv "$3")
  unhex "$4" | openssl enc "-$1" -K "$2" "${iv[@]}" -nopad | hex
}
rc4() { unhex "$2" | openssl enc -rc4 -K "$1" -provider legacy -provider default | hex; }
b64() { unhex "$1" | openssl base64 -A; }
utf16() { printf '%s' "$1" | iconv -f UTF-8 -t UTF-16LE | hex; }

password=$(utf16 "Orvelle pass")
salt=000102030405060708090a0b0c0d0e0f
verifier=101112131415161718191a1b1c1d1e1f
database_key=12345678
page=3
block0=00000000
page_block=$(le32 $((0x$database_key ^ page)))
# The test page: bytes i * 7 + 1 (mod 256), 4096 of them.
plain=$(for ((i = 0; i < 4096; i++)); do printf '%02x' $(((i * 7 + 1) & 255)); done)

# Standard AES-128 (and the 0-spin form): key = (X1 || X2)[0..16] of F = SHA1(H || block).
capi_aes_key() {  # capi_aes_key SPUN BLOCK BITS
  local f x1 x2
  f=$(digest sha1 "$1$2")
  x1=$(digest sha1 "$(xor_pad "$f" 36)")
  x2=$(digest sha1 "$(xor_pad "$f" 5c)")
  printf '%s' "${x1}${x2}" | cut -c1-$(($3 / 4))
}
for spins in 50000 0; do
  echo "== AES-128-ECB, SHA-1, $spins spins"
  spun=$(spin sha1 "$(digest sha1 "$salt$password")" "$spins")
  key=$(capi_aes_key "$spun" "$block0" 128)
  hash=$(digest sha1 "$verifier")000000000000000000000000
  echo "encrypted verifier:      $(aes aes-128-ecb "$key" "" "$verifier")"
  echo "encrypted verifier hash: $(aes aes-128-ecb "$key" "" "$hash")"
  page_key=$(capi_aes_key "$spun" "$page_block" 128)
  echo "page $page sha1:            $(digest sha1 "$(aes aes-128-ecb "$page_key" "" "$plain")")"
done

for bits in 128 40; do
  echo "== RC4 CryptoAPI, $bits-bit key"
  base=$(digest sha1 "$salt$password")
  rc4_key() {
    local k
    k=$(digest sha1 "$base$1" | cut -c1-$((bits / 4)))
    [ "$bits" = 40 ] && k+=0000000000000000000000
    printf '%s' "$k"
  }
  both=$(rc4 "$(rc4_key $block0)" "$verifier$(digest sha1 "$verifier")")
  echo "encrypted verifier:      ${both:0:32}"
  echo "encrypted verifier hash: ${both:32}"
  echo "page $page sha1:            $(digest sha1 "$(rc4 "$(rc4_key "$page_block")" "$plain")")"
done

echo "== agile AES-256-CBC, SHA-512, 1000 spins"
key_salt=202122232425262728292a2b2c2d2e2f
data_salt=303132333435363738393a3b3c3d3e3f
intermediate=404142434445464748494a4b4c4d4e4f505152535455565758595a5b5c5d5e5f
spun=$(spin sha512 "$(digest sha512 "$key_salt$password")" 1000)
agile_key() { digest sha512 "$spun$1" | cut -c1-64; }
echo "saltValue (key):            $(b64 $key_salt)"
echo "saltValue (data):           $(b64 $data_salt)"
echo "encryptedVerifierHashInput: $(b64 "$(aes aes-256-cbc "$(agile_key fea7d2763b4b9e79)" $key_salt $verifier)")"
echo "encryptedVerifierHashValue: $(b64 "$(aes aes-256-cbc "$(agile_key d7aa0f6d3061344e)" $key_salt "$(digest sha512 $verifier)")")"
echo "encryptedKeyValue:          $(b64 "$(aes aes-256-cbc "$(agile_key 146e0be7abacd0d6)" $key_salt $intermediate)")"
iv=$(digest sha512 "$data_salt$page_block" | cut -c1-32)
echo "page $page sha1:               $(digest sha1 "$(aes aes-256-cbc $intermediate "$iv" "$plain")")"
