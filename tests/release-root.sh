#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# pelorin's apt repository as an owner's computer uses it. tools/release
# makes 1.3.0's release and then this one's, signed by a key made for the
# test alone, into one folder served over loopback by Python's http.server,
# its host replaced by that address as a distributor replaces it. In a
# clean Debian 12 root made from this machine's apt sources:
#   - a repository whose Packages has one byte changed, and one signed by
#     another key, are each refused by apt-get update, and nothing is
#     installed from them;
#   - the README's steps, taken from it word for word, install pelorin
#     1.3.0 alone, whose server then makes a state folder;
#   - once this release is added beside it, unattended-upgrades, with the
#     README's Origins-Pattern line and not without it, would upgrade
#     pelorin; apt upgrade, as the README says, does (with the new
#     dependencies), and every state file is still there,
#     byte for byte; apt source fetches this one's source; and the
#     README's steps back to 1.3.0 take it from its suite of its own.
# And of the folder itself: a version it holds is never made again, its
# SHA256SUMS and their signature check, a new key signs every suite again,
# Release says pelorin's origin and
# no Valid-Until, the debug symbols are in their own component, and each
# build's .buildinfo is beside its packages.
#   tests/release-root.sh BUILT OLD
# BUILT: the folder tools/debian-package made this version's amd64
# packages in (and arm64's, which an arm64 root then installs); OLD: the one it made 1.3.0's in, from its commit. Needs
# root, for the root's mounts.
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: tests/release-root.sh BUILT OLD" >&2; exit 2; }
built=$(realpath "$1") old=$(realpath "$2")
cd "$(dirname "$0")/.."
tmp=$(mktemp -d)
server=''
cleanup() {
    [ -z "$server" ] || kill "$server" 2>/dev/null || true
    # shellcheck disable=SC2046 # one PID a word
    [ -z "$(root_pids 2>/dev/null)" ] || kill $(root_pids) 2>/dev/null || true
    GNUPGHOME=$tmp/gnupg gpgconf --kill all 2>/dev/null || true
    wait
    rm -rf "$tmp" "$checks_said"
}
# shellcheck source=tests/checks.sh
. tests/checks.sh
trap cleanup EXIT
# shellcheck source=tools/roots.sh
. tools/roots.sh
roots_init amd64 "$tmp"
server_root=owner
# shellcheck source=tests/server-in-root.sh
. tests/server-in-root.sh
version=$(dpkg-deb -f "$built"/pelorin_*_amd64.deb Version)
old_version=$(dpkg-deb -f "$old"/pelorin_*_amd64.deb Version)

# The owner's root, made while the keys and releases are: apt, with curl
# and sudo as the README's steps use them, and unattended-upgrades. What
# pelorin needs comes from the mirror when it is installed and upgraded,
# as on the owner's computer: this release's new dependencies too.
root owner curl,sudo,unattended-upgrades --variant=apt >"$tmp/owner.log" 2>&1 &
making=$!

export GNUPGHOME=$tmp/gnupg
mkdir -m 0700 "$GNUPGHOME"
fingerprint() { gpg --batch --with-colons --list-keys "$1" | awk -F: '/^fpr/ { print $10; exit }'; }
for who in releases another; do
    gpg --batch --pinentry-mode loopback --passphrase '' --quick-gen-key "pelorin $who <$who@example.org>" \
        ed25519 sign never 2>/dev/null
done
key=$(fingerprint releases@example.org) other=$(fingerprint another@example.org)

mkdir "$tmp/www"
python3 -u -m http.server --bind 127.0.0.1 --directory "$tmp/www" 0 >"$tmp/http.log" 2>&1 &
server=$!
for _ in $(seq 100); do
    site_port=$(sed -n 's/.* port \([0-9]*\) .*/\1/p' "$tmp/http.log")
    [ -z "$site_port" ] || break
    sleep 0.1
