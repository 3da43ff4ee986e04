#!/usr/bin/env bash
# Prints an ES256 provider token (JWT) for trying apns-mock by hand:
#   make-token.sh KEY.p8 KEY_ID TEAM_ID [IAT]
# IAT defaults to now (seconds since the epoch). Needs only the openssl CLI.
set -euo pipefail
if (($# < 3 || $# > 4)); then
  echo "usage: $0 KEY.p8 KEY_ID TEAM_ID [IAT]" >&2
  exit 2
fi
key="$1" kid="$2" iss="$3" iat="${4:-$(date +%s)}"

b64url() { openssl base64 -A | tr '+/' '-_' | tr -d '='; }
# One INTEGER of the DER signature as exactly 64 hex digits.
int64hex() {
  local hex="$1"
  while ((${#hex} > 64)); do hex="${hex#00}"; done
  while ((${#hex} < 64)); do hex="0$hex"; done
  printf '%s' "$hex"
}

header=$(printf '{"alg":"ES256","kid":"%s"}' "$kid" | b64url)
claims=$(printf '{"iss":"%s","iat":%s}' "$iss" "$iat" | b64url)
mapfile -t ints < <(printf '%s.%s' "$header" "$claims" |
  openssl dgst -sha256 -sign "$key" | openssl asn1parse -inform DER |
  awk -F: '/INTEGER/ { print $NF }')
rs="$(int64hex "${ints[0]}")$(int64hex "${ints[1]}")"
# JWS wants r||s, 64 raw octets.
signature=$(printf "$(printf '%s' "$rs" | sed 's/../\\x&/g')" | b64url)
printf '%s.%s.%s\n' "$header" "$claims" "$signature"
