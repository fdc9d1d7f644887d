#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Checks pelorin's two Debian packages, as tools/debian-package makes them:
# pelorin holds the program without a window, the manual page and example
# systemd units that systemd accepts with the package's files in place;
# pelorin-gui holds the window program, which pelorin starts from the
# unpacked tree, a well-formed desktop entry, icons and metadata.
#   tests/package.sh PELORIN.deb PELORIN-GUI.deb
set -u
deb=$(realpath "$1")
gui=$(realpath "$2")
id=org.pelorin.Pelorin
# shellcheck source=tests/checks.sh
. "$(dirname "$0")/checks.sh"
png_size() { # the width and height from a PNG header
    od -An -tu1 -j16 -N8 "$1" | awk '{ print $3 * 256 + $4 "x" $7 * 256 + $8 }'
}

tree=$(mktemp -d)
only=$(mktemp -d)
trap 'rm -rf "$tree" "$only" "$checks_said"' EXIT
{ dpkg-deb -x "$deb" "$tree" && dpkg-deb -x "$gui" "$tree" && dpkg-deb -x "$deb" "$only"; } ||
    { echo "package: 0 passed, 1 failed"; exit 1; }
doc=$tree/usr/share/doc/pelorin
version=$(dpkg-deb -f "$deb" Version)
window=/usr/libexec/pelorin/pelorin-gui

check "executable" test -x "$tree/usr/bin/pelorin"
check "window program" test -x "$tree$window"
check "the window's files in pelorin-gui alone" sh -c "! dpkg-deb -c '$deb' | grep -q 'share/applications\|share/icons\|share/metainfo\|share/mime\|libexec'"
check "a copyright of its own in pelorin-gui" grep -q '^License: GPL-3.0-or-later' "$tree/usr/share/doc/pelorin-gui/copyright"
check "desktop entry" test -f "$tree/usr/share/applications/$id.desktop"
check "32x32 icon" test "$(png_size "$tree/usr/share/icons/hicolor/32x32/apps/$id.png")" = 32x32
check "scalable icon" grep -q '<svg' "$tree/usr/share/icons/hicolor/scalable/apps/$id.svg"
check "metadata" test -f "$tree/usr/share/metainfo/$id.metainfo.xml"
check "desktop-file-validate" desktop-file-validate "$tree/usr/share/applications/$id.desktop"
check "opens .mes files" grep -qx 'MimeType=application/x-tavro-messages;' "$tree/usr/share/applications/$id.desktop"
check "passes the file on" grep -qx "Exec=$window %f" "$tree/usr/share/applications/$id.desktop"
check "manual page" sh -c "gzip -dc '$tree/usr/share/man/man1/pelorin.1.gz' | grep -q '^.TH PELORIN 1'"
check "copyright" grep -q '^License: GPL-3.0-or-later' "$doc/copyright"
check "changelog" sh -c "gzip -dc '$doc/changelog.gz' | grep -q '^pelorin ($version)'"
check "stripped program" sh -c "! file -b '$tree/usr/bin/pelorin' | grep -q 'not stripped'"
check "stripped window program" sh -c "! file -b '$tree$window' | grep -q 'not stripped'"
check "description within 80 columns" sh -c "dpkg-deb -f '$deb' Description | awk 'length > 80 { bad = 1 } END { exit bad }'"
check "MIME type file" test -f "$tree/usr/share/mime/packages/$id.xml"
# update-mime-database builds its database from the package's file alone,
# and the type it makes has the glob.
mime=$(mktemp -d)
cp -r "$tree/usr/share/mime/packages" "$mime/"
check "update-mime-database" update-mime-database "$mime"
check "*.mes is a message set" grep -q 'application/x-tavro-messages:\*\.mes' "$mime/globs"
rm -rf "$mime"
check "appstreamcli validate" appstreamcli validate --no-net "$tree/usr/share/metainfo/$id.metainfo.xml"
# A computer that only sends installs pelorin without recommendations:
# nothing graphical comes with it, and the window is recommended.
check "pelorin depends on Qt Core and SerialPort" sh -c "dpkg-deb -f '$deb' Depends | grep -q 'libqt6core6.*libqt6serialport6\|libqt6serialport6.*libqt6core6'"
check "pelorin depends on nothing graphical" sh -c "! dpkg-deb -f '$deb' Depends | grep -q 'gui\|widgets\|dbus\|wayland\|qpa'"
check "pelorin recommends its window" test "$(dpkg-deb -f "$deb" Recommends)" = pelorin-gui
check "the window depends on its own pelorin" sh -c "dpkg-deb -f '$gui' Depends | grep -q 'pelorin (= $version)'"
check "the window depends on the Qt Widgets" sh -c "dpkg-deb -f '$gui' Depends | grep -q libqt6widgets6"
check "the window recommends what only it wants" sh -c "dpkg-deb -f '$gui' Recommends | grep -q qt6-wayland"
check "the window takes over 1.0.0's files" sh -c "dpkg-deb -f '$gui' Breaks Replaces | grep -c 'pelorin (<< 1.1.0~)' | grep -qx 2"

