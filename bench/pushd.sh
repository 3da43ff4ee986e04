# Sourced by the apns-pushd benchmarks: the API batches and the service's
# configuration they share. Expects work, count, batch, payload, api_token,
# url and fx to be set.

# $work/batch<N>.json: the device tokens 1..count as API batches of $batch.
write_batches() {
  python3 - "$work" "$count" "$batch" "$payload" <<'PY'
import sys
work, count, batch, payload = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
for b, first in enumerate(range(1, count + 1, batch)):
    last = min(first + batch, count + 1)
    items = ",".join('{"device_token":"%064x","payload":%s}' % (i, payload) for i in range(first, last))
    with open("%s/batch%d.json" % (work, b), "w") as f:
        f.write('{"notifications":[' + items + "]}")
PY
}

# write_pushd_config FILE [LINE...]: a service on a free port with one app on
# one connection to $url in token mode; each LINE is a further top-level key.
write_pushd_config() {
  local file="$1"
  shift
  {
    echo 'listen = "127.0.0.1:0"'
    echo "api_tokens = [\"$api_token\"]"
    echo "queue_max = $((count + batch))"
    echo 'body_limit = 16777216'
    for line in "$@"; do echo "$line"; done
    cat <<TOML
[[app]]
name = "bench"
server = "$url"
topic = "com.example.app"
connections = 1
tls = "openssl"
key = "$fx/AuthKey_TEST123456.p8"
key_id = "TEST123456"
team_id = "TEAM123456"
ca_file = "$fx/ca.crt"
TOML
  } > "$file"
}

# wait_listening OUT ERR: the address a service printed to OUT ("listening
# on HOST:PORT"), waited for up to 5 s; ends the script when none comes.
wait_listening() {
  local address=""
  for _ in $(seq 500); do
    address="$(sed -n 's/^listening on //p' "$1" 2>/dev/null || true)"
    [ -n "$address" ] && break
    sleep 0.01
  done
  [ -n "$address" ] || { echo "apns-pushd did not start: $(cat "$2")" >&2; exit 1; }
  echo "$address"
}
