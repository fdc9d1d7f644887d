# SPDX-License-Identifier: GPL-3.0-or-later
# shellcheck shell=sh
# The shell tests' checks, sourced by each:
#   check DESCRIPTION COMMAND...   runs COMMAND and counts it; on a
#                                  failure, names it, with the first lines
#                                  that COMMAND printed
#   checks_end NAME                says what passed and failed, and fails
#                                  where anything did
# COMMAND runs in the script's own shell, so what it sets stays set.
passed=0 failed=0
checks_said=$(mktemp)
check() {
    checks_what=$1
    shift
    if "$@" >"$checks_said" 2>&1; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAIL: $checks_what"
        sed 's/^/  /' "$checks_said" | head -n 30
    fi
}
checks_end() {
    rm -f "$checks_said"
    echo "$1: $passed passed, $failed failed"
    [ "$failed" -eq 0 ]
}
