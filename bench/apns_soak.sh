#!/usr/bin/env bash
# A soak of apns-push against apns-mock under faults: 100000 notifications per
# run through servers that send GOAWAY every 1000 answers, close connections
# abruptly every 1000 requests, or both at once over four connections (GOAWAY
# after 1000 answers, and an abrupt close when the 1050th request arrives,
# which requests still in flight after the GOAWAY often reach); with a
# client certificate and with a provider token, over both TLS handlers; then
# 20 more runs of the abrupt-close case. It runs for minutes, so it is not a
# test. Per run it prints:
#   exit     apns-push's exit status (139: it crashed; 124: it hung and was stopped)
#   lines    output lines written (one per device token is the target)
#   devices  distinct device tokens among them
#   twice    device tokens the server accepted (200) more than once
#   tokens   distinct provider tokens the server saw (1 is the target with a key)
#   rss      apns-push's peak resident set size
# and at the end whether every run met the targets (exit status 1 otherwise).
#   bench/apns_soak.sh [BUILD_DIR] [NOTIFICATIONS] [REPEATS]
#       (default: build/release 100000 20)
# Build first: bash scripts/build.sh release apns-push apns-mock fixtures
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build/release}"
count="${2:-100000}"
repeats="${3:-20}"
mock="$build/tools/apns-mock/apns-mock"
push="$build/tools/apns-push/apns-push"
fx="$build/fixtures"
work="$(mktemp -d)"
. "$root/bench/mock.sh"
cleanup() {
  stop_mock
  rm -rf "$work"
}
trap cleanup EXIT

printf '{"aps":{"alert":"Hello from the soak","badge":1}}' > "$work/payload.json"
for ((i = 1; i <= count; i++)); do printf '%064x\n' "$i"; done > "$work/tokens"

# fresh_mock OPTIONS...: a fresh apns-mock (fresh log, fresh token history).
fresh_mock() {
  stop_mock
  : > "$work/log"
  start_mock --cert "$fx/server.crt" --key "$fx/server.key" --client-ca "$fx/ca.crt" \
    --auth-key "$fx/AuthKey_TEST123456.pub.pem" --key-id TEST123456 --team-id TEAM123456 \
    --log "$work/log" "$@"
}

failed=0
printf '%-52s %5s %7s %7s %5s %6s %8s\n' case exit lines devices twice tokens "rss MB"
# run NAME MOCK_OPTIONS -- PUSH_OPTIONS...
run() {
  local name="$1"; shift
  local mock_options=()
  while [ "$1" != "--" ]; do mock_options+=("$1"); shift; done
  shift
  fresh_mock "${mock_options[@]}"
  local status=0
  /usr/bin/time -f '%M' -o "$work/time" timeout 600 "$push" --url "https://127.0.0.1:$port" \
    --ca "$fx/ca.crt" --topic com.example.app --payload @"$work/payload.json" --tokens "$work/tokens" \
    "$@" > "$work/out" 2> "$work/err" || status=$?
  # Answers still on their way are logged before they are sent.
  stop_mock
  local lines devices twice tokens rss
  lines=$(wc -l < "$work/out")
  # (grep finds nothing: no match is a count of 0, not a failure)
  devices=$({ grep -o '"token":"[0-9a-f]*"' "$work/out" || true; } | sort -u | wc -l)
  twice=$({ grep '"status":200' "$work/log" || true; } | { grep -o '/3/device/[0-9a-f]*' || true; } |
          sort | uniq -d | wc -l)
  tokens=$({ grep -o '"token_hash":"[0-9a-f]*"' "$work/log" || true; } | sort -u | wc -l)
  rss=$(awk 'END { printf "%.1f", $1 / 1024 }' "$work/time" 2>/dev/null || echo "?")
  printf '%-52s %5s %7s %7s %5s %6s %8s\n' "$name" "$status" "$lines" "$devices" "$twice" "$tokens" "$rss"
  local want_tokens=0
  case " $* " in *" --key "*) want_tokens=1 ;; esac
  if [ "$status" -ge 124 ] || [ "$lines" -ne "$count" ] || [ "$devices" -ne "$count" ] ||
     [ "$twice" -ne 0 ] || [ "$tokens" -ne "$want_tokens" ]; then
    failed=1
    echo "  ^ missed a target; last lines of its standard error:" >&2
    tail -n 3 "$work/err" >&2
  fi
}

certificate=(--cert "$fx/client.p12" --password secret)
key=(--key "$fx/AuthKey_TEST123456.p8" --key-id TEST123456 --team-id TEAM123456)
for tls in openssl schannel; do
  for auth in certificate key; do
    if [ "$auth" = certificate ]; then credentials=("${certificate[@]}"); else credentials=("${key[@]}"); fi
    run "GOAWAY every 1000, $auth, $tls" --goaway-after 1000 -- --tls "$tls" "${credentials[@]}"
    run "abrupt close every 1000, $auth, $tls" --close-after 1000 -- --tls "$tls" "${credentials[@]}"
    run "both, 4 connections, $auth, $tls" --goaway-after 1000 --close-after 1050 -- \
      --tls "$tls" --connections 4 "${credentials[@]}"
  done
done
for ((i = 1; i <= repeats; i++)); do
  run "abrupt close every 1000, certificate, openssl #$i" --close-after 1000 -- \
    --tls openssl "${certificate[@]}"
done
if [ "$failed" -eq 0 ]; then echo "every run met the targets"; else echo "some runs missed a target"; fi
exit "$failed"
