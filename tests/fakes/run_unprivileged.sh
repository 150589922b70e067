#!/bin/sh
# Runs a test binary as an ordinary user. Root passes TIOCEXCL and file permissions, so the
# exclusive-open behaviour of the serial device is only really exercised without it.
# Usage: run_unprivileged.sh BINARY [ARGS...]
if [ "$(id -u)" = 0 ]; then
    exec setpriv --reuid=nobody --regid=nogroup --clear-groups -- "$@"
fi
exec "$@"
