#!/usr/bin/env bash
# The push window run for real under Xvfb against apns-mock on loopback.
#   scripts/window-screenshot.sh [release|debug]
# Builds apns-provider, apns-mock and the test fixtures, starts the mock and
# the program with --server, and pushes as an operator would, by mouse and
# keyboard through xdotool: certificate mode with client.p12, token mode with
# the .p8 key, then a device token the mock refuses. It checks the window's
# log (read back through the clipboard with xclip) and the mock's request
# log, and saves a screenshot of the screen as build/<kind>/window-push.png.
# Control positions are those of the window's fixed layout with the
# DejaVu fonts of the set-up; a click that misses makes the checks fail.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
kind="${1:-release}"

for tool in Xvfb xdotool xclip import; do
  command -v "$tool" >/dev/null || { echo "window-screenshot: $tool is missing (scripts/setup.sh)" >&2; exit 1; }
done
bash "$root/scripts/build.sh" "$kind" apns-provider apns-mock fixtures
build="$root/build/$kind"
fixtures="$build/fixtures"
shot="$build/window-push.png"

work="$(mktemp -d)"
pids=()
stop_pid() {
  local p=$1 i
  kill -TERM "$p" 2>/dev/null || return 0
  for ((i = 0; i < 200; i++)); do
    kill -0 "$p" 2>/dev/null || { wait "$p" 2>/dev/null || true; return 0; }
    sleep 0.01
  done
  kill -KILL "$p" 2>/dev/null || true
  wait "$p" 2>/dev/null || true
}
cleanup() {
  local i
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do stop_pid "${pids[i]}"; done
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "window-screenshot: $*" >&2
  for f in mock.err app.out; do [ -s "$work/$f" ] && { echo "--- $f" >&2; cat "$work/$f" >&2; }; done
  exit 1
}
# Waits up to $2 tenths of a second for command $1 to succeed.
wait_until() {
  local i
  for ((i = 0; i < $2; i++)); do eval "$1" && return 0; sleep 0.1; done
  return 1
}

# The SChannel layer trusts the test CA through a Root store of its own.
export XDG_CONFIG_HOME="$work/config" XDG_RUNTIME_DIR="$work/runtime"
mkdir -p "$XDG_CONFIG_HOME/apns-provider/certstores/CurrentUser/Root" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
cp "$fixtures/ca.crt" "$XDG_CONFIG_HOME/apns-provider/certstores/CurrentUser/Root/"

"$build/tools/apns-mock/apns-mock" --cert "$fixtures/server.crt" --key "$fixtures/server.key" \
  --port 0 --client-ca "$fixtures/ca.crt" --auth-key "$fixtures/AuthKey_TEST123456.pub.pem" \
  --key-id TEST123456 --team-id TEAM123456 --log "$work/requests.log" \
  >"$work/mock.out" 2>"$work/mock.err" &
pids+=($!)
wait_until '[ -s "$work/mock.out" ]' 100 || fail "apns-mock did not start"
port="$(head -n1 "$work/mock.out")"

Xvfb -displayfd 3 -screen 0 1024x800x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.err" &
pids+=($!)
wait_until '[ -s "$work/display" ]' 100 || fail "Xvfb did not start"
export DISPLAY=":$(head -n1 "$work/display")" QT_QPA_PLATFORM=xcb

"$build/app/apns-provider" --server "https://127.0.0.1:$port" >"$work/app.out" 2>&1 &
pids+=($!)
title="kfxWebSockets - Apple Push Notifications Provider Server"
wid="$(timeout 20 xdotool search --sync --name "$title" | head -n1)" || fail "the window did not appear"
sleep 0.5

click() { xdotool mousemove --window "$wid" "$1" "$2" click 1; }
fill() {  # x y text: replaces the text of the edit at x,y
  click "$1" "$2"
  xdotool key ctrl+a
  xdotool type --delay 2 -- "$3"
}
pushes=0
push() {
  pushes=$((pushes + 1))
  click 610 705  # Push Notification
  wait_until '[ "$(wc -l <"$work/requests.log" 2>/dev/null || echo 0)" -ge $pushes ]' 100 ||
    fail "push $pushes did not reach apns-mock"
  sleep 0.5
}

device=0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef
# Certificate mode (checked at start): client.p12 with its password.
fill 392 75 "$fixtures/client.p12"
fill 392 113 secret
fill 515 139 com.example.app
fill 343 221 "$device"
push
# Token mode: the ES256 key, key id and team.
click 493 37
fill 574 75 "$fixtures/AuthKey_TEST123456.p8"
fill 527 113 TEST123456
fill 621 113 TEAM123456
push
# A device token the mock refuses.
fill 343 221 abc
push

import -window root "$shot"

# The window's log, read back through the clipboard.
click 347 530
xdotool key ctrl+a ctrl+c
sleep 0.3
log="$(xclip -o -selection clipboard)"
expected='Push Notification sent successfully.
Push Notification sent successfully.
{"reason":"BadDeviceToken"}'
[ "$log" = "$expected" ] || fail "the window's log reads:
$log"

# What the mock saw: certificate, then token authentication.
auth="$(grep -o '"auth":"[a-z]*"' "$work/requests.log" | tr '\n' ' ')"
status="$(grep -o '"status":[0-9]*' "$work/requests.log" | tr '\n' ' ')"
[ "$auth" = '"auth":"certificate" "auth":"token" "auth":"token" ' ] || fail "mock saw $auth"
[ "$status" = '"status":200 "status":200 "status":400 ' ] || fail "mock answered $status"

echo "window-screenshot: 3 pushes logged as expected; screenshot in $shot"
