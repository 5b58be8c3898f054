#!/usr/bin/env bash
# Runs every ```sh block of the README, in order, in one scratch folder, each block in a new
# `bash -e` (a command that is expected to fail must say so, `|| echo ...`). Blocks marked
# ```console are shown only: installs, systemctl, real devices, programs that run until
# stopped. The scratch folder links `build` to the build folder and the checkout's
# `packaging` and `tools`; the build folder's programs are on PATH; simulated
# devices listen on 127.0.0.1 ports 31120 to 31123, as a reader would start them in another
# terminal.
# Datagrams stay on loopback: where the system allows it, everything runs in a private
# network namespace that has nothing but a loopback interface, and a block that names an
# address other than loopback, lets the simulator bind one or uses sudo is refused, not run.
# Usage: readme-examples.sh README.md BUILD_DIR
set -uo pipefail
readme=$(realpath "$1") build=$(realpath "$2")
source=$(dirname "$readme")

# shellcheck source=tests/tools/loopback.sh
. "$(dirname "$0")/loopback.sh"
own_loopback "$0" "$@"

scratch=$(mktemp -d) blocks=$(mktemp -d)
sims=()
cleanup() {
    local pid
    for pid in "${sims[@]}"; do kill "$pid" 2>/dev/null; done
    wait
    rm -rf "$scratch" "$blocks"
}
trap cleanup EXIT
ln -s "$build" "$scratch/build"
for dir in packaging tools; do ln -s "$source/$dir" "$scratch/$dir"; done
export PATH=$build:$PATH

for port in 31120 31121 31122 31123; do
    mkfifo "$blocks/sim"
    bootloader-sim --port "$port" --quiet >"$blocks/sim" &
    sims+=($!)
    exec {out}<"$blocks/sim" # kept open for the simulator's stdout
    rm "$blocks/sim"
    if ! IFS= read -r -t 10 line <&"$out" || [ "$line" != "bootloader-sim listening on 127.0.0.1:$port" ]; then
        echo "FAIL: no simulator on 127.0.0.1:$port:" \
            "UDP port $port is held by $(port_holder "$port")"
        exit 1
    fi
done

# Why a block must not run, if it must not: "" when it may.
refusal() {
    local address
    while read -r address; do
        [[ $address == 127.* ]] || { echo "names $address, which is not loopback"; return; }
    done < <(grep -oE '([0-9]{1,3}\.){3}[0-9]{1,3}' "$1")
    local v6
    v6=$(grep -oE '\[[0-9A-Fa-f:.]*:[0-9A-Fa-f:.]*\]' "$1")
    if [ -n "$v6" ] && grep -qvxF '[::1]' <<<"$v6"; then
        echo "names an IPv6 address other than [::1]"
    elif grep -qE -- '--allow-non-loopback|(^|[^[:alnum:]_-])sudo([^[:alnum:]_-]|$)' "$1"; then
        echo "uses sudo or --allow-non-loopback"
    fi
}

awk -v dir="$blocks" '
    /^```sh$/  { file = sprintf("%s/%04d.sh", dir, NR + 1); printf "" > file; next }
    /^```/     { file = ""; next }
    file != "" { print > file }' "$readme"

count=0 failed=0
for file in "$blocks"/*.sh; do
    [ -e "$file" ] || break
    count=$((count + 1))
    line=$((10#$(basename "$file" .sh)))
    echo "=== README.md:$line: $(head -1 "$file")"
    reason=$(refusal "$file")
    if [ -n "$reason" ]; then
        echo "REFUSED README.md:$line: the block $reason"
        failed=$((failed + 1))
        continue
    fi
    status=0
    (cd "$scratch" && timeout 60 bash -e "$file" 2>&1) || status=$?
    if [ "$status" -eq 0 ]; then
        echo "ok   README.md:$line"
    else
        echo "FAIL README.md:$line: exit status $status"
        failed=$((failed + 1))
    fi
done

echo "$((count - failed)) of $count README blocks ran cleanly (loopback: $LOOPBACK)"
[ "$count" -gt 0 ] && [ "$failed" -eq 0 ]
