#!/usr/bin/env bash
# The folders are layers: each may include its own headers and those of the folders below it,
# never one above, and no file includes itself through others (a cycle).
#   core <- posix <- session <- station <- cli;  core, posix <- sim;  core <- window <- tools
# Usage: include-rules.sh SOURCE_DIR
set -u
# shellcheck source=tests/tools/checks.sh
. "$(dirname "$0")/checks.sh"
cd "$1" || exit 1

declare -A allowed=(
    [core]="core"
    [posix]="core posix"
    [session]="core posix session"
    [station]="core posix session station"
    [cli]="core posix session station cli"
    [sim]="core posix sim"
    [window]="core window"
    [tools]="core window"
)

# "FILE INCLUDED" for every project header a file includes.
edges() {
    grep -rHoE '^#include "[a-z]+/[a-z0-9_]+\.h"' -- "${!allowed[@]}" 2>/dev/null |
        sed -E 's/:#include "/ /; s/"$//'
}

no_upward_include() { # no_upward_include FOLDER
    local folder=$1 bad
    bad=$(edges | awk -v f="$folder" -v ok=" ${allowed[$1]} " \
        'index($1, f "/") == 1 { split($2, p, "/")
            if (index(ok, " " p[1] " ") == 0) print "  includes upward: " $0 }')
    [ -z "$bad" ] || { echo "$bad"; return 1; }
}

for folder in core posix session station cli sim window tools; do
    check "$folder/ includes only ${allowed[$folder]}" no_upward_include "$folder"
done

# A header's includes, as tsort pairs; tsort says "input contains a loop" on a cycle.
no_cycle() {
    local out
    out=$(edges | awk '{ src = $1; sub(/\.cpp$/, ".h", src); if (src != $2) print $2, src }' |
        tsort 2>&1 >/dev/null | sed 's/^/  /')
    [ -z "$out" ] || { echo "$out"; return 1; }
}
check "no include cycle between files" no_cycle
checks_done
