#!/usr/bin/env bash
# A signal handler runs between any two instructions of the program, inside malloc or a
# mutex held by qDebug(): it may call only async-signal-safe functions (signal-safety(7)).
# Finds every handler the programs install (sa_handler = NAME, std::signal(SIG, NAME)) and
# checks each call in its body against that list; errno, which write() may change, must be
# given back.
# Usage: signal-handlers.sh SOURCE_DIR
set -u
# shellcheck source=tests/tools/checks.sh
. "$(dirname "$0")/checks.sh"
cd "$1" || exit 1
folders=(core posix session station cli sim window)

# The async-signal-safe functions a handler here might want; functional casts to plain types.
safe=" _exit _Exit abort close fcntl fsync getpid kill memcpy memset open raise read sigaction
    sigaddset sigemptyset sigprocmask strlen write char int unsigned quint8 size_t ssize_t "

handlers=$(grep -rhoE 'sa_handler = [A-Za-z_]+|std::signal\([A-Z]+, [A-Za-z_]+\)' \
    -- "${folders[@]}" | sed -E 's/.*[ (,] ?([A-Za-z_]+)\)?$/\1/' |
    grep -vxE 'SIG_(IGN|DFL)' | sort -u)

# The body of the function NAME defined at the start of a line, comments and strings removed.
body() {
    # shellcheck disable=SC2016 # $0 is awk's
    grep -rlE "^[a-z].*[ *]$1\(int" -- "${folders[@]}" | head -1 |
        xargs -r awk -v name="$1" '
            $0 ~ "^[a-z].*[ *]" name "\\(int" { inside = 1; next }
            inside && /^}/ { exit }
            inside { sub(/\/\/.*/, ""); gsub(/"([^"\\]|\\.)*"/, "\"\""); print }'
}

only_safe_calls() { # only_safe_calls NAME
    local code call bad=
    code=$(body "$1")
    [ -n "$code" ] || { echo "  no body found for $1"; return 1; }
    for call in $(grep -oE '[A-Za-z_][A-Za-z0-9_:]*[[:space:]]*\(' <<<"$code" | tr -d ' (' |
        sed 's/.*:://' | grep -vxE 'if|while|for|switch|return|sizeof'); do
        [[ $safe == *" $call "* ]] || bad+=" $call"
    done
    [ -z "$bad" ] || { echo "  calls what is not async-signal-safe:$bad"; return 1; }
}

gives_errno_back() { # gives_errno_back NAME
    local code
    code=$(body "$1")
    grep -qE '= errno;' <<<"$code" && grep -qE '^[[:space:]]*errno = ' <<<"$code"
}

check "the programs install a signal handler" test -n "$handlers"
for handler in $handlers; do
    check "$handler calls only async-signal-safe functions" only_safe_calls "$handler"
    check "$handler saves errno and gives it back" gives_errno_back "$handler"
done
checks_done
