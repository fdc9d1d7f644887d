#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Runs the real pelorin on a virtual X server with a private session bus and
# the accessibility bus, and reads its accessible tree as a screen reader
# does (tests/atspi_tree.py): once as it starts, once started with a file.
#   atspi.sh BINARY
set -eu
binary=$1
here=$(cd "$(dirname "$0")" && pwd)
if [ -z "${ATSPI_READY:-}" ]; then
    exec env ATSPI_READY=1 dbus-run-session -- xvfb-run -a -s "-screen 0 640x600x24" "$0" "$@"
fi
unset QT_QPA_PLATFORM
/usr/libexec/at-spi-bus-launcher --launch-immediately &
launcher=$!
trap 'kill $launcher 2>/dev/null || true' EXIT
sleep 1
export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1
folder=$(mktemp -d)
trap 'kill $launcher 2>/dev/null || true; rm -rf "$folder"' EXIT
printf 'x\r\nx\r\nx\r\nx\r\nx\r\nx\r\nx\r\nx\r\nx\r\n1\r\n1\r\n0\r\n0\r\n1\r\n0\r\n0\r\n0\r\n\r\n' >"$folder/open125.mes"

status=0
for run in start loaded; do
    if [ $run = loaded ]; then
        "$binary" "$folder/open125.mes" &
        set -- --loaded
    else
        "$binary" &
        set --
    fi
    pid=$!
    echo "== the tree at $run"
    /usr/bin/python3 "$here/atspi_tree.py" "$@" || status=1
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
done
exit $status
