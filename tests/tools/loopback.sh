# Sourced by the tests that start simulators on fixed UDP ports (31120 and up).
# shellcheck shell=bash

# Runs the calling script again in a private network namespace that has nothing but its own
# loopback interface, where the system allows it: the fixed ports are then the test's alone,
# whatever else runs on this machine. Otherwise the script goes on here, on this machine's
# loopback, and says so; LOOPBACK tells which ("private" or "shared").
# Usage: own_loopback SCRIPT ARGUMENTS...   (before anything else is started)
own_loopback() {
    local flags
    if [ "${LOOPBACK:-}" = private ]; then
        ip link set lo up && return 0
        echo "FAIL: could not bring up loopback in the private network namespace"
        exit 1
    fi
    for flags in -n -rn; do
        if unshare "$flags" true 2>/dev/null; then
            LOOPBACK=private exec unshare "$flags" bash "$@"
        fi
    done
    echo "note: no private network namespace here; running on this machine's loopback"
    LOOPBACK=shared
}

# Who holds a UDP port on 127.0.0.1, as far as the system tells: "PROGRAM (pid N)", or
# "another program" when ss is missing or may not say.
port_holder() {
    local holder=
    command -v ss >/dev/null &&
        holder=$(ss -Hulpn "sport = :$1" 2>/dev/null |
            sed -n 's/.*users:(("\([^"]*\)",pid=\([0-9]*\).*/\1 (pid \2)/p' | head -1)
    echo "${holder:-another program}"
}
