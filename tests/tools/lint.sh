#!/usr/bin/env bash
# The linters CI runs: shellcheck over every shell script of the project (the bash completions
# as bash), ansible-lint's production profile over the playbooks and the role. Exit 77 when
# the linter is not installed (scripts/deps.sh installs both for the tests).
# Usage: lint.sh shellcheck|ansible-lint SOURCE_DIR
set -uo pipefail
tool=$1
cd "$2" || exit 2
command -v "$tool" >/dev/null || { echo "lint: $tool not installed, skipped"; exit 77; }

case $tool in
shellcheck)
    # Scripts by name or by their #! line; build folders and git's own files left out.
    mapfile -t scripts < <(find . -path ./.git -prune -o -path './build*' -prune -o -type f \
        -print | sort | while read -r file; do
        [[ $file == *.sh ]] || head -n1 "$file" | grep -qE '^#!.*[/ ](ba)?sh$' && echo "$file"
    done)
    echo "shellcheck: ${#scripts[@]} scripts and the bash completions"
    # -x follows the files they source, named by their "shellcheck source=" lines.
    shellcheck -x "${scripts[@]}" && shellcheck -s bash packaging/bash-completion/*
    ;;
ansible-lint)
    cd deploy/ansible || exit 2
    # Nothing fetched (--offline), nothing kept in the caller's home.
    HOME=$(mktemp -d) && trap 'rm -rf "$HOME"' EXIT
    ansible-lint --offline --profile production --nocolor -p
    ;;
*)
    echo "lint: shellcheck or ansible-lint, not $tool" >&2
    exit 2
    ;;
esac
