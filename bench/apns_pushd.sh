#!/usr/bin/env bash
# apns-pushd taking notifications through its HTTP API and sending them on
# one APNs connection to apns-mock, next to apns-push on the same kind of
# connection and h2load against the same server, in one run: notifications
# per second and the API path's share of apns-push's rate.
#   bench/apns_pushd.sh [BUILD_DIR] [NOTIFICATIONS]     (default: build/release 100000)
# Build first: bash scripts/build.sh release apns-pushd apns-push apns-mock fixtures
# (or: cmake --build build/release --target apns_pushd_bench).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build/release}"
count="${2:-100000}"
batch=10000
mock="$build/tools/apns-mock/apns-mock"
push="$build/tools/apns-push/apns-push"
pushd_bin="$build/tools/apns-pushd/apns-pushd"
fx="$build/fixtures"
work="$(mktemp -d)"
api_token="bench-api-token-0123456789"
. "$root/bench/mock.sh"
. "$root/bench/pushd.sh"
service_pid=""
stop_service() {
  if [ -n "$service_pid" ]; then kill -TERM "$service_pid" 2>/dev/null || true; wait "$service_pid" 2>/dev/null || true; fi
  service_pid=""
}
cleanup() {
  stop_service
  stop_mock
  rm -rf "$work"
}
trap cleanup EXIT

payload='{"aps":{"alert":"Hello from the benchmark","badge":1,"sound":"default"}}'
printf '%s' "$payload" > "$work/payload.json"
for ((i = 1; i <= count; i++)); do printf '%064x\n' "$i"; done > "$work/tokens"
# The same tokens as API batches of $batch notifications.
write_batches
device=0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef
jwt="$("$root/tools/apns-mock/make-token.sh" "$fx/AuthKey_TEST123456.p8" TEST123456 TEAM123456)"

start_mock --cert "$fx/server.crt" --key "$fx/server.key" --client-ca "$fx/ca.crt" \
  --auth-key "$fx/AuthKey_TEST123456.pub.pem" --key-id TEST123456 --team-id TEAM123456 \
  --token-update-interval 0
url="https://127.0.0.1:$port"
echo "$count notifications to apns-mock on $url"

report() {  # NAME START END ACCEPTED
  awk -v n="$count" -v s="$2" -v e="$3" -v ok="$4" -v name="$1" \
    'BEGIN { printf "%-52s %8.0f notifications/s  %6.2f s  accepted %d/%d\n", name, n / (e - s), e - s, ok, n }'
  echo "$1 $(awk -v n="$count" -v s="$2" -v e="$3" 'BEGIN { print n / (e - s) }')" >> "$work/rates"
}

h2l() {  # NAME STREAMS
  local rate
  rate=$(h2load -n "$count" -c 1 -m "$2" -H "authorization: bearer $jwt" -H 'apns-topic: com.example.app' \
    -d "$work/payload.json" "$url/3/device/$device" | awk '/^finished in/ { gsub(",", "", $4); print $4 }')
  printf "%-52s %8.0f notifications/s\n" "$1" "$rate"
  echo "$1 $rate" >> "$work/rates"
}

push() {
  local start end ok
  start=$(date +%s.%N)
  "$push" --url "$url" --ca "$fx/ca.crt" --tls openssl --topic com.example.app --payload @"$work/payload.json" \
    --tokens "$work/tokens" --key "$fx/AuthKey_TEST123456.p8" --key-id TEST123456 --team-id TEAM123456 \
    > "$work/out" 2> "$work/err" || true
  end=$(date +%s.%N)
  ok=$(grep -c '"status":200' "$work/out" || true)
  report "apns-push, provider token, 1 connection" "$start" "$end" "$ok"
}

# The service on a free port, one app on one connection, token mode.
start_service() {
  rm -f "$work/outcomes.jsonl"
  write_pushd_config "$work/pushd.toml" "outcome_file = \"$work/outcomes.jsonl\""
  "$pushd_bin" --config "$work/pushd.toml" > "$work/pushd.out" 2> "$work/pushd.err" &
  service_pid=$!
  api="$(wait_listening "$work/pushd.out" "$work/pushd.err")"
  # The first connection and provider token before the clock starts.
  curl -s -o /dev/null -H "Authorization: Bearer $api_token" -H 'Content-Type: application/json' \
    --data-binary "{\"device_token\":\"$device\",\"payload\":$payload}" "http://$api/v1/apps/bench/notifications?wait=1"
}

# post NAME QUERY PARALLEL: every batch file POSTed, PARALLEL at a time; the
# clock stops when every notification has its outcome line.
post() {
  local start end ok lines
  start_service  # its outcome file holds the warm-up's line
  start=$(date +%s.%N)
  ls "$work"/batch*.json | xargs -P "$3" -I{} curl -s -o /dev/null -H "Authorization: Bearer $api_token" \
    -H 'Content-Type: application/json' --data-binary @{} "http://$api/v1/apps/bench/notifications$2" || true
  for _ in $(seq 12000); do  # 120 s at most
    lines=$(wc -l < "$work/outcomes.jsonl")
    [ "$lines" -gt "$count" ] && break
    sleep 0.01
  done
  end=$(date +%s.%N)
  ok=$(($(grep -c '"status":200' "$work/outcomes.jsonl" || true) - 1))
  report "$1" "$start" "$end" "$ok"
  stop_service
}

h2l "h2load, 1 connection, 100 streams" 100
push
post "apns-pushd API, 202, 1 client, 1 connection" "" 1
post "apns-pushd API, ?wait=1, 4 clients, 1 connection" "?wait=1" 4
awk '/^apns-push,/ { ref = $NF } { rate[NR] = $NF; name[NR] = substr($0, 1, length($0) - length($NF) - 1) }
     END { for (i = 1; i <= NR; i++) if (name[i] ~ /^apns-pushd/)
             printf "apns-pushd/apns-push %.2f  %s\n", rate[i] / ref, name[i] }' "$work/rates"
