# Sourced by the dissector tests: tshark loads the dissector under test and no other copy.
# shellcheck shell=bash
# A copy in tshark's global Lua plugin folder (the package's, once it is installed) registers
# the protocol first, and the one under test then fails to load ("there cannot be two
# protocols with the same description"). The test runs again in a private mount namespace in
# which that folder is empty; where the system allows none and a copy is there, it is
# skipped (77), naming the copy.
# Usage: own_dissector SCRIPT ARGUMENTS...   (before anything else is started)
own_dissector() {
    local folder flags copies
    folder=$(tshark -G folders 2>/dev/null | sed -n 's/^Global Lua Plugins:[[:space:]]*//p')
    [ -d "$folder" ] || return 0
    if [ "${OWN_DISSECTOR:-}" = private ]; then
        mount -t tmpfs -o ro tmpfs "$folder" && return 0
        echo "FAIL: could not hide $folder in the private mount namespace"
        exit 1
    fi
    for flags in -m -rm; do
        if unshare "$flags" true 2>/dev/null; then
            OWN_DISSECTOR=private exec unshare "$flags" bash "$@"
        fi
    done
    copies=$(grep -lE 'Proto *\( *"bootloader"' "$folder"/*.lua 2>/dev/null | tr '\n' ' ')
    if [ -n "$copies" ]; then
        echo "skipped: tshark would also load ${copies% }, an installed copy of the dissector," \
            "and no private mount namespace can hide it here"
        exit 77
    fi
}
