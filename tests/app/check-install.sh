#!/bin/sh
# Installs the build into a temporary prefix and checks that a desktop finds what it needs
# there: both executables, a valid launcher entry that opens mail files, and its icon.
# Usage: check-install.sh BUILD_DIR
set -eu
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
status=0
for file in bin/tessaly bin/tessaly-cli; do
    if [ ! -x "$prefix/$file" ]; then
        echo "missing executable: $file"
        status=1
    fi
done
entry=$prefix/share/applications/org.tessaly.Tessaly.desktop
icon=$prefix/share/icons/hicolor/scalable/apps/org.tessaly.Tessaly.svg
if [ ! -f "$entry" ]; then
    echo "missing launcher entry: $entry"
    exit 1
fi
if ! out=$(desktop-file-validate "$entry" 2>&1) || [ -n "$out" ]; then
    echo "desktop-file-validate: $out"
    status=1
fi
grep -q '^MimeType=message/rfc822;application/mbox;$' "$entry" || {
    echo "the entry does not offer to open message/rfc822 and application/mbox files"
    status=1
}
grep -q '^Exec=tessaly %F$' "$entry" || {
    echo "the entry does not pass the opened files to tessaly"
    status=1
}
# The entry's icon name must be the installed icon's name, or desktops show a blank square.
name=$(sed -n 's/^Icon=//p' "$entry")
if [ "$prefix/share/icons/hicolor/scalable/apps/$name.svg" != "$icon" ] || [ ! -s "$icon" ]; then
    echo "icon $name is not installed as $icon"
    status=1
fi
grep -q '<svg' "$icon" || {
    echo "$icon is not an SVG image"
    status=1
}
# The installed application answers without a display.
"$prefix/bin/tessaly" --version | grep -q '^tessaly ' || status=1
"$prefix/bin/tessaly-cli" --version | grep -q '^tessaly-cli ' || status=1
exit $status
