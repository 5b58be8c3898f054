# Sourced by the shell tests: one line per check, and the closing count that CTest logs show.
# shellcheck shell=bash
passed=0
failed=0

check() { # check DESCRIPTION COMMAND...
    local what=$1
    shift
    if "$@"; then
        passed=$((passed + 1))
        echo "ok   $what"
    else
        failed=$((failed + 1))
        echo "FAIL $what"
    fi
}

checks_done() { # prints "N passed, N failed"; fails when a check did
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
}