done
[ -n "$site_port" ] || { cat "$tmp/http.log"; echo "http.server did not start" >&2; exit 1; }
site=http://127.0.0.1:$site_port
release() { # FOLDER KEY [tools/release option...]: amd64's, or ARCHITECTURES' where set
    local folder=$1 signer=$2
    shift 2
    tools/release --key "$signer" --out "$tmp/www/$folder" --url "$site/$folder/" --no-windows "$@" "${architectures[@]:-amd64}"
}
architectures=()
release good "$key" --commit 580093f --built "$old"
release forged "$other" --commit 580093f --built "$old"
cp -a "$tmp/www/good" "$tmp/www/tampered"
# One byte of the index changed, in each form apt may fetch it in.
index=$tmp/www/tampered/apt/dists/bookworm/main/binary-amd64/Packages
sed -i '0,/^Package: pelorin$/s//Package: pelorio/' "$index"
gzip -9nc "$index" >"$index.gz"
[ ! -e "$index.xz" ] || xz -c "$index" >"$index.xz"
cmp -s "$index" "$tmp/www/good/apt/dists/bookworm/main/binary-amd64/Packages" &&
    { echo "the tampered index is the same as the good one" >&2; exit 1; }

wait $making || { cat "$tmp/owner.log"; exit 1; }
grep -v '^bind-mounting' "$tmp/owner.log" || true
cp -L /etc/resolv.conf "$tmp/owner/etc/resolv.conf"
# An owner answers apt's question; here nobody is there to.
printf 'APT::Get::Assume-Yes "true";\nAPT::Get::allow-downgrades "true";\n' >"$tmp/owner/etc/apt/apt.conf.d/90yes"
run() { emulate owner HOME=/root LC_ALL=C.UTF-8 "$@"; }

# Refused: each source as the owner would have it, with the good key.
cp "$tmp/www/good/pelorin-archive-keyring.gpg" "$tmp/owner/usr/share/keyrings/"
refused() { # FOLDER WORDS: apt-get update fails on that source, saying WORDS
    sed "s|$site/good/|$site/$1/|" "$tmp/www/good/pelorin.sources" >"$tmp/owner/etc/apt/sources.list.d/pelorin.sources"
    local status=0
    run apt-get update >"$tmp/update.out" 2>&1 || status=$?
    rm "$tmp/owner/etc/apt/sources.list.d/pelorin.sources"
    cat "$tmp/update.out"
    [ "$status" -ne 0 ] && grep -q "127.0.0.1:$site_port/$1/.*" "$tmp/update.out" && grep -Eq "$2" "$tmp/update.out" &&
        ! run apt-get install --no-install-recommends pelorin &&
        ! run dpkg-query -W -f '${Status}\n' pelorin 2>/dev/null | grep -q 'install ok installed'
}
check "apt-get update refuses a Packages with one byte changed, and installs nothing" \
    refused tampered 'Hash Sum mismatch|[Hh]ashes'
check "apt-get update refuses a repository signed by another key, and installs nothing" \
    refused forged 'NO_PUBKEY|not signed|invalid'
rm "$tmp/owner/usr/share/keyrings/pelorin-archive-keyring.gpg"

# The README's steps, word for word, but for the host.
steps() { # the commands of the README's step titled $1, its first block
    awk -v title="$1" 'index($0, title) { found = 1 } found && /^ *```$/ { fence++; next }
        found && fence == 1 { sub(/^   /, ""); print } fence == 2 { exit }' README.md
}
owner_steps=$(steps "**Add pelorin's repository")
readme_steps() {
    echo "$owner_steps"
    grep -q '^sudo apt install --no-install-recommends pelorin$' <<<"$owner_steps" &&
        grep -q 'https://apt.pelorin.example.org/pelorin.sources' <<<"$owner_steps" &&
        run sh -ec "${owner_steps//https:\/\/apt.pelorin.example.org\//$site/good/}"
}
check "the README's steps install pelorin from the repository" readme_steps
check "pelorin --version says $old_version" test "$(run pelorin --version)" = "pelorin $old_version"
no_window() { ! run dpkg-query -W -f '${Status}' pelorin-gui 2>/dev/null | grep -q 'ok installed'; }
check "pelorin alone, without the window" no_window

# The board's server of 1.3.0 makes its state, where systemd keeps a
# DynamicUser's, as the service's user.
old_state() {
    claimed && stopped && state_files >"$tmp/state-before" &&
        grep -q ' ./sets/Morning.mes$' "$tmp/state-before" && grep -q ' ./accounts.json$' "$tmp/state-before"
}
check "$old_version's server, claimed, with staff and a set" old_state

