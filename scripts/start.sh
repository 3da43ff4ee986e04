#!/usr/bin/env bash
# Installs what is missing, builds and starts the push provider window.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
"$root/scripts/build.sh" release apns-provider
exec "$root/build/release/app/apns-provider" "$@"
