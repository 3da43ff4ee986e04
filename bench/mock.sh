# Sourced by the benchmark scripts: one apns-mock at a time on a free
# loopback port, stopped by its PID. The script sets mock (the program) and
# work (its scratch folder) before it calls these.

pid=""
port=""

# start_mock ARGS...: apns-mock ARGS... on a free port, in the background;
# sets pid and port, or exits with apns-mock's error output.
start_mock() {
  "$mock" --port 0 "$@" > "$work/port" 2> "$work/mock.err" &
  pid=$!
  port=""
  for _ in $(seq 500); do
    port="$(head -n1 "$work/port" 2>/dev/null || true)"
    [ -n "$port" ] && return 0
    sleep 0.01
  done
  echo "apns-mock did not start: $(cat "$work/mock.err")" >&2
  exit 1
}

# stop_mock: stops the apns-mock started last, if it still runs.
stop_mock() {
  if [ -n "$pid" ]; then kill -TERM "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
  pid=""
}
