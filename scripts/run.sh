#!/usr/bin/env bash
# Installs what Tessaly needs, builds it optimised and starts the application.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset release
# Only the application (render boxes are the same executable): no tests, no benchmarks.
cmake --build --preset release --target tessaly
exec build/release/src/app/tessaly "$@"
