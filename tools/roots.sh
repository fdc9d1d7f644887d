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
    roots_sources || return 1
    # A set of short messages and mixed levels, as pelorin writes it, in
    # a folder both the roots and this machine see, and what the board
    # must receive of it.
    printf '%s\r\n' xOPEN x xLOW x x x x x xIDLE 1 0 1 0 0 0 0 1 1 >"$roots_tmp/set.mes"
    roots_expected='1\r1\rOPEN\r2\r0\r\r3\r1\rLOW\r4\r0\r\r5\r0\r\r6\r0\r\r7\r0\r\r8\r1\r\r9\rIDLE\rQ'
    roots_count=$(printf "$roots_expected" | wc -c)
}

# The Debian archive and suites that this machine's apt uses, a one-line
# source each, into roots_sources. A suite named in PELORIN_ROOTS_WITHOUT
# (spaces between) is left out of every root, as one whose index the
# mirror fails is: the way to show that path while the mirror is sound.
roots_sources() {
    mapfile -t roots_sources < <(apt-get indextargets --format 'deb $(SITE) $(RELEASE) $(COMPONENT)' \
        'Created-By: Packages' 'Origin: Debian' | sort -u)
    [ ${#roots_sources[@]} -gt 0 ] || { echo "apt knows no Debian archive on this machine to make roots from" >&2; return 1; }
    roots_without=" ${PELORIN_ROOTS_WITHOUT:-} "
    [ -z "${PELORIN_ROOTS_WITHOUT:-}" ] ||
        echo "roots are made without ${PELORIN_ROOTS_WITHOUT}, as PELORIN_ROOTS_WITHOUT asks" >&2
}

# roots_make LABEL TARGET LOG ARCHITECTURES [mmdebstrap option...]: makes a
# root of bookworm for ARCHITECTURES (a comma between them, this machine's
# first) into TARGET, a folder or a tarball, from roots_sources, writing
# mmdebstrap's output to LOG.
# A mirror part way through a sync serves an index that apt refuses
# ("Mirror sync in progress?") for days at a time, and then apt cannot have
# that suite at all. A suite other than the release itself whose index
# cannot be had, for any of the root's architectures, is left out of the
# root for all of them, so that a library of two architectures comes at
# one version; that is said in one line. Any other failure is tried again a
# minute later, four tries in all.
roots_make() {
    local label=$1 target=$2 log=$3 architectures=$4
    shift 4
    local try source use failed suite
    for try in 1 2 3 4; do
        use=()
        for source in "${roots_sources[@]}"; do
            [[ $roots_without == *" $(cut -d' ' -f3 <<<"$source") "* ]] || use+=("$source")
        done
        rm -rf "$target"
        # In a mount namespace of its own, what a hook mounts goes with it.
        unshare --mount --propagation private mmdebstrap --architectures="$architectures" "$@" \
            bookworm "$target" "${use[@]}" >"$log" 2>&1 && return 0
        grep -E '^(E|W|Err):' "$log" >&2 || tail -n 20 "$log" >&2
        [ "$try" -lt 4 ] || { echo "mmdebstrap could not make the $label root" >&2; return 1; }
        failed=$(sed -n 's|.*Failed to fetch [^ ]*/dists/\([^/ ]*\)/.*|\1|p' "$log" | grep -vx bookworm | sort -u | tr '\n' ' ')
        suite=${failed%% *}
        if [ -n "$suite" ] && [[ $roots_without != *" $suite "* ]]; then
            roots_without="$roots_without$failed"
            echo "($architectures): the $label root is made without ${failed% }, whose index the mirror does not serve whole" >&2
            continue
        fi
        echo "($architectures): the $label root could not be made; trying again in a minute" >&2
        sleep 60
    done
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
    local include=()
    IFS=, read -ra include <<<"$packages"
    include=("${include[@]/#/--include=}")
    roots_make "$name" "$roots_tmp/$name" "$roots_tmp/$name.errors" "$roots_arch" --variant=extract "$@" \
        --skip=cleanup/tmp \
        --hook-dir=/usr/share/mmdebstrap/hooks/file-mirror-automount \
        "${include[@]}" || return 1
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

# roots_build ARCH PROFILES SOURCE [PACKAGES]: prints the path of a kept
# root, a tarball, that holds what the Debian source in the folder SOURCE
# needs to build for ARCH with the build profiles PROFILES (a comma
# between) and nothing more but Debian's build essentials, for an
# architecture other than this machine's its cross toolchain, and the
# PACKAGES asked for (a comma between), such as the tools that vary a build: the clean root that Debian's
# build daemons build in, so that the build neither sees nor changes what
# this machine has installed, and its .buildinfo says what it was built
# with. Roots are kept under ~/.cache/pelorin/roots, named by the
# architecture and a digest of the build dependencies, profiles and
# sources, and made again when older than a day, so that the libraries in
# them are the archive's of that day. Needs roots_sources first.
roots_build() {
    local arch=$1 profiles=$2 source=$3 packages=${4:-}
    local build cache key tar architectures include=() start=$SECONDS
    build=$(dpkg --print-architecture)
    cache=${XDG_CACHE_HOME:-$HOME/.cache}/pelorin/roots
    architectures=$build
    if [ "$arch" != "$build" ]; then
        architectures=$build,$arch
        include=(--include="crossbuild-essential-$arch")
    fi
    [ -z "$packages" ] || include+=(--include="$packages")
    key=$({
        echo "build root 1 $arch $profiles$roots_without${packages:+ with $packages}"
        printf '%s\n' "${roots_sources[@]}"
        awk '/^$/ { exit } /^Build-(Depends|Conflicts)/ { field = 1; print; next } /^[^ \t]/ { field = 0 } field' \
            "$source/debian/control"
    } | sha256sum | cut -c1-16)
    tar=$cache/build-$arch-$key.tar
    if [ -n "$(find "$tar" -mmin -1440 2>/dev/null)" ]; then
        echo "($arch): the build root kept at $tar$(cat "$tar.without" 2>/dev/null)" >&2
        echo "$tar"
        return 0
    fi
    mkdir -p "$cache"
    find "$cache" -maxdepth 1 -name 'build-*' -mmin +1440 -delete
    local control
    control=$(mktemp -d)
    mkdir -p "$control/source/debian"
    cp "$source/debian/control" "$control/source/debian/"
    echo "($arch): making a build root, with what pelorin needs to build (a few minutes, once a day)" >&2
    roots_make "build-$arch" "$cache/build-$arch-$key.new.tar" "$control.log" "$architectures" --variant=buildd \
        "${include[@]}" \
        --customize-hook="copy-in $control/source /tmp" \
        --customize-hook="chroot \"\$1\" apt-get build-dep -y -q --no-install-recommends -a$arch -P$profiles /tmp/source" \
        --customize-hook='rm -rf "$1/tmp/source"' || { rm -rf "$control" "$control.log"; return 1; }
    rm -rf "$control" "$control.log"
    mv "$cache/build-$arch-$key.new.tar" "$tar"
    local left_out=${roots_without# }
    left_out=${left_out% }
    [ -z "$left_out" ] && rm -f "$tar.without" || echo ", made without $left_out" >"$tar.without"
    echo "($arch): the build root: $(du -sm "$tar" | cut -f1) MB, made in $((SECONDS - start)) s" >&2
    echo "$tar"
}

# roots_unpack TARBALL DIR: unpacks a kept root into the new folder DIR.
roots_unpack() {
    mkdir -p "$2"
    tar -C "$2" -xf "$1"
}

# roots_chroot DIR COMMAND...: runs COMMAND in the root in DIR as root,
# chrooted, with /proc and /dev and a plain environment.
roots_chroot() {
    local dir=$1
    shift
    env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LC_ALL=C.UTF-8 unshare --mount --propagation private sh -c '
        mount -t proc proc "$0/proc" && mount --rbind /dev "$0/dev" && exec chroot "$0" "$@"' "$dir" "$@"
}
