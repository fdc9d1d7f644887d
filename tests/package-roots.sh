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
#     association are all still there;
#   - pelorin 1.2.0, the first with the board's server, whose state folder
#     holds an owner, staff, a set, a chosen port, sessions and the log,
#     in the folder and as the user that systemd's DynamicUser gives it,
#     upgraded to this pelorin: every file of the state is still there,
#     byte for byte, and the new server signs in with it, keeps the
#     sessions and serves the set; a schedule and a key made then are kept
#     through a reinstall; and a backup made and restored as docs/serve.md
#     says brings a deleted set back, every file its user's again.
#   tests/package-roots.sh PELORIN.deb PELORIN-GUI.deb [PELORIN-1.0.0.deb [PELORIN-1.2.0.deb]]
# Without 1.0.0's or 1.2.0's package, that upgrade is left out, and said so.
# Needs root, for the roots' mounts.
set -euo pipefail
deb=$(realpath "$1") gui=$(realpath "$2") old=${3:+$(realpath "$3")} served=${4:+$(realpath "$4")}
cd "$(dirname "$0")/.."
tmp=$(mktemp -d)
# shellcheck source=tests/checks.sh
. tests/checks.sh
trap 'wait; rm -rf "$tmp" "$checks_said"' EXIT
# shellcheck source=tools/roots.sh
. tools/roots.sh
roots_init "$(dpkg --print-architecture)" "$tmp"
server_root=serve
# shellcheck source=tests/server-in-root.sh
. tests/server-in-root.sh

# Both roots at once: making them is mostly waiting on the network. The
# upgrade's root is installed, not just unpacked, with what keeps the
# desktop's MIME and menu caches.
root alone "$deb" >"$tmp/alone.log" 2>&1 &
alone=$!
upgrade='' serve=''
# The roots keep no package lists, as a mirror would give them: what the
# new packages depend on and the old did not is in them from the start.
names() { sed 's/(.*)//; s/|.*//; s/ //g' | grep -v '^pelorin$' | sort -u | paste -sd,; }
depends=$( (dpkg-deb -f "$deb" Depends | tr ',' '\n' && dpkg-deb -f "$gui" Depends | tr ',' '\n') | names)
served_depends=$(dpkg-deb -f "$deb" Depends | tr ',' '\n' | names)
if [ -n "$old" ]; then
    root upgrade "$old,shared-mime-info,desktop-file-utils,$depends" --variant=apt >"$tmp/upgrade.log" 2>&1 &
    upgrade=$!
fi
if [ -n "$served" ]; then
    root serve "$served,$served_depends" --variant=apt >"$tmp/serve.log" 2>&1 &
    serve=$!
