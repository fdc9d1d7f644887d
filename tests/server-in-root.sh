# SPDX-License-Identifier: GPL-3.0-or-later
# shellcheck shell=bash
# pelorin's board server in a root of tools/roots.sh, run as systemd runs
# its service: as a user of its own (DynamicUser), with its state where
# systemd keeps such a user's. Sourced after tools/roots.sh's roots_init;
# server_root names the root it runs in. Then:
#   serving [OPTION...]   starts it; port: where it listens, code: its
#                         setup code, until it is claimed
#   stopped               ends every process running in the root, by PID
#   api EXPECTED METHOD PATH [CURL OPTION...]
#                         prints the answer's body; fails on another status
#   token                 the owner's CSRF token
#   state_files           a digest of each file of the server's state
#   claimed               the server started on a new state folder, claimed
#                         by "owner", who signs in (kept in owner.jar: the
#                         array owner holds curl's options for it), gives
#                         staff "anna" an account and saves Morning.mes;
#                         csrf: the owner's token
service_uid=61234 state=/var/lib/private/pelorin
json=(-H 'Content-Type: application/json')
owner=(-b "$roots_tmp/owner.jar" -c "$roots_tmp/owner.jar")

root_pids() {
    local proc
    for proc in /proc/[0-9]*; do
        [ "$(readlink "$proc/root" 2>/dev/null)" != "$roots_tmp/${server_root:?}" ] || echo "${proc#/proc/}"
    done
}
# shellcheck disable=SC2120 # the tests that source this pass options
serving() {
    : >"$roots_tmp/serving.err"
    emulate "$server_root" setpriv --reuid=$service_uid --regid=$service_uid --clear-groups \
        /usr/bin/pelorin --serve --listen 127.0.0.1:0 --state $state "$@" 2>"$roots_tmp/serving.err" &
    local _
    for _ in $(seq 100); do
        grep -q '^  http' "$roots_tmp/serving.err" && break
        sleep 0.1
    done
    port=$(grep -o -m1 ':[0-9]\+/' "$roots_tmp/serving.err" | head -n 1 | tr -d :/)
    code=$(sed -n 's/.*setup code: //p' "$roots_tmp/serving.err")
    cat "$roots_tmp/serving.err"
    [ -n "$port" ]
}
stopped() {
    local _ pids
    for _ in $(seq 50); do
        pids=$(root_pids)
        [ -n "$pids" ] || return 0
        # shellcheck disable=SC2086 # one PID a word
        kill $pids 2>/dev/null || true
        sleep 0.1
    done
    return 1
}
api() {
    local expected=$1 method=$2 path=$3 status
    shift 3
    status=$(curl -s -o "$roots_tmp/answer" -w '%{http_code}' -X "$method" --max-time 60 "$@" \
        "http://127.0.0.1:$port$path") || true
    cat "$roots_tmp/answer"
    [ "$status" = "$expected" ] || { echo " <- $method $path: $status, not $expected"; return 1; }
}
token() { api 200 GET /api/session "${owner[@]}" | python3 -c 'import json, sys; print(json.load(sys.stdin)["csrf"])'; }
state_files() { (cd "$roots_tmp/$server_root$state" && find . -type f -print0 | sort -z | xargs -0 sha256sum); }
claimed() {
    # As the service sees it through systemd's mounts: the user passes
    # through /var/lib/private to its own folder, and nowhere else.
    local root=$roots_tmp/$server_root
    mkdir -p "$root$state" && chmod 0711 "$root/var/lib/private" && chmod 0700 "$root$state" &&
        chown $service_uid:$service_uid "$root$state" && serving && [ -n "$code" ] &&
        api 201 POST /api/setup "${owner[@]}" "${json[@]}" \
            -d "{\"code\":\"$code\",\"name\":\"owner\",\"password\":\"owner's secret\"}" &&
        api 200 POST /api/login "${owner[@]}" "${json[@]}" \
            -d '{"name":"owner","password":"owner'"'"'s secret","keep":true}' &&
        csrf=$(token) &&
        api 201 POST /api/accounts "${owner[@]}" "${json[@]}" -H "X-CSRF-Token: $csrf" \
            -d '{"name":"anna","password":"anna'"'"'s secret"}' &&
        api 201 PUT /api/sets/Morning.mes "${owner[@]}" -H "X-CSRF-Token: $csrf" -H 'If-None-Match: *' \
            -H 'Content-Type: application/x-tavro-messages' --data-binary @"$roots_tmp/set.mes"
}
