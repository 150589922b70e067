#!/bin/sh
# Checks the Debian package built in BUILD (default build): lintian on the package, then
# installs it on this machine, validates the installed desktop file and AppStream metadata,
# runs the installed program from /usr/bin as a technician would, and removes the package
# again. Fails when any step fails.
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

# Errors fail the check; the warnings that stay are listed, with why, in the README.
echo "== lintian $(basename "$deb")"
lintian --fail-on error --tag-display-limit 0 "$deb"

echo "== installing $deb"
$SUDO apt-get install -y -qq "$deb"
trap 'echo "== removing the package"; $SUDO apt-get remove -y -qq corvane-updater' EXIT

desktop=/usr/share/applications/corvane-updater.desktop
metainfo=/usr/share/metainfo/invalid.corvane.updater.metainfo.xml
for f in /usr/bin/corvane-updater $desktop $metainfo \
         /usr/share/icons/hicolor/256x256/apps/corvane-updater.png \
         /usr/share/man/man1/corvane-updater.1.gz \
         /usr/lib/udev/rules.d/70-corvane-updater.rules \
         /usr/share/doc/corvane-updater/copyright /usr/share/doc/corvane-updater/changelog.gz; do
    dpkg -L corvane-updater | grep -qx "$f" || { echo "check-package: $f not installed" >&2; exit 1; }
done
dpkg-query -W -f='${Depends}\n' corvane-updater

echo "== desktop-file-validate $desktop"
desktop-file-validate "$desktop"
echo "== appstreamcli validate $metainfo"
appstreamcli validate --no-net "$metainfo"

echo "== /usr/bin/corvane-updater --version --verbose"
/usr/bin/corvane-updater --version --verbose

# Exit 9 is this machine's business (no adapter in CI); the installed rule must be found.
echo "== /usr/bin/corvane-updater --doctor"
status=0
doctor=$(/usr/bin/corvane-updater --doctor --json) || status=$?
if [ "$status" != 0 ] && [ "$status" != 9 ]; then
    echo "check-package: --doctor exited $status" >&2
    exit 1
fi
/usr/bin/corvane-updater --doctor || true
if ! echo "$doctor" | grep '"check":"udev-rule"' | grep -q '"level":"ok"'; then
    echo "check-package: --doctor does not find the installed udev rule" >&2
    exit 1
fi

echo "== /usr/bin/corvane-updater --auto --fast --simulate"
out=$(mktemp)
# Away from the source tree, so that only what the package installed is used.
cd /
# No QT_QPA_PLATFORM: an unattended run needs no window system. The fast link: the package is
# checked, not the link, and the run takes half the time.
if ! env -u QT_QPA_PLATFORM /usr/bin/corvane-updater --auto --fast --simulate >"$out" 2>&1; then
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
