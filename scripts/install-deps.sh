#!/bin/sh
# Installs the Debian packages the project needs; does nothing when all are present.
set -e
PKGS="cmake ninja-build g++ ccache pkg-config make qt6-base-dev libqt6sql6-sqlite qt6-serialport-dev libgl-dev \
libmodbus-dev mbpoll fonts-wine clang-format-16 xvfb xauth util-linux clang libclang-rt-14-dev help2man \
dpkg-dev lintian desktop-file-utils appstream python3-jsonschema"
missing=""
for p in $PKGS; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing="$missing $p"
    fi
done
[ -z "$missing" ] && exit 0
SUDO=""
[ "$(id -u)" != 0 ] && SUDO=sudo
echo "Installing:$missing"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq $missing