# This release, beside 1.3.0's: arm64's too where BUILT holds it.
[ ! -f "$built/pelorin_${version}_arm64.changes" ] || architectures=(amd64 arm64)
check "tools/release adds $version beside $old_version" release good "$key" --built "$built"
sums() { cp "$tmp/www/good/SHA256SUMS" "$tmp/sums-before" && ! release good "$key" --built "$built" &&
    cmp "$tmp/www/good/SHA256SUMS" "$tmp/sums-before"; }
check "tools/release refuses to make $version again, and changes nothing" sums
older() { ! release good "$key" --commit 580093f --built "$old" && cmp "$tmp/www/good/SHA256SUMS" "$tmp/sums-before"; }
check "tools/release refuses $old_version once $version is out, and changes nothing" older
check "SHA256SUMS: every file as listed" sh -c "cd '$tmp/www/good' && sha256sum --strict -c --quiet SHA256SUMS &&
    [ \$(wc -l <SHA256SUMS) -eq \$(find . -path ./.reprepro -prune -o -type f ! -name 'SHA256SUMS*' -print | wc -l) ]"
check "SHA256SUMS.asc: signed by the release key" \
    gpgv --keyring "$tmp/www/good/pelorin-archive-keyring.gpg" "$tmp/www/good/SHA256SUMS.asc" "$tmp/www/good/SHA256SUMS"
check "SHA256SUMS.asc of another key is refused" sh -c "! gpgv --keyring '$tmp/www/good/pelorin-archive-keyring.gpg' \
    '$tmp/www/forged/SHA256SUMS.asc' '$tmp/www/forged/SHA256SUMS'"
dists=$tmp/www/good/apt/dists/bookworm
check "Release: pelorin's origin and label, no Valid-Until, signed both ways" sh -c "
    grep -qx 'Origin: pelorin' '$dists/Release' && grep -qx 'Label: pelorin' '$dists/Release' &&
    ! grep -q '^Valid-Until' '$dists/Release' && ! grep -q '^Valid-Until' '$dists/InRelease' &&
    gpgv --keyring '$tmp/www/good/pelorin-archive-keyring.gpg' '$dists/InRelease' &&
    gpgv --keyring '$tmp/www/good/pelorin-archive-keyring.gpg' '$dists/Release.gpg' '$dists/Release'"
# The folder signed by the other key so far, released on with this one,
# as a key is replaced: every suite is signed by the new key.
new_key() {
    release forged "$key" --built "$built" &&
        gpgv --keyring "$tmp/www/good/pelorin-archive-keyring.gpg" "$tmp/www/forged/apt/dists/bookworm-$old_version/InRelease" &&
        gpgv --keyring "$tmp/www/good/pelorin-archive-keyring.gpg" "$tmp/www/forged/apt/dists/bookworm/InRelease" &&
        cmp "$tmp/www/forged/pelorin-archive-keyring.gpg" "$tmp/www/good/pelorin-archive-keyring.gpg"
}
check "a release with a new key signs the earlier releases' suites again" new_key
check "debug symbols in the debug component alone" sh -c "
    ! grep -q '^Package: .*-dbgsym' '$dists/main/binary-amd64/Packages' &&
    grep -qx 'Package: pelorin-dbgsym' '$dists/debug/binary-amd64/Packages' &&
    grep -qx 'Package: pelorin-gui-dbgsym' '$dists/debug/binary-amd64/Packages'"
check "each build's .buildinfo beside its packages" sh -c "
    cmp '$tmp/www/good/apt/pool/main/p/pelorin/pelorin_${version}_amd64.buildinfo' '$built/pelorin_${version}_amd64.buildinfo' &&
    cmp '$tmp/www/good/apt/pool/main/p/pelorin/pelorin_${old_version}_amd64.buildinfo' '$old/pelorin_${old_version}_amd64.buildinfo'"

check "apt-get update sees the new release" run apt-get update

