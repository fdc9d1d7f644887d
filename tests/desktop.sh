#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Runs the real pelorin under a virtual X server, as a person would use it.
#   desktop.sh BINARY SHOT [PTY DEVICE [nobody]]
# With PTY and DEVICE, the pseudo-terminal stands in for the serial device
# in a private mount namespace (root only), where it is no console, and
# Send is pressed before the window is closed. With nobody as well, the
# program runs as the user nobody instead, and nothing is pressed.
# Prints WINDOW <width>x<height> and WINDOWS <how many the program shows>,
# then EXIT <status> <milliseconds from the close to the end of the process>.
set -eu
unset QT_QPA_PLATFORM
binary=$1 shot=$2
if [ $# -ge 4 ] && [ -z "${PELORIN_IN_NAMESPACE:-}" ]; then
    # The device may be this machine's console, which is no port: in the
    # namespace, no terminal is a console.
    printf 'N\n' >"$(dirname "$shot")/no-console"
    printf 'tty0\n' >"$(dirname "$shot")/consoles"
    exec env PELORIN_IN_NAMESPACE=1 unshare --mount --propagation private sh -c '
        mount --bind "$3" "$4" || exit 1
        tty=/sys/class/tty/${4##*/}
        if [ -e "$tty/console" ]; then mount --bind "${2%/*}/no-console" "$tty/console"; fi
        mount --bind "${2%/*}/consoles" /sys/class/tty/console/active
        exec "$0" "$@"' "$0" "$@"
fi
if [ -z "${DISPLAY_READY:-}" ]; then
    # The authority file sits beside the screenshot, where another user
    # may be let in to read it.
    exec env DISPLAY_READY=1 xvfb-run -a -f "$(dirname "$shot")/Xauthority" -s "-screen 0 640x600x24" "$0" "$@"
fi

if [ "${5:-}" = nobody ]; then
    chmod 644 "$XAUTHORITY"
    setpriv --reuid=nobody --regid=nogroup --clear-groups env HOME=/nonexistent "$binary" &
else
    "$binary" &
fi
pid=$!
window=
for _ in $(seq 100); do
    # The editor's window is the first the program makes.
    window=$(xdotool search --name '^Dravik Tavro$' 2>/dev/null | sort -n | head -n 1) || true
    [ -n "$window" ] && break
    sleep 0.1
done
[ -n "$window" ] || { echo "NO WINDOW"; kill "$pid"; exit 1; }
sleep 0.5
echo "WINDOW $(xdotool getwindowgeometry "$window" | sed -n 's/.*Geometry: //p')"
echo "WINDOWS $(xdotool search --onlyvisible --name '^Dravik Tavro$' 2>/dev/null | wc -l)"
import -window root "$shot"
if [ $# -eq 4 ]; then
    xdotool windowfocus --sync "$window" key space
    sleep 3
fi
start=$(date +%s%N)
xdotool windowclose "$window"
status=0
wait "$pid" || status=$?
echo "EXIT $status $(( ($(date +%s%N) - start) / 1000000 ))"
