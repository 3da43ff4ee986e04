#!/usr/bin/env bash
# Installs what is missing, builds once and runs every test: the whole suite
# in parallel, then the threading tests again under ThreadSanitizer.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
"$root/scripts/build.sh" release
"$root/scripts/build.sh" tsan tsan_tests

export XDG_RUNTIME_DIR="${XDG_RUNTIME_DIR:-$(mktemp -d)}"
chmod 700 "$XDG_RUNTIME_DIR"
status=0
(cd "$root/build/release" && ctest --output-on-failure --parallel "$(nproc)" --timeout 300) || status=1
(cd "$root/build/tsan" && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
   ctest --output-on-failure --parallel "$(nproc)" --timeout 300 -L threads) || status=1
exit $status
