#!/usr/bin/env bash
# Captures a real upload, check and start of bootloader-cli against bootloader-sim on the
# loopback interface and counts, with the Wireshark dissector, the commands and replies a
# 917504-byte image takes: 1792 Writes and their replies, one Start, End, Check and
# StartApplication. Everything stays on 127.0.0.1.
# Usage: capture-test.sh BOOTLOADER-CLI BOOTLOADER-SIM PATH/TO/bootloader.lua
# Exit 77 (skipped) without dumpcap/tshark or without the right to capture on lo
# (root or CAP_NET_RAW).
set -uo pipefail
cli=${1:?usage: capture-test.sh CLI SIM DISSECTOR}
sim=${2:?usage: capture-test.sh CLI SIM DISSECTOR}
script=${3:?usage: capture-test.sh CLI SIM DISSECTOR}
for tool in dumpcap tshark; do
    command -v "$tool" >/dev/null || { echo "capture-test: $tool not installed, skipped"; exit 77; }
done
# shellcheck source=tests/tools/own-dissector.sh
. "$(dirname "$0")/own-dissector.sh"
own_dissector "$0" "$@"
work=$(mktemp -d)
sim_pid=
capture_pid=
cleanup() {
    [ -n "$capture_pid" ] && kill "$capture_pid" 2>/dev/null
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null
    wait 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
export HOME=$work # no personal preferences or plugins of whoever runs this
fail() {
    echo "FAIL $*"
    [ -s "$work/dumpcap.err" ] && sed 's/^/dumpcap: /' "$work/dumpcap.err"
    exit 1
}

# until SECONDS COMMAND...: polls COMMAND until it succeeds, at most SECONDS.
until_true() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.05
    done
}

"$sim" --port 0 --quiet >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
sim_listening() { grep -q '^bootloader-sim listening on 127\.0\.0\.1:[0-9]' "$work/sim.out"; }
until_true 10 sim_listening || fail "bootloader-sim did not start: $(cat "$work/sim.err")"
port=$(sed -n '1s/^bootloader-sim listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/sim.out")
[ -n "$port" ] || fail "no port in: $(head -1 "$work/sim.out")"

dumpcap -q -i lo -f "udp port $port" -w "$work/upload.pcapng" 2>"$work/dumpcap.err" &
capture_pid=$!
capture_reported() {
    grep -q '^File: ' "$work/dumpcap.err" || ! kill -0 "$capture_pid" 2>/dev/null
}
until_true 10 capture_reported || fail "dumpcap did not start"
if ! kill -0 "$capture_pid" 2>/dev/null; then
    if grep -qiE 'permission|not permitted|privileges' "$work/dumpcap.err"; then
        echo "capture-test: no right to capture on lo, skipped: $(head -1 "$work/dumpcap.err")"
        exit 77
    fi
    fail "dumpcap stopped"
fi

decode_capture() { # decode_capture [tshark options...]
    tshark -X "lua_script:$script" -o "bootloader.port:$port" -r "$work/upload.pcapng" "$@"
}
# marker NAME: a request the simulator answers "unknown request name", sent until the capture
# file holds it. Whatever went to the port before it is then in the file too.
marker() {
    local name=$1
    local length
    printf -v length '\\x%02x' "${#name}"
    marker_seen() {
        printf "\\x03\\x01$length%s" "$name" >"/dev/udp/127.0.0.1/$port"
        [ -n "$(decode_capture -T fields -e frame.number -Y "bootloader.name == \"$name\"" \
            2>/dev/null)" ]
    }
    until_true 20 marker_seen
}
marker CaptureStarted || fail "the capture did not see the first marker"

printf 'firmware build output %s\n' {1..20000} >"$work/firmware.bin"
start=$SECONDS
"$cli" postbuild "$work/firmware.bin" --output "$work/image.bin" -q || fail "postbuild"
"$cli" upload "$work/image.bin" --device "127.0.0.1:$port" --timeout 5 -q >"$work/cli.out" ||
    fail "upload exit $?: $(cat "$work/cli.out")"
"$cli" check --device "127.0.0.1:$port" --timeout 5 -q >>"$work/cli.out" || fail "check exit $?"
"$cli" start --device "127.0.0.1:$port" --timeout 5 -q >>"$work/cli.out" || fail "start exit $?"
echo "upload, check and start took $((SECONDS - start)) s"

marker CaptureDone || fail "the capture did not see the last marker"
kill "$capture_pid"
wait "$capture_pid"
capture_pid=

decode_capture -T fields -E separator='|' -e bootloader.kind -e bootloader.type \
    -e bootloader.name -e bootloader.payload_len -e bootloader.reply.command \
    -e bootloader.reply.status -e bootloader.expected_seq -e bootloader.malformed \
    >"$work/decoded" 2>"$work/tshark.err"
if grep -qiE 'Lua: Error|Lua Error' "$work/decoded" "$work/tshark.err"; then
    fail "Lua error: $(grep -ihE 'Lua' "$work/decoded" "$work/tshark.err" | head -3)"
fi

passed=0
failed=0
expect() { # expect DESCRIPTION COUNT AWK-CONDITION
    local n
    n=$(awk -F'|' "$3 { n++ } END { print n + 0 }" "$work/decoded")
    if [ "$n" = "$2" ]; then
        passed=$((passed + 1))
        echo "ok   $1: $n"
    else
        failed=$((failed + 1))
        echo "FAIL $1: $n, expected $2"
    fi
}
# Fields, awk's $1 to $8 (single-quoted on purpose): 1 kind, 2 type, 3 name, 4 payload length,
# 5 command answered, 6 status, 7 expected sequence (wrong sequence), 8 malformed
# shellcheck disable=SC2016
{
    expect "Write requests of 512 bytes" 1792 \
        '$1 == "command" && $2 == 3 && $3 == "Write" && $4 == 512'
    expect "Write requests in all" 1792 '$3 == "Write"'
    expect "successful replies to Write" 1792 '$1 == "reply" && $5 == 3 && $6 == "0xac"'
    expect "replies to Write in all" 1792 '$1 == "reply" && $5 == 3'
    expect "Start requests" 1 '$1 == "command" && $2 == 3 && $3 == "Start"'
    expect "Start replies, success" 1 '$1 == "reply" && $5 == 2 && $6 == "0xac"'
    expect "End requests" 1 '$1 == "command" && $2 == 3 && $3 == "End"'
    expect "End replies, success" 1 '$1 == "reply" && $5 == 4 && $6 == "0xac"'
    expect "Check requests" 1 '$1 == "command" && $2 == 3 && $3 == "Check"'
    expect "Check replies, success" 1 '$1 == "reply" && $5 == 5 && $6 == "0xac"'
    expect "StartApplication notices" 1 '$1 == "command" && $2 == 1 && $3 == "StartApplication"'
    expect "replies flagged with a wrong sequence" 0 '$7 != ""'
    expect "malformed datagrams" 0 '$8 != ""'
    expect "datagrams the dissector did not take" 0 '$1 == ""'
}

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
