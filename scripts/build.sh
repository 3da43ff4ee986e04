#!/usr/bin/env bash
# Configures (once) and builds the project into build/<type>.
#   scripts/build.sh [release|debug|tsan|asan|fuzz] [cmake targets...]
# tsan: ThreadSanitizer; asan: AddressSanitizer with UndefinedBehaviorSanitizer;
# fuzz: clang-14 (installed by the set-up) with libFuzzer, for the target "fuzzers".
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
kind="${1:-release}"
shift || true

case "$kind" in
  release) args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
  debug)   args=(-DCMAKE_BUILD_TYPE=Debug) ;;
  tsan)    args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DAPNS_SANITIZE=thread -DAPNS_BUILD_GUI=OFF -DAPNS_BUILD_BENCH=OFF) ;;
  asan)    args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DAPNS_SANITIZE=address,undefined -DAPNS_BUILD_GUI=OFF -DAPNS_BUILD_BENCH=OFF) ;;
  fuzz)    args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DAPNS_FUZZ=ON -DAPNS_BUILD_GUI=OFF -DAPNS_BUILD_BENCH=OFF
                 -DCMAKE_CXX_COMPILER=clang++-14) ;;
  *) echo "unknown build kind: $kind" >&2; exit 2 ;;
esac
if [ "${CI:-}" = "true" ]; then args+=(-DAPNS_WERROR=ON); fi
if command -v ccache >/dev/null; then args+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi

dir="$root/build/$kind"
if [ ! -f "$dir/build.ninja" ]; then
  cmake -S "$root" -B "$dir" -G Ninja "${args[@]}" >/dev/null
else
  cmake "$dir" "${args[@]}" >/dev/null
fi
if (($#)); then
  cmake --build "$dir" --parallel "$(nproc)" --target "$@"
else
  cmake --build "$dir" --parallel "$(nproc)"
fi
