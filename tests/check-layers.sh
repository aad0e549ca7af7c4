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
    settings | oauth) echo 3 ;;
    archive | search) echo 4 ;;
    app) echo 5 ;;
    *) echo 99 ;;
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
    done
done

# GMime and GLib stay behind the mail seam, QtWebEngine behind the web seam.
leaks=$(grep -rlE '#include <(gmime|glib|gio|gobject)' src | grep -v '^src/platform/mail/')
leaks="$leaks $(grep -rlE '#include <(QWebEngine|QtWebEngine)' src | grep -v '^src/platform/web/qtwebengine/')"
for file in $leaks; do
    echo "$file: includes a platform library outside its seam"
    status=1
done

# A mail-seam header that brings GMime with it is for the seam's own files.
for header in $(grep -lE '#include <(gmime|glib)' src/platform/mail/*.h); do
    for file in $(grep -rl "#include \"${header#src/}\"" src | grep -v '^src/platform/mail/'); do
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
