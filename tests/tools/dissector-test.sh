#!/usr/bin/env bash
# Decodes hand-made bootloader datagrams with the Wireshark dissector and compares every
# decoded field with what it must be. Nothing is captured: text2pcap writes the capture.
# tshark exits 0 even when a Lua script fails, so only the decoded text counts.
# Usage: dissector-test.sh PATH/TO/bootloader.lua     (exit 77: tshark or text2pcap missing)
set -uo pipefail
script=${1:?usage: dissector-test.sh PATH/TO/bootloader.lua}
[ -f "$script" ] || { echo "dissector-test: no $script" >&2; exit 2; }
for tool in tshark text2pcap; do
    command -v "$tool" >/dev/null ||
        { echo "dissector-test: $tool not installed, skipped"; exit 77; }
done
# shellcheck source=tests/tools/own-dissector.sh
. "$(dirname "$0")/own-dissector.sh"
own_dissector "$0" "$@"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export HOME=$work # no personal preferences or plugins of whoever runs this

passed=0
failed=0
report() { # report OK DESCRIPTION
    if [ "$1" = 0 ]; then
        passed=$((passed + 1))
        echo "ok   $2"
    else
        failed=$((failed + 1))
        echo "FAIL $2"
    fi
}

# packet DIRECTION HEXBYTES...: one datagram as text2pcap reads it, 16 bytes per line; an
# argument may hold several bytes ("$(hex Ping)"). I goes client -> device (a command),
# O device -> client (a reply).
packet() {
    local dir=$1
    shift
    local bytes i line
    read -r -d '' -a bytes <<<"$*"
    for ((i = 0; i < ${#bytes[@]}; i += 16)); do
        line=$(printf '%06x' "$i")
        [ "$i" -eq 0 ] && line="$dir $line"
        echo "$line ${bytes[*]:i:16}"
    done
}
hex() { printf '%s' "$1" | od -An -v -tx1; } # ASCII text as hex bytes
# make_pcap OUT SRCPORT,DSTPORT: the packets on stdin, to 127.0.0.1 -> 127.0.0.2
make_pcap() {
    text2pcap -q -D -4 127.0.0.1,127.0.0.2 -u "$2" - "$1" 2>"$work/text2pcap.err" || {
        cat "$work/text2pcap.err" >&2
        return 1
    }
}
fields=(-T fields -E separator='|' -e frame.number -e bootloader.kind -e bootloader.type
    -e bootloader.seq -e bootloader.name -e bootloader.payload_len -e bootloader.reply.command
    -e bootloader.reply.status -e bootloader.expected_seq -e bootloader.malformed -e _ws.col.Info)
# decode CAPTURE [tshark options...]: decoded fields on stdout; fails on any Lua error
decode() {
    local capture=$1
    shift
    tshark -X "lua_script:$script" -r "$capture" "$@" >"$work/out" 2>"$work/err"
    if grep -qiE 'Lua: Error|Lua Error|Dissector bug' "$work/out" "$work/err"; then
        echo "Lua error while decoding $capture:" >&2
        grep -iE 'Lua' "$work/out" "$work/err" | head -5 >&2
        return 1
    fi
    cat "$work/out"
}
compare() { # compare DESCRIPTION ACTUAL-FILE EXPECTED (text)
    if diff -u <(printf '%s\n' "$3") "$2" >"$work/diff"; then
        report 0 "$1"
    else
        report 1 "$1"
        cat "$work/diff"
    fi
}

block=()
for ((i = 0; i < 512; i++)); do block+=("$(printf '%02x' $((i * 7 % 256)))"); done

# An exchange as the window or bootloader-cli has it with bootloader-sim, with the faults
# a device or a network can add.
{
    packet I 03 01 04 "$(hex Ping)"                # 1 Ping request
    packet O 02 01 01 73                           # 2 its keep-alive
    packet I 03 02 05 "$(hex Start)"               # 3 Start request
    packet O 02 02 02 ac                           # 4 success
    packet I 03 0c 05 "$(hex Write)" "${block[@]}" # 5 Write with 512 bytes
    packet O 02 0c 03 ac                           # 6 success
    packet I 03 0d 05 "$(hex Write)" ff ff         # 7 Write with 2 bytes
    packet O 02 0d 03 02                           # 8 refused: past the image end
    packet O 02 63 01 73                           # 9 keep-alive with any sequence
    packet I 03 0e 05 "$(hex Check)"               # 10 Check
    packet O 02 0f 05 ac                           # 11 wrong sequence
    packet I 01 0f 03 "$(hex End)"                 # 12 End notice
    packet I 03 01                                 # 13 two bytes
    packet I 03 10 09 "$(hex Pi)"                  # 14 name runs past the end
    packet O 02 10 03                              # 15 three-byte reply
    packet I 03 11 03 "$(hex Abc)"                 # 16 unknown name
    packet O 02 11 00 05                           # 17 refused: unknown name
    packet I 01 12 10 "$(hex StartApplication)"    # 18 StartApplication notice
    packet I 03 13 00                              # 19 empty name
    packet O 02 13 04 03                           # 20 not a valid image
    packet O 02 13 04 04                           # 21 forced failure
    packet O 01 13 04 57                           # 22 other status, other marker byte
    packet I 07 14 01 41                           # 23 unknown command type
} | make_pcap "$work/exchange.pcap" 40001,31120 || exit 1

decode "$work/exchange.pcap" "${fields[@]}" >"$work/fields" ||
    report 1 "decoding without a Lua error"
compare "every datagram decodes to its fields and Info text" "$work/fields" \
'1|command|3|1|Ping|0|||||Ping request seq=1
2|reply||1|||1|0x73|||reply seq=1 keep-alive (Ping)
3|command|3|2|Start|0|||||Start request seq=2
4|reply||2|||2|0xac|||reply seq=2 success (Start)
5|command|3|12|Write|512|||||Write request seq=12 len=512
6|reply||12|||3|0xac|||reply seq=12 success (Write)
7|command|3|13|Write|2|||||Write request seq=13 len=2
8|reply||13|||3|0x02|||reply seq=13 Write refused: past 917504 bytes (Write)
9|reply||99|||1|0x73|||reply seq=99 keep-alive (Ping)
10|command|3|14|Check|0|||||Check request seq=14
11|reply||15|||5|0xac|14||reply seq=15 success (Check) [wrong seq, expected 14]
12|command|1|15|End|0|||||End notice seq=15
13|command||||||||1|Malformed command: 2 bytes, shorter than the 3-byte header
14|command|3|16||||||1|Malformed command: name of 9 bytes runs past the end (2 bytes left)
15|reply||||||||1|Malformed reply: 3 bytes, shorter than 4
16|command|3|17|Abc|0|||||Abc request seq=17
17|reply||17|||0|0x05|||reply seq=17 unknown request name
18|command|1|18|StartApplication|0|||||StartApplication notice seq=18
19|command|3|19||0||||| request seq=19
20|reply||19|||4|0x03|||reply seq=19 not a valid image (End)
21|reply||19|||4|0x04|||reply seq=19 forced failure (End)
22|reply||19|||4|0x57|||reply seq=19 failure 0x57 (End)
23|command|7|20|A|0|||||A type-7 command seq=20'

# The detail view: the experts, no exception from the dissector.
decode "$work/exchange.pcap" -V >"$work/detail" || report 1 "detail view without a Lua error"
report "$(grep -c 'Expert Info (Error/Malformed)' "$work/detail" | grep -qx 3; echo $?)" \
    "detail view: three malformed datagrams flagged as errors"
wrong='Expert Info (Warning/Sequence): Reply carries seq 15, the last command had seq 14'
report "$(grep -cF "$wrong" "$work/detail" | grep -qx 1; echo $?)" \
    "detail view: the wrong sequence flagged"
report "$(grep -qF '[Malformed Packet' "$work/detail"; [ $? -eq 1 ]; echo $?)" \
    "no dissector exception (Malformed Packet) anywhere"

# The payload is all 512 bytes after the name, found by a filter a user would type.
decode "$work/exchange.pcap" -Y 'bootloader.name == "Write" && bootloader.payload_len == 512' \
    -T fields -e frame.number -e bootloader.payload >"$work/filtered" ||
    report 1 "filtering without a Lua error"
compare "filter on name and length finds the Write; its payload is the 512 bytes" \
    "$work/filtered" "5	$(IFS=; echo "${block[*]}")"

# The port preference moves the dissector: another port decodes, 31120 no longer does.
{
    packet I 03 05 04 "$(hex Ping)"
    packet O 02 05 01 73
} | make_pcap "$work/otherport.pcap" 40002,41000 || exit 1
protocols=(-T fields -e frame.protocols)
decode "$work/otherport.pcap" "${protocols[@]}" >"$work/other-default" || report 1 "other port"
compare "port 41000 is not decoded by default" "$work/other-default" 'eth:ethertype:ip:udp:data
eth:ethertype:ip:udp:data'
decode "$work/otherport.pcap" -o bootloader.port:41000 "${fields[@]}" >"$work/other-pref" ||
    report 1 "other port with preference"
compare "preference bootloader.port:41000 decodes port 41000" "$work/other-pref" \
'1|command|3|5|Ping|0|||||Ping request seq=5
2|reply||5|||1|0x73|||reply seq=5 keep-alive (Ping)'
decode "$work/exchange.pcap" -o bootloader.port:41000 "${protocols[@]}" >"$work/moved" ||
    report 1 "moved port"
report "$(grep -q bootloader "$work/moved"; [ $? -eq 1 ]; echo $?)" \
    "with the preference moved, port 31120 is no longer decoded"

# Both ends on the port: the first byte tells a command (1 or 3) from a reply.
{
    packet I 03 07 05 "$(hex Check)"
    packet O 02 07 05 ac
    packet I 01 08 03 "$(hex End)"
} | make_pcap "$work/sameport.pcap" 31120,31120 || exit 1
decode "$work/sameport.pcap" -T fields -E separator='|' -e bootloader.kind -e _ws.col.Info \
    >"$work/same" || report 1 "same port"
compare "both ports 31120: told apart by the first byte" "$work/same" \
'command|Check request seq=7
reply|reply seq=7 success (Check)
command|End notice seq=8'

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
