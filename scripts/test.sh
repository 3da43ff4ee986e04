#!/usr/bin/env bash
# Installs what is missing, builds once and runs every test: the whole suite
# in parallel; then the threading tests again under ThreadSanitizer; the suite
# without the window under AddressSanitizer and UndefinedBehaviorSanitizer; and
# the libFuzzer programs over their stored corpora.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
"$root/scripts/build.sh" release
"$root/scripts/build.sh" tsan tsan_tests
"$root/scripts/build.sh" asan
"$root/scripts/build.sh" fuzz fuzzers

export XDG_RUNTIME_DIR="${XDG_RUNTIME_DIR:-$(mktemp -d)}"
chmod 700 "$XDG_RUNTIME_DIR"
status=0
(cd "$root/build/release" && ctest --output-on-failure --parallel "$(nproc)" --timeout 300) || status=1
(cd "$root/build/tsan" && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
   ctest --output-on-failure --parallel "$(nproc)" --timeout 300 -L threads) || status=1
(cd "$root/build/asan" && ASAN_OPTIONS="halt_on_error=1 detect_leaks=1" \
   UBSAN_OPTIONS="halt_on_error=1 print_stacktrace=1" \
   ctest --output-on-failure --parallel "$(nproc)" --timeout 600) || status=1
(cd "$root/build/fuzz" && ctest --output-on-failure --parallel "$(nproc)" --timeout 300 -L fuzz \
   --no-tests=ignore) || status=1
exit $status
