#!/usr/bin/env bash
# apns-push sending 100000 notifications to apns-mock, next to h2load against
# the same server in the same run: notifications per second and apns-push's
# peak memory (maximum resident set size).
#   bench/apns_push.sh [BUILD_DIR] [NOTIFICATIONS]     (default: build/release 100000)
# Build first: bash scripts/build.sh release apns-push apns-mock fixtures
# (or: cmake --build build/release --target apns_push_bench).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build/release}"
count="${2:-100000}"
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

printf '{"aps":{"alert":"Hello from the benchmark","badge":1,"sound":"default"}}' > "$work/payload.json"
# Distinct device tokens, one per line; the same as JSON lines, each with
# its own payload (--input).
for ((i = 1; i <= count; i++)); do printf '%064x\n' "$i"; done > "$work/tokens"
awk -v p="$(cat "$work/payload.json")" '{ printf "{\"token\":\"%s\",\"payload\":%s}\n", $0, p }' \
  "$work/tokens" > "$work/lines.jsonl"
device=0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef
jwt="$("$root/tools/apns-mock/make-token.sh" "$fx/AuthKey_TEST123456.p8" TEST123456 TEAM123456)"

start_mock --cert "$fx/server.crt" --key "$fx/server.key" --client-ca "$fx/ca.crt" \
  --auth-key "$fx/AuthKey_TEST123456.pub.pem" --key-id TEST123456 --team-id TEAM123456 \
  --token-update-interval 0
url="https://127.0.0.1:$port"
echo "$count notifications to apns-mock on $url"

# push NAME OPTIONS...: apns-push over the token list (or, with input=lines,
# over the JSON lines); rate, peak memory, lines.
input=tokens
push() {
  local name="$1"; shift
  local start end lines rss
  start=$(date +%s.%N)
  /usr/bin/time -f '%M %U %S' -o "$work/time" "$push" --url "$url" --ca "$fx/ca.crt" \
    --topic com.example.app $(if [ "$input" = lines ]; then echo --input "$work/lines.jsonl";
                              else echo --payload @"$work/payload.json" --tokens "$work/tokens"; fi) "$@" \
    > "$work/out" 2> "$work/err" || true
  end=$(date +%s.%N)
  lines=$(grep -c '"status":200' "$work/out" || true)
  read -r rss user sys < <(tail -n1 "$work/time")
  awk -v n="$count" -v ok="$lines" -v s="$start" -v e="$end" -v rss="$rss" -v name="$name" \
    -v cpu="$user $sys" \
    'BEGIN { split(cpu, c, " ");
             printf "%-44s %8.0f notifications/s  %6.2f s  %5.1f us CPU each  peak RSS %6.1f MB  accepted %d/%d\n",
             name, n / (e - s), e - s, (c[1] + c[2]) * 1e6 / n, rss / 1024, ok, n }'
  echo "$name $(awk -v n="$count" -v s="$start" -v e="$end" 'BEGIN { print n / (e - s) }')" >> "$work/rates"
}

# h2load NAME STREAMS: the same number of requests on one connection, with a
# provider token (h2load has no client certificate).
h2l() {
  local name="$1" streams="$2" rate
  rate=$(/usr/bin/time -f '%U %S' -o "$work/h2time" h2load -n "$count" -c 1 -m "$streams" \
    -H "authorization: bearer $jwt" -H 'apns-topic: com.example.app' -d "$work/payload.json" \
    "$url/3/device/$device" | awk '/^finished in/ { gsub(",", "", $4); print $4 }')
  read -r user sys < <(tail -n1 "$work/h2time")
  awk -v name="$name" -v rate="$rate" -v n="$count" -v cpu="$user $sys" \
    'BEGIN { split(cpu, c, " "); printf "%-44s %8.0f notifications/s  %26.1f us CPU each\n",
             name, rate, (c[1] + c[2]) * 1e6 / n }'
  echo "$name $rate" >> "$work/rates"
}

h2l "h2load, 1 connection, 100 streams" 100
h2l "h2load, 1 connection, 1000 streams" 1000
push "apns-push, certificate, 1 connection" --tls openssl --cert "$fx/client.p12" --password secret
push "apns-push, provider token, 1 connection" --tls openssl --key "$fx/AuthKey_TEST123456.p8" \
  --key-id TEST123456 --team-id TEAM123456
push "apns-push, certificate, schannel, 1 connection" --cert "$fx/client.p12" --password secret
push "apns-push, certificate, 2 connections" --tls openssl --cert "$fx/client.p12" \
  --password secret --connections 2
input=lines
push "apns-push --input, certificate, 1 connection" --tls openssl --cert "$fx/client.p12" \
  --password secret
push "apns-push --input, provider token, 1 connection" --tls openssl \
  --key "$fx/AuthKey_TEST123456.p8" --key-id TEST123456 --team-id TEAM123456
# Each apns-push figure as a share of h2load's with 100 streams (the target's
# reference) and of h2load's better one.
awk '{ rate[NR] = $NF; name[NR] = substr($0, 1, length($0) - length($NF) - 1) }
     /^h2load/ && $NF > best { best = $NF }
     /^h2load, 1 connection, 100 streams/ { m100 = $NF }
     END { for (i = 1; i <= NR; i++) if (name[i] ~ /^apns-push/)
             printf "apns-push/h2load -m100 %.2f, /best h2load %.2f  %s\n", rate[i] / m100, rate[i] / best,
                    name[i] }' "$work/rates"
