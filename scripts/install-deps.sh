#!/usr/bin/env bash
# Installs every Debian 12 package Tessaly needs to build, test and run.
# Safe to run again: apt-get skips what is already there.
set -euo pipefail

packages=(
  # toolchain
  build-essential cmake ninja-build pkg-config clang-format
  # Qt 6: Core, Gui, Widgets, Network, DBus, Concurrent, Test; web engine and PDF
  qt6-base-dev qt6-base-dev-tools qt6-webengine-dev qt6-pdf-dev libgl-dev
  # mail, PDF attributes, property lists, keychain, index, TNEF
  libgmime-3.0-dev libetpan-dev libqpdf-dev libplist-dev libsecret-1-dev
  libsqlite3-dev libytnef0-dev
  # servers and tools the tests start
  dbus dbus-bin desktop-file-utils dovecot-imapd openssl poppler-utils gnome-keyring python3-dbusmock libsecret-tools
  # fonts so rendered pages have real glyphs, Latin and CJK
  fonts-dejavu-core fonts-liberation2 fonts-noto-cjk
  # TIFF and WebP previews
  qt6-image-formats-plugins
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]} == 0)); then
  echo "install-deps: all packages present"
  exit 0
fi

SUDO=""
if [[ $(id -u) -ne 0 ]]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
# Dovecot's package starts its own service; the tests start private instances instead.
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
echo "install-deps: installed ${#missing[@]} packages"
