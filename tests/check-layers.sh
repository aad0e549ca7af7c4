#!/bin/sh
# Fails when an include points up the layers, when a platform library's types leak past its
# seam, or when widgets appear below the application. Run from the source root.
set -u
status=0

rank() {
    case "$1" in
    platform) echo 0 ;;
    tags | unpack) echo 1 ;;
    render) echo 2 ;;
    settings | oauth | renderbox) echo 3 ;;
    archive | search) echo 4 ;;
    app) echo 5 ;;
    *) echo 99 ;;
    esac
}

# The archive's rooms, from the bottom: what an archive holds, where messages come from, one
# job, and the job list at the top of the folder.
room() {
    case "$1" in
    ledger) echo 0 ;;
    sources) echo 1 ;;
    job) echo 2 ;;
    *) echo 3 ;;
    esac
}
roomOf() {
    case "$1" in
    */*/*) echo "$1" | cut -d/ -f2 ;;
    *) echo top ;;
    esac
}

for file in $(find src -name '*.h' -o -name '*.cpp'); do
    layer=$(echo "$file" | cut -d/ -f2)
    own=$(rank "$layer")
    for target in $(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file"); do
        case "$target" in
        */*) ;;
        *)
            echo "$file: include \"$target\" is not qualified from src/"
            status=1
            continue
            ;;
        esac
        other=$(echo "$target" | cut -d/ -f1)
        theirs=$(rank "$other")
        if [ "$theirs" -gt "$own" ] || { [ "$theirs" -eq "$own" ] && [ "$other" != "$layer" ]; }; then
            echo "$file: \"$target\" is not below $layer"
            status=1
        fi
        # The folder's log category is every room's.
        if [ "$layer" = archive ] && [ "$other" = archive ] && [ "$target" != archive/archivelog.h ]; then
            mine=$(roomOf "${file#src/}")
            target_room=$(roomOf "$target")
            if [ "$(room "$target_room")" -gt "$(room "$mine")" ] ||
                { [ "$(room "$target_room")" -eq "$(room "$mine")" ] && [ "$target_room" != "$mine" ]; }; then
                echo "$file: \"$target\" is not below the archive's $mine room"
                status=1
            fi
        fi
    done
done

# GMime and GLib stay behind the mail seam, QtWebEngine behind the web seam, in the benchmarks
# and tests too. A benchmark's baseline is the bare library, measured as any program would use
# it: those files may include it, but nothing of the seam's insides.
baselines='^bench/parse/bench_parse.cpp$|^bench/bare/'
leaks=$(grep -rlE '#include <(gmime|glib|gio|gobject)' src bench tests |
    grep -vE "^src/platform/mail/|^tests/platform/mail/|$baselines")
leaks="$leaks $(grep -rlE '#include <(QWebEngine|QtWebEngine)' src bench tests |
    grep -vE "^src/platform/web/qtwebengine/|$baselines")"
for file in $leaks; do
    echo "$file: includes a platform library outside its seam"
    status=1
done

# A mail-seam header that brings GMime with it is for the seam's own files.
for header in $(grep -lE '#include <(gmime|glib)' src/platform/mail/*.h); do
    for file in $(grep -rl "#include \"${header#src/}\"" src bench tests |
        grep -vE '^src/platform/mail/|^tests/platform/mail/'); do
        echo "$file: includes $header, which brings GMime along"
        status=1
    done
done

widgets=$(grep -rlE '#include <(QtWidgets|QWidget|QMainWindow|QDialog|QMessageBox|QLabel|QApplication|QWebEngineView)' src |
    grep -vE '^src/app/[^/]*$|^src/app/(archiveview|settingsview|accountpanel|pathformat|searchview)/|^src/app/cli/main.cpp$|^src/platform/web/qtwebengine/')
for file in $widgets; do
    echo "$file: uses widgets below the application"
    status=1
done
exit $status
