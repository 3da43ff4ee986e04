#!/usr/bin/env bash
# apns-pushd as a fleet over Redis: one and three instances sharing one queue
# in a redis-server of the script's own (append-only file on, flushed every
# second), each with one APNs connection to apns-mock; the API takes batches
# on every instance in turn. Notifications per second until the last outcome
# is in the fleet's outcome stream.
#   bench/apns_pushd_fleet.sh [BUILD_DIR] [NOTIFICATIONS]     (default: build/release 100000)
# Build first: bash scripts/build.sh release apns-pushd apns-mock fixtures
# (or: cmake --build build/release --target apns_pushd_fleet_bench).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build/release}"
count="${2:-100000}"
batch=10000
mock="$build/tools/apns-mock/apns-mock"
pushd_bin="$build/tools/apns-pushd/apns-pushd"
fx="$build/fixtures"
work="$(mktemp -d)"
api_token="bench-api-token-0123456789"
. "$root/bench/mock.sh"
. "$root/bench/pushd.sh"
service_pids=()
redis_pid=""
stop_services() {
  for p in "${service_pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  for p in "${service_pids[@]}"; do wait "$p" 2>/dev/null || true; done
  service_pids=()
}
cleanup() {
  stop_services
  if [ -n "$redis_pid" ]; then kill -TERM "$redis_pid" 2>/dev/null || true; wait "$redis_pid" 2>/dev/null || true; fi
  stop_mock
  rm -rf "$work"
}
trap cleanup EXIT

payload='{"aps":{"alert":"Hello from the benchmark","badge":1,"sound":"default"}}'
write_batches
device=0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef

# A fresh apns-mock per fleet: it refuses a second provider token for the key
# within 20 minutes, as APNs does, and each fleet signs its own.
url=""
fresh_mock() {
  stop_mock
  start_mock --cert "$fx/server.crt" --key "$fx/server.key" --client-ca "$fx/ca.crt" \
    --auth-key "$fx/AuthKey_TEST123456.pub.pem" --key-id TEST123456 --team-id TEAM123456
  url="https://127.0.0.1:$port"
}

redis_port=$(python3 -c 'import socket;s=socket.socket();s.bind(("127.0.0.1",0));print(s.getsockname()[1])')
mkdir -p "$work/redis"
redis-server --port "$redis_port" --bind 127.0.0.1 --dir "$work/redis" --save "" --appendonly yes \
  --daemonize no > "$work/redis.log" 2>&1 &
redis_pid=$!
for _ in $(seq 500); do redis-cli -p "$redis_port" ping > /dev/null 2>&1 && break; sleep 0.01; done
rcli() { redis-cli -p "$redis_port" "$@"; }
echo "$count notifications to apns-mock through redis-server on 127.0.0.1:$redis_port"

# start_fleet N NAME: N instances on the queue NAME, each warmed up (its
# connection and the fleet's provider token) before the clock starts.
apis=()
start_fleet() {
  apis=()
  for ((i = 0; i < $1; i++)); do
    write_pushd_config "$work/pushd$i.toml" "queue = \"redis://127.0.0.1:$redis_port/$2\""
    "$pushd_bin" --config "$work/pushd$i.toml" > "$work/pushd$i.out" 2> "$work/pushd$i.err" &
    service_pids+=($!)
    local api
    api="$(wait_listening "$work/pushd$i.out" "$work/pushd$i.err")"
    apis+=("$api")
    curl -s -o /dev/null -H "Authorization: Bearer $api_token" -H 'Content-Type: application/json' \
      --data-binary "{\"device_token\":\"$device\",\"payload\":$payload}" "http://$api/v1/apps/bench/notifications?wait=1"
  done
}

# run N: N instances; every batch POSTed to the instances in turn, N at a
# time; the clock stops when the fleet's outcome stream holds every outcome.
run() {
  local name="fleet$1" start end ok i=0
  fresh_mock
  start_fleet "$1" "$name"
  local posts=()
  start=$(date +%s.%N)
  for f in "$work"/batch*.json; do
    curl -s -o /dev/null -H "Authorization: Bearer $api_token" -H 'Content-Type: application/json' \
      --data-binary @"$f" "http://${apis[$((i % $1))]}/v1/apps/bench/notifications" &
    posts+=($!)
    i=$((i + 1))
    if ((i % $1 == 0)); then wait "${posts[@]}"; posts=(); fi
  done
  if ((${#posts[@]})); then wait "${posts[@]}"; fi
  for _ in $(seq 12000); do  # 120 s at most
    [ "$(rcli XLEN "$name:outcomes")" -ge $((count + $1)) ] && break
    sleep 0.01
  done
  end=$(date +%s.%N)
  ok=$(($(rcli XLEN "$name:outcomes") - $1))
  awk -v n="$count" -v s="$start" -v e="$end" -v ok="$ok" -v name="apns-pushd over Redis, $1 instance(s), 1 connection each" \
    'BEGIN { printf "%-58s %8.0f notifications/s  %6.2f s  outcomes %d/%d\n", name, n / (e - s), e - s, ok, n }'
  stop_services
}

run 1
run 3
echo "provider tokens signed by the fleets: $(rcli GET fleet1:token:TEAM123456:TEST123456:signatures) and $(rcli GET fleet3:token:TEAM123456:TEST123456:signatures)"
