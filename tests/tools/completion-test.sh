#!/usr/bin/env bash
# Loads the bash completions of bootloader-cli and bootloader-sim the way bash-completion
# does (a file named after the command), completes command lines as the shell would after
# a Tab, and compares the candidates. Given the programs, also checks that every option
# their --help lists is offered.
# Usage: completion-test.sh COMPLETION-DIR [BOOTLOADER-CLI BOOTLOADER-SIM]
# Exit 77 (skipped) without bash-completion.
set -uo pipefail
dir=$(cd "${1:?usage: completion-test.sh COMPLETION-DIR [CLI SIM]}" && pwd) || exit 2
cli=${2:+$(realpath "$2")}
sim=${3:+$(realpath "$3")}
helpers=/usr/share/bash-completion/bash_completion
[ -f "$helpers" ] || { echo "completion-test: bash-completion not installed, skipped"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

passed=0
failed=0
report() { # report OK DESCRIPTION [DETAIL]
    if [ "$1" = 0 ]; then
        passed=$((passed + 1))
        echo "ok   $2"
    else
        failed=$((failed + 1))
        echo "FAIL $2${3:+: $3}"
    fi
}

for file in bootloader-cli bootloader-sim; do
    report "$(bash -n "$dir/$file" 2>&1 >/dev/null | grep -q .; [ $? -eq 1 ]; echo $?)" \
        "$file: valid bash"
done

# Only this folder provides completions: an installed copy must not answer instead.
mkdir -p "$work/user" "$work/files/sub"
ln -s "$dir" "$work/user/completions"
export BASH_COMPLETION_USER_DIR=$work/user XDG_DATA_DIRS=$work/none
# shellcheck disable=SC1090
. "$helpers"
for command in bootloader-cli bootloader-sim; do
    __load_completion "$command" 2>"$work/load.err"
    report "$(complete -p "$command" 2>/dev/null | grep -q -- "-F _"; echo $?)" \
        "$command: loaded on demand from a file named after it" "$(cat "$work/load.err")"
done
touch "$work/files/a.bin" "$work/files/b.txt" "$work/files/c.BIN"
cd "$work/files" || exit 1

# candidates LINE: what Tab offers at the end of LINE, sorted, space-separated.
candidates() {
    local line=$1 function
    COMP_LINE=$line
    COMP_POINT=${#line}
    read -ra COMP_WORDS <<<"$line"
    [[ $line == *' ' ]] && COMP_WORDS+=('')
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    function=$(complete -p "${COMP_WORDS[0]}" | sed -n 's/.*-F \([^ ]*\).*/\1/p')
    "$function" "${COMP_WORDS[0]}" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    printf '%s\n' "${COMPREPLY[@]}" | sed '/^$/d' | sort | paste -sd' '
}

all_files='a.bin b.txt c.BIN sub'
bin_files='a.bin c.BIN sub'
while IFS='|' read -r line expected; do
    actual=$(candidates "$line")
    report "$([ "$actual" = "$expected" ]; echo $?)" "'$line' -> '$expected'" "got '$actual'"
done <<EOF
bootloader-cli up|upload
bootloader-cli |check inspect postbuild start station upload
bootloader-cli st|start station
bootloader-cli --timeout 5 -q u|upload
bootloader-cli --tim|--timeout
bootloader-cli --re|--retries --retry-after
bootloader-cli --devices|--devices-from
bootloader-cli upload |$bin_files
bootloader-cli upload a|a.bin
bootloader-cli upload a.bin |
bootloader-cli upload a.bin --|$(
    printf '%s\n' --check --config --count --device --devices-from --expect-sha256 --force \
        --gone-after --help --help-all --interface --journal --json --log-file --metrics --name \
        --no-start --output --quiet --retries --retry-after --start --timeout --verbose --version |
        paste -sd' '
)
bootloader-cli station |$bin_files
bootloader-cli station a.bin --journal |$all_files
bootloader-cli station --config |$all_files
bootloader-cli station --count 5 --gone-after 3 |$bin_files
bootloader-cli station --gone-after |
bootloader-cli station a.bin --no|--no-start
bootloader-cli postbuild |$bin_files
bootloader-cli postbuild a.bin --output |$bin_files
bootloader-cli postbuild a.bin -o |$bin_files
bootloader-cli inspect |$bin_files
bootloader-cli inspect a.bin |$bin_files
bootloader-cli check |
bootloader-cli check --device |
bootloader-cli upload --device 127.0.0.1 |$bin_files
bootloader-cli upload --devices-from |$all_files
bootloader-cli check --log-file |$all_files
bootloader-sim --dr|--drop-answer --drop-every
bootloader-sim --fail W|Write
bootloader-sim --fail |Check End Ping Start Write
bootloader-sim --save |$bin_files
bootloader-sim --port |
bootloader-sim |
EOF

# Every option a program's --help lists must be offered after "--".
offered_by_help() { # offered_by_help PROGRAM NAME
    local help missing=() option offered
    help=$("$1" --help) || return 1
    offered=" $(candidates "$2 --") $(candidates "$2 -") "
    while read -r option; do
        [[ $offered == *" $option "* ]] || missing+=("$option")
    done < <(grep -oE '^ +(-[a-zA-Z], )?--[a-z][a-z0-9-]*' <<<"$help" |
        grep -oE -- '--?[a-z][a-z0-9-]*')
    [ ${#missing[@]} -eq 0 ] || { echo "not offered: ${missing[*]}"; return 1; }
}
for pair in "$cli bootloader-cli" "$sim bootloader-sim"; do
    read -r program name <<<"$pair"
    [ -n "$name" ] || continue
    detail=$(offered_by_help "$program" "$name")
    report $? "$name: every option of --help is offered" "$detail"
done

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
