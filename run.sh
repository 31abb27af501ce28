#!/usr/bin/env bash
# Installs what is missing, builds, and runs swKicker.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh
scripts/build.sh build >/dev/null
exec build/swKicker "$@"
