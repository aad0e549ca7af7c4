#!/usr/bin/env bash
# Installs what Tessaly needs, builds it optimised and starts the application.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset release
cmake --build --preset release
exec build/release/src/app/tessaly "$@"