# unattended-upgrades picks pelorin's upgrade with the README's line only.
picked() { grep -Eq 'Packages that will be upgraded:.* pelorin( |$)' "$tmp/unattended.out"; }
unattended() {
    local status=0
    run unattended-upgrade --dry-run --debug >"$tmp/unattended.out" 2>&1 || status=$?
    grep -i 'upgraded\|allowed origins' "$tmp/unattended.out"
    return $status
}
not_picked() { unattended && ! picked; }
check "unattended-upgrades alone leaves pelorin be" not_picked
unattended_steps=$(steps "**Let apt upgrade pelorin by itself**")
readme_unattended() {
    echo "$unattended_steps"
    grep -q 'Unattended-Upgrade::Origins-Pattern' <<<"$unattended_steps" &&
        run sh -ec "$unattended_steps" >/dev/null && unattended && picked
}
check "unattended-upgrades, as the README sets it, would upgrade pelorin" readme_unattended

# As the README says, apt upgrade: plain apt-get upgrade installs no new
# package, and would keep back a pelorin that depends on one.
check "the README's apt upgrade" sh -c "grep -q '\`sudo apt upgrade\` brings each new release' README.md"
check "apt upgrade" run apt upgrade
check "pelorin --version says $version" test "$(run pelorin --version)" = "pelorin $version"
same_state() { state_files | diff "$tmp/state-before" -; }
check "every file of the state is still there, byte for byte" same_state
new_server() {
    serving --clock-is-set &&
        api 200 GET /api/session "${owner[@]}" | grep -q '"role":"owner"' &&
        api 200 GET /api/sets/Morning.mes "${owner[@]}" | cmp - "$tmp/set.mes" && stopped
}
check "the new server signs in with the kept session and serves the set" new_server
fetched() { run sh -ec 'mkdir -p /root/src && cd /root/src && apt-get source --download-only pelorin' &&
    cmp "$tmp/owner/root/src/pelorin_$version.dsc" "$built/pelorin_$version.dsc"; }
check "apt source pelorin fetches this release's source" fetched
# Back to 1.3.0, as the README says, from its own suite.
back_steps=$(steps "to go back to one")
went_back() {
    echo "$back_steps"
    grep -q "^sudo apt install pelorin=$old_version$" <<<"$back_steps" && run sh -ec "$back_steps" &&
        run apt-cache madison pelorin | grep " $version " &&
        test "$(run pelorin --version)" = "pelorin $old_version"
}
check "back to $old_version from its own suite, as the README says" went_back

# A staged roll-out's suite beside bookworm, which stays as it was.
staged() {
    local before
    before=$(cat "$tmp/www/good/apt/dists/bookworm/main/binary-amd64/Packages") &&
        release good "$key" --suite bookworm-staging --built "$built" &&
        grep -qx "Version: $version" "$tmp/www/good/apt/dists/bookworm-staging/main/binary-amd64/Packages" &&
        grep -qx 'Suites: bookworm-staging' "$tmp/www/good/pelorin-bookworm-staging.sources" &&
        grep -qx 'Suites: bookworm' "$tmp/www/good/pelorin.sources" &&
        test "$before" = "$(cat "$tmp/www/good/apt/dists/bookworm/main/binary-amd64/Packages")" &&
        gpgv --keyring "$tmp/www/good/pelorin-archive-keyring.gpg" "$tmp/www/good/apt/dists/bookworm-staging/InRelease"
}
check "a staged roll-out's suite beside bookworm, which stays as it was" staged

# An arm64 root takes this release from the same repository, by its key,
# and runs it under qemu-user. This machine's apt unpacks it there: with
# no binfmt_misc here, no ARM program could start another, as apt does.
if [ ${#architectures[@]} -gt 1 ]; then
    sed "s|^Signed-By: .*|Signed-By: $tmp/www/good/pelorin-archive-keyring.gpg|" "$tmp/www/good/pelorin.sources" \
        >"$tmp/arm64.sources"
    roots_init arm64 "$tmp"
    arm64_root() {
        root arm64 pelorin --setup-hook="mkdir -p \"\$1/etc/apt/sources.list.d\" &&
            cp '$tmp/arm64.sources' \"\$1/etc/apt/sources.list.d/pelorin.sources\""
    }
    check "arm64: a root of pelorin from the repository" arm64_root
    check "arm64: pelorin --version says $version" test "$(emulate arm64 /usr/bin/pelorin --version)" = "pelorin $version"
else
    echo "skipped: an arm64 root from the repository, for want of arm64's packages in $built"
fi

checks_end "release root"
