#!/bin/sh
# Installs the Debian package built in BUILD (default build) on this machine, runs the
# installed program from /usr/bin as a technician would, and removes the package again.
# Fails when any step fails.
set -e
build=${1:-build}
deb=$(ls "$build"/corvane-updater_*.deb 2>/dev/null | tail -n 1)
if [ -z "$deb" ]; then
    echo "check-package: no corvane-updater_*.deb in $build (run make package)" >&2
    exit 1
fi
deb=$(realpath "$deb")
SUDO=""
[ "$(id -u)" != 0 ] && SUDO=sudo
export DEBIAN_FRONTEND=noninteractive

echo "== installing $deb"
$SUDO apt-get install -y -qq "$deb"
trap 'echo "== removing the package"; $SUDO apt-get remove -y -qq corvane-updater' EXIT

for f in /usr/bin/corvane-updater /usr/share/applications/corvane-updater.desktop \
         /usr/share/icons/hicolor/256x256/apps/corvane-updater.png \
         /usr/share/man/man1/corvane-updater.1.gz; do
    dpkg -L corvane-updater | grep -qx "$f" || { echo "check-package: $f not installed" >&2; exit 1; }
done
dpkg-query -W -f='${Depends}\n' corvane-updater

echo "== /usr/bin/corvane-updater --version"
/usr/bin/corvane-updater --version

echo "== /usr/bin/corvane-updater --auto --simulate"
out=$(mktemp)
# Away from the source tree, so that only what the package installed is used.
cd /
# No QT_QPA_PLATFORM: an unattended run chooses a platform without a display by itself.
if ! env -u QT_QPA_PLATFORM /usr/bin/corvane-updater --auto --simulate >"$out" 2>&1; then
    cat "$out"
    echo "check-package: the installed program's simulated upgrade failed" >&2
    rm -f "$out"
    exit 1
fi
grep -E '^Result: ' "$out"
if grep -q 'build data:' "$out"; then
    cat "$out"
    echo "check-package: the simulated unit could not read the build data" >&2
    rm -f "$out"
    exit 1
fi
rm -f "$out"
echo "== package check passed"
