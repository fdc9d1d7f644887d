#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The package's example udev rule and service, as an owner follows the
# README with them:
# - the service waits for no device unit, so that an adapter missing at six
#   reaches pelorin, whose status 75 is tried again; and the README counts
#   its starts as the unit does;
# - the README's udevadm filter, run on property dumps shaped as
#   `udevadm info -q property` prints them for an FTDI, a CH340 (no serial
#   number) and a CP210x adapter, shows exactly the values the rule
#   matches, and the rule with those values put in matches its adapter
#   alone.
#   tests/examples.sh SOURCE_DIR
set -u
source_dir=${1:-$(dirname "$0")/..}
examples=$source_dir/debian/examples
dumps=$source_dir/tests/udev
# shellcheck source=tests/checks.sh
. "$(dirname "$0")/checks.sh"

service=$examples/pelorin-send@.service
check "the service waits for no device" \
    bash -c "! grep -E '^(BindsTo|Requires|Requisite|Wants|After|PartOf)=.*\.device' '$service'"
burst=$(sed -n 's/^StartLimitBurst=//p' "$service")
check "the service starts five times at most" test "$burst" = 5
check "the README counts five starts, the first among them" \
    bash -c "tr '\n' ' ' <'$source_dir/README.md' | grep -q 'five times at most, the first start among them'"
check "the service may write where lock files are kept" grep -qx 'ReadWritePaths=/run/lock' "$service"

# The filter, as the README gives it, reading a dump instead of udev.
filter=$(grep -m1 '^ *udevadm info -q property -n /dev/ttyUSB0 | ' "$source_dir/README.md" | sed 's/^ *//')
check "the README gives the filter" test -n "$filter"
shown() { # dump
    bash -c "${filter/udevadm info -q property -n \/dev\/ttyUSB0/cat \"\$1\"}" shown "$1"
}
check "FTDI: its three values" test "$(shown "$dumps/ftdi.properties")" = \
    "$(printf 'ID_VENDOR_ID=0403\nID_MODEL_ID=6001\nID_SERIAL_SHORT=A10KZQ3B')"
check "CH340: no serial number" test "$(shown "$dumps/ch340.properties")" = \
    "$(printf 'ID_VENDOR_ID=1a86\nID_MODEL_ID=7523')"
check "CP210x: its three values" test "$(shown "$dumps/cp210x.properties")" = \
    "$(printf 'ID_VENDOR_ID=10c4\nID_MODEL_ID=ea60\nID_SERIAL_SHORT=0001')"

# The rule's matches, a line each: KEY and value, with ENV{NAME} as NAME.
rule=$examples/99-tavro.rules
matches() { # rule
    grep -v '^#' "$1" | sed -e ':a' -e '/\\$/N; s/\\\n//; ta' | tr ',' '\n' |
        sed -n 's/^ *\(ENV{\([A-Z_]*\)}\|\([A-Z]*\)\)=="\([^"]*\)" *$/\2\3 \4/p'
}
check "the rule matches on udev's properties" test "$(matches "$rule" | cut -d' ' -f1 | tr '\n' ' ')" = \
    "SUBSYSTEM ID_VENDOR_ID ID_MODEL_ID ID_SERIAL_SHORT "
# The rule as the owner fills it in from what the filter showed: the
# serial number's match taken out where there is none.
filled() { # dump
    local values line key
    values=$(shown "$1")
    while IFS= read -r line; do
        for key in ID_VENDOR_ID ID_MODEL_ID ID_SERIAL_SHORT; do
            if [[ $line == *"ENV{$key}=="* ]]; then
                if grep -q "^$key=" <<<"$values"; then
                    line=$(sed "s/ENV{$key}==\"[^\"]*\"/ENV{$key}==\"$(grep "^$key=" <<<"$values" | cut -d= -f2)\"/" <<<"$line")
                else
                    line=$(sed "s/ ENV{$key}==\"[^\"]*\",//" <<<"$line")
                fi
            fi
        done
        printf '%s\n' "$line"
    done <"$rule"
}
applies() { # rule, dump
    local key value
    while read -r key value; do
        grep -qxF "$key=$value" "$2" || return 1
    done < <(matches "$1")
}
passes_by() { # rule, dump
    ! applies "$@"
}
work=$(mktemp -d)
trap 'rm -rf "$work" "$checks_said"' EXIT
for adapter in ftdi ch340 cp210x; do
    filled "$dumps/$adapter.properties" >"$work/$adapter.rules"
    for other in ftdi ch340 cp210x; do
        if [ "$other" = "$adapter" ]; then
            check "the rule filled in for $adapter matches it" applies "$work/$adapter.rules" "$dumps/$other.properties"
        else
            check "the rule filled in for $adapter does not match $other" \
                passes_by "$work/$adapter.rules" "$dumps/$other.properties"
        fi
    done
done
check "the rule names the adapter /dev/tavro" grep -q 'SYMLINK+="tavro"' "$work/ch340.rules"

checks_end examples
