#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs pelorin's packages as their users would, each time in a root of
# its own made from this machine's apt sources:
#   - pelorin alone, with what apt resolves from its Depends and nothing it
#     recommends, as a computer with no display installs it: no graphical
#     library comes with it, and there it sends a set to a pseudo-terminal
#     and names the package that holds the window;
#   - pelorin 1.0.0, which held the window, with .mes files opening in it
#     and its menu entry in place, upgraded with both new packages given,
#     as the README says: the window, its menu entry and the .mes
#     association are all still there.
#   tests/package-roots.sh PELORIN.deb PELORIN-GUI.deb [PELORIN-1.0.0.deb]
# Without 1.0.0's package, the upgrade is left out, and said so.
# Needs root, for the roots' mounts.
set -euo pipefail
deb=$(realpath "$1") gui=$(realpath "$2") old=${3:+$(realpath "$3")}
cd "$(dirname "$0")/.."
tmp=$(mktemp -d)
trap 'wait; rm -rf "$tmp"' EXIT
passed=0 failed=0
check() { # description, command...
    local what=$1
    shift
    if "$@" >"$tmp/check.out" 2>&1; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAIL: $what"
        sed 's/^/  /' "$tmp/check.out" | head -n 20
    fi
}
# shellcheck source=tools/roots.sh
. tools/roots.sh
roots_init "$(dpkg --print-architecture)" "$tmp"

# Both roots at once: making them is mostly waiting on the network. The
# upgrade's root is installed, not just unpacked, with what keeps the
# desktop's MIME and menu caches.
root alone "$deb" >"$tmp/alone.log" 2>&1 &
alone=$!
upgrade=
if [ -n "$old" ]; then
    # The root keeps no package lists, as a mirror would give them: what the
    # new packages depend on and the old did not is in it from the start.
    depends=$(dpkg-deb -f "$deb" Depends | tr ',' '\n' && dpkg-deb -f "$gui" Depends | tr ',' '\n')
    depends=$(sed 's/(.*)//; s/|.*//; s/ //g' <<<"$depends" | grep -v '^pelorin$' | sort -u | paste -sd,)
    root upgrade "$old,shared-mime-info,desktop-file-utils,$depends" --variant=apt >"$tmp/upgrade.log" 2>&1 &
    upgrade=$!
fi
made=0
wait $alone || made=1
[ -z "$upgrade" ] || wait $upgrade || made=1
cat "$tmp"/*.log | grep -v '^bind-mounting' || true
[ $made -eq 0 ] || exit 1

# pelorin alone.
has_no() { [ -z "$(find "$tmp/alone" -name "$1" -print -quit)" ]; }
for library in 'libQt6Gui.so*' 'libQt6Widgets.so*' 'libGL*.so*' 'libX11.so*' 'libLLVM*'; do
    check "alone: no $library" has_no "$library"
done
check "alone: pelorin --version" test "$(emulate alone /usr/bin/pelorin --version)" = "pelorin $(dpkg-deb -f "$deb" Version)"
cp "$tmp/set.mes" "$tmp/alone/set.mes"
check "alone: pelorin --send" send alone /set.mes emulate alone /usr/bin/pelorin
said() { # expected status, expected words, command...
    local status=$1 words=$2 got=0
    shift 2
    "$@" >"$tmp/said" 2>&1 || got=$?
    cat "$tmp/said"
    [ "$got" -eq "$status" ] && grep -q "$words" "$tmp/said"
}
check "alone: pelorin with no display" said 1 'no graphical display' emulate alone /usr/bin/pelorin
check "alone: pelorin with a display" said 2 'sudo apt install pelorin-gui' \
    emulate alone QT_QPA_PLATFORM=offscreen /usr/bin/pelorin
check "alone: pelorin --virtual-board" said 2 'sudo apt install pelorin-gui' \
    emulate alone QT_QPA_PLATFORM=offscreen /usr/bin/pelorin --virtual-board

if [ -z "$old" ]; then
    echo "skipped: the upgrade from 1.0.0, whose package was not given"
    echo "package roots: $passed passed, $failed failed"
    exit $((failed > 0))
fi

# The upgrade from 1.0.0: a user has .mes files open in pelorin, and the
# menu entry that 1.0.0 installed.
id=org.pelorin.Pelorin
mkdir -p "$tmp/upgrade/root/.config"
printf '[Default Applications]\napplication/x-tavro-messages=%s.desktop\n' "$id" \
    >"$tmp/upgrade/root/.config/mimeapps.list"
check "upgrade: 1.0.0 holds the window" test -f "$tmp/upgrade/usr/share/applications/$id.desktop"
emulate upgrade dpkg-query -L pelorin | grep '^/usr/share/' | while read -r file; do
    [ -d "$tmp/upgrade$file" ] || echo "$file"
done >"$tmp/files-1.0.0"
cp "$deb" "$gui" "$tmp/upgrade/tmp/"
check "upgrade: apt install of both packages" emulate upgrade HOME=/root \
    apt-get install -y "/tmp/${deb##*/}" "/tmp/${gui##*/}"
installed() { emulate upgrade dpkg-query -W -f '${Status} ${Version}' "$1" | grep -qx "install ok installed $2"; }
check "upgrade: pelorin, this version" installed pelorin "$(dpkg-deb -f "$deb" Version)"
check "upgrade: pelorin-gui, this version" installed pelorin-gui "$(dpkg-deb -f "$gui" Version)"
kept() {
    local file missing=0
    while read -r file; do
        [ -e "$tmp/upgrade$file" ] || { echo "gone: $file"; missing=1; }
    done <"$tmp/files-1.0.0"
    [ -s "$tmp/files-1.0.0" ] && [ $missing -eq 0 ]
}
check "upgrade: every file of 1.0.0's is still there" kept
entry=$tmp/upgrade/usr/share/applications/$id.desktop
check "upgrade: the menu entry starts a program that is there" \
    test -x "$tmp/upgrade$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$entry")"
check "upgrade: .mes files are still a message set" \
    grep -q 'application/x-tavro-messages:\*\.mes' "$tmp/upgrade/usr/share/mime/globs2"
check "upgrade: the menu's cache opens them in pelorin" \
    grep -q "^application/x-tavro-messages=$id.desktop" "$tmp/upgrade/usr/share/applications/mimeinfo.cache"
# pelorin starts the window program in its own place, which is still
# running a moment later. The commands that enter the root each start the
# next in their own place too.
window() {
    emulate upgrade QT_QPA_PLATFORM=offscreen HOME=/root /usr/bin/pelorin >"$tmp/window.out" 2>&1 &
    local job=$! running
    sleep 2
    # The job is a shell, whose one child went on to be pelorin.
    running=$(pgrep -x -P "$job" pelorin-gui || true)
    pkill -P "$job" || true
    wait "$job" 2>/dev/null || true
    cat "$tmp/window.out"
    [ -n "$running" ]
}
check "upgrade: pelorin opens the window" window

echo "package roots: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