fi
made=0
wait $alone || made=1
[ -z "$upgrade" ] || wait $upgrade || made=1
[ -z "$serve" ] || wait $serve || made=1
cat "$tmp"/*.log | grep -v '^bind-mounting' || true
[ $made -eq 0 ] || exit 1

# pelorin alone.
has_no() { [ -z "$(find "$tmp/alone" -name "$1" -print -quit)" ]; }
for library in 'libQt6Gui.so*' 'libQt6Widgets.so*' 'libGL*.so*' 'libX11.so*' 'libLLVM*'; do
    check "alone: no $library" has_no "$library"
done
check "alone: pelorin --version" test "$(emulate alone /usr/bin/pelorin --version)" = "pelorin $(dpkg-deb -f "$deb" Version)"
cp "$tmp/set.mes" "$tmp/alone/set.mes"
# The bytes and the line as the recorder got them; the pacing as pelorin
# handed them over, by the trace it writes in the root, as a busy machine
# delays one byte's delivery to the recorder and not the next.
# shellcheck disable=SC2154 # roots_init sets roots_expected, where shellcheck does not follow
sent_alone() {
    send alone /set.mes emulate alone PELORIN_HANDOVER_TRACE=/handovers /usr/bin/pelorin >"$tmp/received" &&
        tools/pty-recorder --check-handovers "$tmp/alone/handovers" "$roots_expected" >"$tmp/handed"
}
check "alone: pelorin --send, the exact bytes at 2400 8N1, none handed over closer than 500 ms" sent_alone
echo "alone: pelorin --send, ms, smallest / mean overrun / largest gap:" \
    "received $(cat "$tmp/received" 2>/dev/null); handed over $(cat "$tmp/handed" 2>/dev/null)"
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

# The board's server, upgraded from 1.2.0: its state where systemd keeps a
# DynamicUser's (/var/lib/private/pelorin), the server run as that user.
old_state() {
    claimed &&
        api 200 PUT /api/board "${owner[@]}" "${json[@]}" -H "X-CSRF-Token: $csrf" -d '{"device":"/dev/ttyUSB0"}' &&
        stopped && state_files >"$tmp/state-1.2.0" &&
        grep -q ' ./sets/Morning.mes$' "$tmp/state-1.2.0" && grep -q ' ./accounts.json$' "$tmp/state-1.2.0"
}
same_state() { state_files | diff "$tmp/state-1.2.0" -; }
new_server() {
    serving --clock-is-set &&
        api 200 GET /api/session "${owner[@]}" | grep -q '"role":"owner"' &&
        api 200 POST /api/login "${json[@]}" -d '{"name":"anna","password":"anna'"'"'s secret"}' &&
        api 200 GET /api/sets/Morning.mes "${owner[@]}" | cmp - "$tmp/set.mes" &&
        api 200 GET /api/board "${owner[@]}" | grep -q '"device":"/dev/ttyUSB0"' &&
        api 200 GET /api/log "${owner[@]}" | grep -q '"event":"account added"'
}
schedule_and_key() {
    local csrf version key
    csrf=$(token) &&
        version=$(api 200 GET /api/schedule "${owner[@]}" | python3 -c 'import json, sys; print(json.load(sys.stdin)["version"])') &&
        api 200 PUT /api/schedule "${owner[@]}" "${json[@]}" -H "X-CSRF-Token: $csrf" -H "If-Match: \"$version\"" \
            -d '{"entries":[{"set":"Morning","time":"06:00","days":["mon","tue","wed","thu","fri","sat"]}]}' &&
        key=$(api 201 POST /api/keys "${owner[@]}" "${json[@]}" -H "X-CSRF-Token: $csrf" \
            -d '{"name":"till","scope":"send","expires":null}' | python3 -c 'import json, sys; print(json.load(sys.stdin)["key"])') &&
        stopped && cp "$deb" "$tmp/serve/tmp/" &&
        emulate serve apt-get install -y --reinstall "/tmp/${deb##*/}" && serving --clock-is-set &&
        api 200 GET /api/schedule "${owner[@]}" | grep -q '"time":"06:00"' &&
        api 200 GET /api/status -H "Authorization: Bearer $key" &&
        api 200 GET /api/keys "${owner[@]}" | grep -q '"name":"till"'
}
restored() {
    local csrf version
    stopped &&
        emulate serve sh -c 'tar -C /var/lib/private -czf /root/pelorin-state.tar.gz pelorin' &&
        serving --clock-is-set && csrf=$(token) &&
        version=$(api 200 GET /api/sets "${owner[@]}" | python3 -c 'import json, sys; print(json.load(sys.stdin)[0]["version"])') &&
        api 204 DELETE /api/sets/Morning "${owner[@]}" -H "X-CSRF-Token: $csrf" -H "If-Match: \"$version\"" &&
        stopped &&
        emulate serve sh -ec '
            cd /root && mkdir restore && tar -C restore -xzf pelorin-state.tar.gz
            find /var/lib/private/pelorin -mindepth 1 -delete
            cp -a restore/pelorin/. /var/lib/private/pelorin/
            chown -R --reference=/var/lib/private/pelorin /var/lib/private/pelorin' &&
        [ -z "$(find "$tmp/serve$state" ! -uid $service_uid -print -quit)" ] &&
        serving --clock-is-set &&
        api 200 GET /api/sets/Morning.mes "${owner[@]}" | cmp - "$tmp/set.mes" &&
        api 200 GET /api/schedule "${owner[@]}" | grep -q '"time":"06:00"' && stopped
}
if [ -n "$served" ]; then
    check "serve: 1.2.0's server, claimed, with staff, a set, a port and a kept session" old_state
    cp "$deb" "$tmp/serve/tmp/"
    check "serve: apt install of this pelorin over 1.2.0" emulate serve apt-get install -y "/tmp/${deb##*/}"
    check "serve: every file of the state is still there, byte for byte" same_state
    check "serve: this server signs in by 1.2.0's accounts and sessions, and serves its set and port" new_server
    check "serve: a schedule and a key, kept through a reinstall" schedule_and_key
    check "serve: a backup restored into /var/lib/private/pelorin brings a deleted set back" restored
    stopped
else
    echo "skipped: the upgrade of the board's server from 1.2.0, whose package was not given"
fi

if [ -z "$old" ]; then
    echo "skipped: the upgrade from 1.0.0, whose package was not given"
    checks_end "package roots"
    exit
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

checks_end "package roots"
