#!/usr/bin/env bash
# One notification as a whole process: curl --http2 and apns-push, each run
# RUNS times against the same apns-mock with the same topic and payload and
# the same credential (a provider token, or the client certificate). Prints
# the median and p90 wall time and CPU time (user + system) of each, and
# apns-push's medians as a ratio of curl's with the same credential.
#   bench/apns_push_once.sh [BUILD_DIR] [RUNS]     (default: build/release 20)
# Build first: bash scripts/build.sh release apns-push apns-mock fixtures
# (or: cmake --build build/release --target apns_push_once_bench).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build/release}"
runs="${2:-20}"
((runs >= 1 && runs <= 1000)) || { echo "RUNS must be 1..1000" >&2; exit 2; }
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
device=0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef
jwt="$("$root/tools/apns-mock/make-token.sh" "$fx/AuthKey_TEST123456.p8" TEST123456 TEAM123456)"

start_mock --cert "$fx/server.crt" --key "$fx/server.key" --client-ca "$fx/ca.crt" \
  --auth-key "$fx/AuthKey_TEST123456.pub.pem" --key-id TEST123456 --team-id TEAM123456 \
  --token-update-interval 0
url="https://127.0.0.1:$port"
echo "one notification per process, $runs runs each, against apns-mock on $url"

# Runs its arguments once as a child process and appends "wall_ms cpu_ms exit"
# to the file named first (wall time from fork to reaped, CPU from the
# child's resource usage).
cat > "$work/timeit.py" <<'EOF'
import os, sys, time
out, argv = sys.argv[1], sys.argv[2:]
start = time.perf_counter()
child = os.fork()
if child == 0:
    fd = os.open(os.devnull, os.O_WRONLY)
    os.dup2(fd, 1); os.dup2(fd, 2)
    try:
        os.execv(argv[0], argv)
    finally:
        os._exit(127)
_, status, usage = os.wait4(child, 0)
wall = (time.perf_counter() - start) * 1000
cpu = (usage.ru_utime + usage.ru_stime) * 1000
with open(out, "a") as f:
    f.write("%.3f %.3f %d\n" % (wall, cpu, os.waitstatus_to_exitcode(status)))
EOF

# add NAME COMMAND...: a command to time. Each is run once untimed (to fill
# the page cache), then all are timed in turn for RUNS rounds, so that a
# change in the machine's load meets every command alike; a run that fails is
# counted and shown.
names=()
add() {
  local name="$1"; shift
  local k=${#names[@]}
  names+=("$name")
  printf '%s\0' "$@" > "$work/c$k"
  : > "$work/m$k"
  echo "$name" > "$work/m$k.name"
}
run_all() {
  local cmd k i
  for ((k = 0; k < ${#names[@]}; k++)); do
    mapfile -d '' -t cmd < "$work/c$k"
    python3 "$work/timeit.py" /dev/null "${cmd[@]}"
  done
  for ((i = 0; i < runs; i++)); do
    for ((k = 0; k < ${#names[@]}; k++)); do
      mapfile -d '' -t cmd < "$work/c$k"
      python3 "$work/timeit.py" "$work/m$k" "${cmd[@]}"
    done
  done
}

curl_bin="$(command -v curl)"
add "curl --http2, provider token" "$curl_bin" -sS --http2 --cacert "$fx/ca.crt" -o /dev/null \
  -H "authorization: bearer $jwt" -H 'apns-topic: com.example.app' \
  --data-binary @"$work/payload.json" "$url/3/device/$device"
add "curl --http2, certificate" "$curl_bin" -sS --http2 --cacert "$fx/ca.crt" -o /dev/null \
  --cert-type P12 --cert "$fx/client.p12:secret" -H 'apns-topic: com.example.app' \
  --data-binary @"$work/payload.json" "$url/3/device/$device"
common=(--url "$url" --ca "$fx/ca.crt" --topic com.example.app --payload @"$work/payload.json")
token=(--key "$fx/AuthKey_TEST123456.p8" --key-id TEST123456 --team-id TEAM123456)
cert=(--cert "$fx/client.p12" --password secret)
add "apns-push, provider token, openssl" "$push" "${common[@]}" "${token[@]}" --tls openssl "$device"
add "apns-push, provider token, schannel" "$push" "${common[@]}" "${token[@]}" "$device"
add "apns-push, certificate, openssl" "$push" "${common[@]}" "${cert[@]}" --tls openssl "$device"
add "apns-push, certificate, schannel" "$push" "${common[@]}" "${cert[@]}" "$device"

run_all

# Median and p90 (nearest rank) of wall and CPU times; ratios to the medians
# of curl with the same credential (a provider token or the certificate).
printf '%-38s %9s %9s %9s %9s %7s %7s %s\n' "" "wall p50" "wall p90" "cpu p50" "cpu p90" \
  "wall/" "cpu/" "failed"
printf '%-38s %9s %9s %9s %9s %7s %7s\n' "" "ms" "ms" "ms" "ms" "curl" "curl"
for ((k = 0; k < ${#names[@]}; k++)); do
  f="$work/m$k"
  wall=($(awk '{ print $1 }' "$f" | sort -g | awk -v n="$runs" \
    '{ v[NR] = $1 } END { p = int((n + 1) / 2); q = int(0.9 * n + 0.999); print v[p], v[q] }'))
  cpu=($(awk '{ print $2 }' "$f" | sort -g | awk -v n="$runs" \
    '{ v[NR] = $1 } END { p = int((n + 1) / 2); q = int(0.9 * n + 0.999); print v[p], v[q] }'))
  failed=$(awk '$3 != 0 { n++ } END { print n + 0 }' "$f")
  if ((k == 0)); then token_wall=${wall[0]}; token_cpu=${cpu[0]}; fi
  if ((k == 1)); then cert_wall=${wall[0]}; cert_cpu=${cpu[0]}; fi
  if [[ "$(cat "$f.name")" == *certificate* ]]; then
    curl_wall=$cert_wall; curl_cpu=$cert_cpu
  else
    curl_wall=$token_wall; curl_cpu=$token_cpu
  fi
  awk -v name="$(cat "$f.name")" -v w50="${wall[0]}" -v w90="${wall[1]}" -v c50="${cpu[0]}" \
    -v c90="${cpu[1]}" -v cw="$curl_wall" -v cc="$curl_cpu" -v failed="$failed" -v n="$runs" \
    'BEGIN { printf "%-38s %9.1f %9.1f %9.1f %9.1f %7.2f %7.2f %d/%d\n",
             name, w50, w90, c50, c90, w50 / cw, (cc > 0 ? c50 / cc : 0), failed, n }'
done