# The example units as an owner puts them in place, with the package's
# files where it installs them and systemd's own units beside them: systemd
# finds the program and the manual page, and has nothing to say.
for unit in "pelorin-send@.service" "pelorin-send@.timer" 99-tavro.rules; do
    check "example $unit" test -f "$doc/examples/$unit"
done
mkdir -p "$tree/etc/systemd/system" "$tree/usr/lib/systemd"
cp "$doc/examples/pelorin-send@.service" "$doc/examples/pelorin-send@.timer" "$tree/etc/systemd/system/"
cp -r /usr/lib/systemd/system "$tree/usr/lib/systemd/"
verify=$(MANPATH=$tree/usr/share/man systemd-analyze verify --root="$tree" \
    pelorin-send@morning.service pelorin-send@morning.timer 2>&1)
check "systemd-analyze verify of the example units" test $? -eq 0 -a -z "$verify"
[ -z "$verify" ] || echo "$verify"

# The board's server: installed where systemd finds it, verified, rated
# "OK" or better (an exposure of at most 4.9), and neither enabled nor
# started by the package.
serve_unit=$tree/lib/systemd/system/pelorin-serve.service
check "the server's guide, which the manual page names, is installed" test -f "$doc/serve.md"
check "the server's unit is installed" test -f "$serve_unit"
verify=$(MANPATH=$tree/usr/share/man systemd-analyze verify --root="$tree" pelorin-serve.service 2>&1)
check "systemd-analyze verify of the server's unit" test $? -eq 0 -a -z "$verify"
[ -z "$verify" ] || echo "$verify"
exposure=$(systemd-analyze security --offline=true --threshold=49 "$serve_unit" 2>&1)
check "the server's unit is rated OK or better" test $? -eq 0
echo "$exposure" | grep 'Overall exposure'
# With HTTPS as the example drop-in gives it: the certificate and key come
# through LoadCredential=, and the rating stays.
check "example pelorin-serve-https.conf" test -f "$doc/examples/pelorin-serve-https.conf"
mkdir -p "$tree/etc/systemd/system/pelorin-serve.service.d"
cp "$doc/examples/pelorin-serve-https.conf" "$tree/etc/systemd/system/pelorin-serve.service.d/https.conf"
verify=$(MANPATH=$tree/usr/share/man systemd-analyze verify --root="$tree" pelorin-serve.service 2>&1)
check "systemd-analyze verify of the server's unit with HTTPS" test $? -eq 0 -a -z "$verify"
[ -z "$verify" ] || echo "$verify"
check "the drop-in gives the server its certificate and key" sh -c "systemd-analyze cat-config --root='$tree' \
    systemd/system/pelorin-serve.service | grep -q 'ExecStart=/usr/bin/pelorin --serve --tls-cert %d/tls.crt'"
