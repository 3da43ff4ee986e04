#!/usr/bin/env bash
# Throughput of apns-mock under h2load: one connection, 100 streams in flight,
# 200000 requests, first with a bearer token, then with no credentials (all
# refused with 403 MissingProviderToken).
#   bench/apns_mock_h2load.sh [BUILD_DIR]      (default: build/release)
# Build first: bash scripts/build.sh release apns-mock fixtures
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build/release}"
mock="$build/tools/apns-mock/apns-mock"
fx="$build/fixtures"
requests=200000
work="$(mktemp -d)"
. "$root/bench/mock.sh"
cleanup() {
  stop_mock
  rm -rf "$work"
}
trap cleanup EXIT

printf '{"aps":{"alert":"Hello from the benchmark","badge":1,"sound":"default"}}' > "$work/payload.json"
device=0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef
token="$("$root/tools/apns-mock/make-token.sh" "$fx/AuthKey_TEST123456.p8" TEST123456 TEAM123456)"

# mock_with OPTIONS...: apns-mock with the bench's key and OPTIONS.
mock_with() {
  start_mock --cert "$fx/server.crt" --key "$fx/server.key" \
    --auth-key "$fx/AuthKey_TEST123456.pub.pem" --key-id TEST123456 --team-id TEAM123456 "$@"
}

# run NAME REQUESTS [h2load options...]
run() {
  local name="$1" n="$2"; shift 2
  echo "== $name"
  echo "h2load -n $n -c 1 -m 100 ${*//$token/<jwt>} -H 'apns-topic: x' -d payload.json https://127.0.0.1:$port/3/device/<64 hex>"
  h2load -n "$n" -c 1 -m 100 "$@" -H 'apns-topic: x' -d "$work/payload.json" \
    "https://127.0.0.1:$port/3/device/$device" | grep -E 'finished in|^requests:|^status codes:'
}

mock_with
run "bearer token" "$requests" -H "authorization: bearer $token"
stop_mock

# Without credentials the connection would stay at one stream; h2load has no
# client certificate, so the one-stream start is switched off.
mock_with --no-auth-stream-limit
run "no credentials (refused), --no-auth-stream-limit" "$requests"
stop_mock

mock_with
run "no credentials (refused), default one-stream start: one request at a time" 20000
stop_mock
