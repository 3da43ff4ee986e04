#!/usr/bin/env bash
# Server certificates the TLS refusal and chain tests need, beside the
# project's test PKI:
#   make-tls-fixtures.sh OUTDIR PKIDIR
# PKIDIR holds the test CA (ca.crt, ca.key) and the client key (client.key).
set -euo pipefail
out="$1"
pki="$2"
mkdir -p "$out"
work="$(mktemp -d "$out/.make.XXXXXX")"
trap 'rm -rf "$work"' EXIT
cd "$work"

ec=(-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes)
san_local='subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1'
server_ext="$(printf '%s\nextendedKeyUsage=serverAuth\nbasicConstraints=CA:FALSE' "$san_local")"

# sign NAME SUBJECT EXTENSIONS CA-PREFIX DAYS
sign() {
  openssl req "${ec[@]}" -keyout "$1.key" -out "$1.csr" -subj "$2" 2>/dev/null
  printf '%s\n' "$3" > "$1.ext"
  openssl x509 -req -in "$1.csr" -CA "$4.crt" -CAkey "$4.key" -CAcreateserial \
    -days "$5" -out "$1.crt" -extfile "$1.ext" 2>/dev/null
  rm -f "$1.csr" "$1.ext"
}
cp "$pki/ca.crt" "$pki/ca.key" .

# Expired: valid until yesterday.
sign expired "/CN=localhost" "$server_ext" ca -1
# Trusted, but for another name only.
sign other-name "/CN=other.example" \
  "$(printf 'subjectAltName=DNS:other.example\nextendedKeyUsage=serverAuth\nbasicConstraints=CA:FALSE')" ca 3650
# A server certificate from a CA nobody trusts.
openssl req -x509 "${ec[@]}" -days 3650 -keyout untrusted-ca.key -out untrusted-ca.crt \
  -subj "/CN=Untrusted CA" -addext "basicConstraints=critical,CA:TRUE" \
  -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
sign untrusted-server "/CN=localhost" "$server_ext" untrusted-ca 3650
# A chain: test CA -> intermediate -> server; the server sends the intermediate too.
sign intermediate "/CN=Test Intermediate CA" \
  "$(printf 'basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign')" ca 3650
sign chain-server "/CN=localhost" "$server_ext" intermediate 3650
# The client key as an encrypted PEM (pass phrase "keypass").
openssl pkey -in "$pki/client.key" -aes-256-cbc -passout pass:keypass -out client-enc.key

rm -f ca.crt ca.key ./*.srl untrusted-ca.key intermediate.key
chmod 644 ./*
mv -f ./* "$out/"