exposure=$(systemd-analyze security --offline=true --root="$tree" --threshold=49 pelorin-serve.service 2>&1)
check "the server's unit with HTTPS is rated OK or better" test $? -eq 0
echo "$exposure" | grep 'Overall exposure'
rm -r "$tree/etc/systemd/system/pelorin-serve.service.d"
# With the MQTT door as its drop-in gives it: the broker's password comes
# through LoadCredential=, the sandbox lets the broker be reached, and the
# rating stays.
check "example pelorin-serve-mqtt.conf" test -f "$doc/examples/pelorin-serve-mqtt.conf"
check "the MQTT guide is installed" test -f "$doc/mqtt.md"
mkdir -p "$tree/etc/systemd/system/pelorin-serve.service.d"
cp "$doc/examples/pelorin-serve-mqtt.conf" "$tree/etc/systemd/system/pelorin-serve.service.d/mqtt.conf"
verify=$(MANPATH=$tree/usr/share/man systemd-analyze verify --root="$tree" pelorin-serve.service 2>&1)
check "systemd-analyze verify of the server's unit with MQTT" test $? -eq 0 -a -z "$verify"
[ -z "$verify" ] || echo "$verify"
mqtt_unit=$(mktemp)
systemd-analyze cat-config --root="$tree" systemd/system/pelorin-serve.service >"$mqtt_unit" 2>&1
check "the drop-in gives the server the broker's password" \
    grep -qx 'LoadCredential=mqtt-password:/etc/pelorin/mqtt-password' "$mqtt_unit"
check "the drop-in starts the MQTT door" grep -q '^ExecStart=/usr/bin/pelorin --serve --mqtt mqtts://' "$mqtt_unit"
check "the sandbox lets the broker be reached" sh -c "grep -q '^RestrictAddressFamilies=.*AF_INET AF_INET6' '$mqtt_unit' &&
    ! grep -q '^IPAddressDeny=' '$mqtt_unit'"
rm -f "$mqtt_unit"
exposure=$(systemd-analyze security --offline=true --root="$tree" --threshold=49 pelorin-serve.service 2>&1)
check "the server's unit with MQTT is rated OK or better" test $? -eq 0
echo "$exposure" | grep 'Overall exposure'
rm -r "$tree/etc/systemd/system/pelorin-serve.service.d"
scripts=$(mktemp -d)
dpkg-deb -e "$deb" "$scripts"
# debhelper enables it again only where the owner had enabled it: every
# enable must follow a was-enabled test, and nothing starts it.
check "the package neither enables nor starts the server" awk '
    /deb-systemd-invoke (start|restart)/ { bad = 1 }
    /deb-systemd-helper enable/ && !guarded { bad = 1 }
    /[^[:space:]]/ && !/^[[:space:]]*#/ { guarded = /was-enabled/ }
    END { exit bad }' "$scripts/postinst"
check "an upgrade restarts a running server only" grep -q 'deb-systemd-invoke try-restart pelorin-serve.service' "$scripts/postinst"
check "removing the package stops a running server" grep -q 'deb-systemd-invoke stop.*pelorin-serve.service' "$scripts/prerm"
rm -rf "$scripts"

# The unpacked program starts the window program, which is still running a
# moment later in its place; alone, it names the package to install.
QT_QPA_PLATFORM=offscreen "$tree/usr/bin/pelorin" >/dev/null 2>&1 &
pid=$!
sleep 1
check "starts the window from the unpacked tree" test "$(readlink "/proc/$pid/exe")" = "$tree$window"
kill "$pid" 2>/dev/null
wait "$pid" 2>/dev/null
said=$(QT_QPA_PLATFORM=offscreen "$only/usr/bin/pelorin" 2>&1)
check "alone, names the window's package" test $? -eq 2 -a -n "$(echo "$said" | grep 'sudo apt install pelorin-gui')"

checks_end package
