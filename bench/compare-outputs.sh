#!/usr/bin/env bash
# Runs two builds of tessaly-cli over the same mail and compares what a user and the archive
# see of each: the `paths` lines, the summaries of a first run and of a re-run, Errors.txt and
# the archive's file tree. A change that is meant to change nothing a user sees must leave no
# difference. Prints the differences and exits 1 when there are any.
#
#   bench/compare-outputs.sh BIN_BEFORE BIN_AFTER [MAIL_FOLDER]
#
# BIN_* are folders holding `tessaly-cli` and `tessaly` of one build (copy them out of the
# build folder before rebuilding). MAIL_FOLDER defaults to the shared corpus. Runs under its
# own session bus when none is given.
set -euo pipefail

if [ $# -lt 2 ]; then
    echo "usage: $0 BIN_BEFORE BIN_AFTER [MAIL_FOLDER]" >&2
    exit 64
fi
if [ -z "${DBUS_SESSION_BUS_ADDRESS:-}" ] && [ -z "${COMPARE_OUTPUTS_INNER:-}" ]; then
    COMPARE_OUTPUTS_INNER=1 exec dbus-run-session -- "$0" "$@"
fi
before=$(realpath "$1")
after=$(realpath "$2")
mail=$(realpath "${3:-$(dirname "$0")/../../shared/corpus}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Each build sees only its own destination, preferences and index: what differs between the
# two outputs is then only the builds' doing. The destination's own path is replaced by DEST.
collect() {
    local bin=$1 out=$2
    mkdir -p "$out"
    local dest=$work/dest-$(basename "$out")
    export XDG_CONFIG_HOME=$work/config-$(basename "$out")
    export XDG_DATA_HOME=$work/data-$(basename "$out")
    export TESSALY_RENDERBOX_PROGRAM=$bin/tessaly
    local cli=$bin/tessaly-cli
    printf '{"dest_folder": "%s"}\n' "$dest" >"$work/options-$(basename "$out").json"
    find "$mail" -type f \( -name '*.eml' -o -name '*.emlx' \) -print0 | sort -z |
        xargs -0 "$cli" paths --options "$work/options-$(basename "$out").json" \
            2>"$out/paths.err" | sed "s|$dest|DEST|g" >"$out/paths.txt" || true
    local status=0
    "$cli" archive --json --dest "$dest" "$mail" >"$out/first.json" 2>/dev/null || status=$?
    echo "exit $status" >>"$out/first.json"
    status=0
    "$cli" archive --dest "$dest" "$mail" >"$out/again.txt" 2>/dev/null || status=$?
    echo "exit $status" >>"$out/again.txt"
    sed -i "s|$dest|DEST|g" "$out/first.json" "$out/again.txt"
    if [ -f "$dest/Errors.txt" ]; then
        # Each report starts with the time of its run, which is not the build's doing.
        grep -v -E '^[A-Z][a-z]+day, ' "$dest/Errors.txt" |
            sed "s|$dest|DEST|g" >"$out/Errors.txt"
    fi
    (cd "$dest" && find . -path ./.tessaly -prune -o -type f -printf '%P\t%s\n' | sort) \
        >"$out/tree.txt"
}

echo "before: $before"
collect "$before" "$work/before"
echo "after:  $after"
collect "$after" "$work/after"
if diff -r "$work/before" "$work/after"; then
    echo "outputs identical: $(wc -l <"$work/after/paths.txt") paths lines," \
        "$(wc -l <"$work/after/tree.txt") archive files"
    exit 0
fi
echo "outputs differ" >&2
exit 1
