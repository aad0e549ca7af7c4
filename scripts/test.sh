#!/usr/bin/env bash
# Installs what the tests need, builds everything with AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset asan
cmake --build --preset asan
# The tests talk to render boxes over D-Bus: they get a private session bus that starts no
# installed services.
dbus-run-session --config-file=tests/dbus-session.conf -- ctest --preset asan "$@"
