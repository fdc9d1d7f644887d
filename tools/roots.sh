# SPDX-License-Identifier: GPL-3.0-or-later
# shellcheck shell=bash
# Roots of a Debian architecture, made from this machine's apt sources with
# pelorin's packages in them, and commands run inside them, under qemu-user
# for another architecture. Sourced by tools/arm-check and the package test;
# needs root for the mounts. Before anything else:
#   roots_init ARCH FOLDER
# ARCH: amd64, arm64 or armhf; FOLDER: for the roots, removed by the caller.

roots_init() {
    roots_arch=$1 roots_tmp=$2
    roots_qemu=
    case $roots_arch in
    arm64) roots_qemu=qemu-aarch64-static ;;
    armhf) roots_qemu=qemu-arm-static ;;
    esac
    # The Debian archive and suites that this machine's apt uses, a
    # one-line source each.
    mapfile -t roots_sources < <(apt-get indextargets --format 'deb $(SITE) $(RELEASE) $(COMPONENT)' \
        'Created-By: Packages' 'Origin: Debian' | sort -u)
    [ ${#roots_sources[@]} -gt 0 ] || { echo "apt knows no Debian archive on this machine to make roots from" >&2; return 1; }
    # A set of short messages and mixed levels, as pelorin writes it, in
    # a folder both the roots and this machine see, and what the board
    # must receive of it.
    printf '%s\r\n' xOPEN x xLOW x x x x x xIDLE 1 0 1 0 0 0 0 1 1 >"$roots_tmp/set.mes"
    roots_expected='1\r1\rOPEN\r2\r0\r\r3\r1\rLOW\r4\r0\r\r5\r0\r\r6\r0\r\r7\r0\r\r8\r1\r\r9\rIDLE\rQ'
    roots_count=$(printf "$roots_expected" | wc -c)
}

# send NAME SET COMMAND...: sends the set in the file SET with COMMAND to a
# recorder, judges what arrived, and prints its pacing.
send() {
    local name=$1 set=$2
    shift 2
    tools/pty-recorder "$roots_tmp/$name.json" "$roots_count" 120 >"$roots_tmp/$name.path" &
    local recorder=$!
    for _ in $(seq 50); do
        [ -s "$roots_tmp/$name.path" ] && break
        sleep 0.1
    done
    "$@" --send "$set" --port "$(cat "$roots_tmp/$name.path")" --quiet || { echo "$name: pelorin --send failed" >&2; return 1; }
    wait "$recorder"
    tools/pty-recorder --check "$roots_tmp/$name.json" "$roots_expected" ||
        { echo "$name: the board would not take what arrived" >&2; return 1; }
}

# root NAME PACKAGES [mmdebstrap option...]: a root with the packages (a
# comma between them; a .deb file by its path) and what apt resolves from
# their Depends, unpacked (--variant=extract) unless an option says else.
# Prints its size.
root() {
    local name=$1 packages=$2 start=$SECONDS
    shift 2
    # The hook bind-mounts a package file into the root at its own path: in
    # a mount namespace of its own, that mount goes when mmdebstrap ends. A
    # checkout under /tmp puts it in the root's /tmp, which mmdebstrap
    # would empty while the package is still mounted there.
    # A mirror part way through a sync fails apt's update ("Mirror sync in
    # progress?") until it is done. A suite other than the release itself
    # whose index fails so is left out of the root, and said so; any other
    # failure is tried again a minute later, three times in all.
    local try source use without='' failed include=()
    IFS=, read -ra include <<<"$packages"
    include=("${include[@]/#/--include=}")
    for try in 1 2 3 4; do
        use=()
        for source in "${roots_sources[@]}"; do
            [[ " $without " == *" $(cut -d' ' -f3 <<<"$source") "* ]] || use+=("$source")
        done
        rm -rf "${roots_tmp:?}/$name"
        unshare --mount --propagation private mmdebstrap --variant=extract --architectures="$roots_arch" "$@" \
            --skip=cleanup/tmp \
            --hook-dir=/usr/share/mmdebstrap/hooks/file-mirror-automount \
            "${include[@]}" bookworm "$roots_tmp/$name" "${use[@]}" >"$roots_tmp/$name.errors" 2>&1 && break
        grep -E '^(E|W|Err):' "$roots_tmp/$name.errors" >&2 || tail -n 20 "$roots_tmp/$name.errors" >&2
        [ "$try" -lt 4 ] || { echo "mmdebstrap could not make the $name root" >&2; return 1; }
        failed=$(sed -n 's|.*Failed to fetch .*/dists/\([^/]*\)/.*Mirror sync in progress.*|\1|p' "$roots_tmp/$name.errors" |
            grep -vx bookworm | sort -u | tr '\n' ' ')
        if [ -n "$failed" ] && [[ " $without " != *" ${failed%% *} "* ]]; then
            without="$without $failed"
            echo "($roots_arch): the $name root is made without ${failed% }, which the mirror is part way through syncing" >&2
            continue
        fi
        echo "($roots_arch): the $name root could not be made; trying again in a minute" >&2
        sleep 60
    done
    mkdir -p "$roots_tmp/$name"/{dev,proc,sys,tmp/.X11-unix}
    chmod 1777 "$roots_tmp/$name/tmp"
    [ -z "$roots_qemu" ] || cp "/usr/bin/$roots_qemu" "$roots_tmp/$name/"
    echo "-- $roots_arch: the $name root: $(du -sm "$roots_tmp/$name" | cut -f1) MB, made in $((SECONDS - start)) s"
}

# emulate NAME [VARIABLE=VALUE...] COMMAND...: runs a command in the root,
# under the emulator for another architecture, with only the variables
# given, and with this machine's devices (the pseudo-terminals and serial
# ports, as /dev and /sys show them) and X socket. Nothing outside the root is found: a library the root lacks is
# missing.
emulate() {
    local name=$1 variables=()
    shift
    while [[ $1 == *=* ]]; do
        variables+=("$1")
        shift
    done
    mkdir -p /tmp/.X11-unix
    env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin "${variables[@]}" unshare --mount --propagation private sh -c '
        mount --rbind /dev "$0/dev" && mount --rbind /proc "$0/proc" && mount --rbind /sys "$0/sys" &&
        mount --bind /tmp/.X11-unix "$0/tmp/.X11-unix" && exec chroot "$0" "$@"' \
        "$roots_tmp/$name" ${roots_qemu:+"/$roots_qemu"} "$@"
}
