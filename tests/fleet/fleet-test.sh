#!/usr/bin/env bash
# Runs the playbooks of deploy/ansible with the real ansible-playbook against three stations
# that are all this machine (ansible_connection=local). Each station has its own simulators
# on loopback ports the system picked and its own folders in place of /etc/bootloader and
# /var/lib/bootloader; station bravo has a device that refuses the image (--fail End).
# Nothing is installed and systemd is never touched (bootloader_install and
# bootloader_manage_unit are false): where a service would run, the test runs the unit's
# own ExecStart line with --count, against simulators that swap boards (--swap-ms), on
# alpha and bravo; charlie's station never runs, so collect.yml meets it without a journal.
# Usage: fleet-test.sh DEPLOY-DIR UNIT-FILE BOOTLOADER-CLI BOOTLOADER-SIM
# FLEET_TEST_KEEP=1 keeps the work folder (its path is printed) with every run's output.
# Exit 77 (skipped) without ansible-playbook.
set -uo pipefail
deploy=$(cd "${1:?usage: fleet-test.sh DEPLOY-DIR UNIT-FILE CLI SIM}" && pwd) || exit 2
unit=$(realpath "$2") && cli=$(realpath "$3") && sim=$(realpath "$4") || exit 2
command -v ansible-playbook >/dev/null || {
    echo "fleet-test: ansible-playbook is not installed (package ansible-core), skipped"
    exit 77
}
work=$(mktemp -d)
[ -n "${FLEET_TEST_KEEP:-}" ] && echo "fleet-test: work folder $work"
sims=()
cleanup() {
    local pid
    for pid in "${sims[@]}"; do kill "$pid" 2>/dev/null; done
    wait 2>/dev/null
    [ -n "${FLEET_TEST_KEEP:-}" ] || rm -rf "$work"
}
trap cleanup EXIT

# shellcheck source=tests/tools/checks.sh
. "$(dirname "$0")/../tools/checks.sh"
started=$SECONDS
took() { echo "--- $1 (at $((SECONDS - started)) s)"; }

swap=(--swap-ms 3500) # the stations' boards leave for their application, then a new one comes

# start_sim NAME [OPTION...]: a simulator on a loopback port the system picks, in port[NAME].
declare -A port
start_sim() {
    local log=$work/sim-$1.log _
    "$sim" --bind 127.0.0.1 --port 0 --verbose "${swap[@]}" --save "$work/sim-$1.bin" \
        "${@:2}" >"$log" 2>&1 &
    sims+=($!)
    for _ in $(seq 100); do
        port[$1]=$(sed -n 's/^bootloader-sim listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$log")
        [ -n "${port[$1]}" ] && return 0
        sleep 0.05
    done
    echo "fleet-test: simulator $1 did not start: $(cat "$log")" >&2
    return 1
}

head -c 70000 /dev/urandom >"$work/app.bin"
"$cli" postbuild "$work/app.bin" --output "$work/target.bin" --quiet || exit 1
declare -A slots=([alpha]="a1 a2" [bravo]="b1 b2" [charlie]="c1")
for name in a1 a2 b1 c1; do start_sim "$name" || exit 1; done
start_sim b2 --fail End || exit 1
{
    echo "stations:"
    echo "  vars:"
    echo "    ansible_connection: local"
    echo "    ansible_python_interpreter: \"{{ ansible_playbook_python }}\""
    echo "    bootloader_install: false"
    echo "    bootloader_manage_unit: false"
    echo "    bootloader_cli: $cli"
    echo "    bootloader_image: $work/target.bin"
    echo "    bootloader_gone_after: 2"
    echo "    bootloader_results_dir: $work/results"
    echo "    bootloader_journals_dir: $work/journals"
    echo "  hosts:"
    for host in alpha bravo charlie; do
        echo "    $host:"
        echo "      bootloader_config_dir: $work/$host/etc"
        echo "      bootloader_state_dir: $work/$host/var"
        echo "      bootloader_image_dir: $work/$host/images"
        echo "      bootloader_slots:"
        for name in ${slots[$host]}; do echo "        - 127.0.0.1:${port[$name]}"; done
    done
} >"$work/inventory.yml"

export ANSIBLE_CONFIG=$deploy/ansible.cfg ANSIBLE_HOME=$work/ansible-home \
    ANSIBLE_LOCAL_TEMP=$work/ansible-tmp ANSIBLE_NOCOLOR=1 ANSIBLE_DEPRECATION_WARNINGS=0
# play NAME PLAYBOOK... [OPTION...]: runs ansible-playbook; output in $work/NAME.out, exit status in $work/NAME.rc.
play() {
    (cd "$deploy" && ansible-playbook -i "$work/inventory.yml" "${@:2}") >"$work/$1.out" 2>&1
    echo $? >"$work/$1.rc"
    took "$1: ansible-playbook ${*:2}: exit status $(cat "$work/$1.rc")"
}
status_is() { [ "$(cat "$work/$1.rc")" = "$2" ] || { cat "$work/$1.out"; false; }; }
# recap RUN HOST FIELD: a number from the PLAY RECAP line of HOST.
recap() { sed -n "s/^$2 *:.* $3=\([0-9]*\).*/\1/p" "$work/$1.out"; }
recap_is() { [ "$(recap "$1" "$2" "$3")" = "$4" ]; }
shows() { grep -qF -- "$2" "$work/$1.out" || { echo "  not in $1's output: $2"; false; }; }
count_requests() { grep -c "<- request $2 " "$work/sim-$1.log"; }

play syntax flash.yml station.yml collect.yml --syntax-check
check "flash.yml, station.yml and collect.yml pass --syntax-check" status_is syntax 0
example_stations() {
    ansible-inventory -i "$deploy/inventory.example.yml" --graph stations 2>&1 | grep -c -- '--'
}
check "inventory.example.yml parses, three stations" test "$(example_stations)" = 3

# Before anything was set up: --check reports what would change, and changes nothing.
# --limit leaves the controller out of the play: the summary must still be printed.
play flash-check flash.yml --check --limit stations
check "flash.yml --check exits 0" status_is flash-check 0
check "flash.yml --check reports changes" test "$(recap flash-check alpha changed)" -gt 0
check "flash.yml --check says what it would flash" \
    shows flash-check "would upload $work/bravo/images/target.bin"
check "flash.yml --check erases no device" \
    test "$(cat "$work"/sim-*.log | grep -c '<- request Start ')" = 0
check "flash.yml --check --limit prints the summary" \
    shows flash-check "Check mode: nothing was flashed on 3 stations."
check "flash.yml --check copies no image" test ! -e "$work/alpha/images/target.bin"
check "flash.yml --check fetches nothing" test ! -e "$work/results"

play station station.yml
check "station.yml exits 0" status_is station 0
expected="IMAGE=$work/alpha/images/target.bin
NAME=alpha
DEVICES_FROM=$work/alpha/etc/alpha.devices
GONE_AFTER=2
NO_START=no
FORCE=no"
check "station-alpha.conf holds the inventory's settings" \
    test "$(grep -v '^#' "$work/alpha/etc/station-alpha.conf")" = "$expected"
check "alpha.devices lists alpha's two slots" \
    test "$(grep -cx '127\.0\.0\.1:[0-9]*' "$work/alpha/etc/alpha.devices")" = 2
check "the unit is left alone without systemd" shows station "is not enabled"

play station-again station.yml
for host in alpha bravo charlie; do
    check "a second station.yml changes nothing on $host" recap_is station-again "$host" changed 0
done

play flash flash.yml
check "flash.yml exits 2 (a host failed)" status_is flash 2
for host in alpha charlie; do check "$host did not fail" recap_is flash "$host" failed 0; done
check "bravo failed" recap_is flash bravo failed 1
for host in alpha bravo charlie; do
    count=$(echo "${slots[$host]}" | wc -w)
    check "results/RUN-ID/$host.jsonl fetched, one result per slot" \
        test "$(cat "$work"/results/*/"$host.jsonl" | grep -c '"event":"result"')" = "$count"
done
for name in a1 a2 b1 c1; do
    check "device $name holds the image" cmp -s "$work/target.bin" "$work/sim-$name.bin"
    check "device $name was erased once" test "$(count_requests "$name" Start)" = 1
    check "device $name was asked to check the image" test "$(count_requests "$name" Check)" = 1
done
check "bravo's failure names exit status 1 and its meaning" \
    shows flash "bootloader-cli upload exit status 1: a device refused the image"
check "bravo's failure names the refusing device" \
    shows flash "127.0.0.1:${port[b2]} failed: Uploaded with error :( (End answered 0x04)"
check "summary: stations" shows flash "Fleet: 3 stations, 2 passed, 1 failed"
check "summary: devices" shows flash "Devices: 4 ok, 1 failed, 5 in all"
check "summary: bravo" shows flash "bravo: 1 ok, 1 failed (exit status 1: a device refused"
check "summary: the failed device" \
    shows flash "Failed: bravo 127.0.0.1:${port[b2]} failed: Uploaded with error :( (End answered 0x04)"
sed -n '/TASK \[Print the fleet summary\]/,/^$/p' "$work/flash.out"

# Pinned: the right image is flashed again, its results kept beside the first run's; another
# image is refused on the controller before it is copied or any device is erased.
sha=$(sha256sum "$work/target.bin" | cut -d' ' -f1)
play flash-pinned flash.yml --limit charlie -e bootloader_image_sha256="${sha^^}"
check "a pinned flash.yml flashes charlie" status_is flash-pinned 0
check "the pin reaches the station's upload" \
    grep -q "\"image_sha256\":\"$sha\"" "$work/charlie/var/flash-charlie.jsonl"
check "two runs kept: results/RUN-ID/charlie.jsonl twice" \
    test "$(find "$work/results" -mindepth 2 -maxdepth 2 -name charlie.jsonl | wc -l)" = 2
starts=$(cat "$work"/sim-*.log | grep -c '<- request Start ')
head -c 100 /dev/urandom >"$work/raw.bin"
"$cli" postbuild "$work/raw.bin" --output "$work/other.bin" --quiet || exit 1
play flash-wrong flash.yml --limit alpha -e bootloader_image="$work/other.bin" -e bootloader_image_sha256="$sha"
check "another image than the pinned one: flash.yml exits 2" status_is flash-wrong 2
check "another image is refused, both fingerprints said" \
    shows flash-wrong "other.bin has SHA-256 $(sha256sum "$work/other.bin" | cut -d' ' -f1), but $sha is pinned"
check "another image is not copied" test ! -e "$work/alpha/images/other.bin"
check "another image erases no device" \
    test "$(cat "$work"/sim-*.log | grep -c '<- request Start ')" = "$starts"

# The service's command line, as the unit runs it, in this station's folders.
line=$(sed -n 's/^ExecStart=//p' "$unit")
declare -A pid
for host in alpha bravo; do # charlie's station never ran: it has no journal
    read -ra argv <<<"$(sed -e "s|/usr/bin/bootloader-cli|$cli|" -e "s|%i|$host|g" \
        -e "s|/etc/bootloader|$work/$host/etc|" -e "s|/var/lib/bootloader|$work/$host/var|" \
        -e "s|/run/|$work/$host/run/|" <<<"$line")"
    mkdir -p "$work/$host/run/bootloader-station-$host"
    [ "${argv[0]}" = "$cli" ] || { echo "fleet-test: unexpected ExecStart: $line" >&2; exit 1; }
    timeout 60 "${argv[@]}" --count 2 >"$work/run-$host.out" 2>&1 &
    pid[$host]=$!
done
for host in alpha bravo; do
    wait "${pid[$host]}"
    echo $? >"$work/run-$host.rc"
done
took "the unit's command line on two stations, two boards each"
check "station alpha exits 0" status_is run-alpha 0
check "station bravo exits 1 (a board failed)" status_is run-bravo 1
check "records name the station and its run" \
    grep -q '"run":"[0-9]\{8\}T[0-9]\{6\}Z-[0-9a-f]\{6\}".*"station":"alpha"' "$work/alpha/var/station-alpha.jsonl"
check "the unit's metrics count bravo's boards" \
    grep -q "^bootloader_station_boards_total{station=\"bravo\",slot=\"127.0.0.1:${port[b2]}\",result=\"failed\"} 1$" \
    "$work/bravo/run/bootloader-station-bravo/metrics.prom"
play collect collect.yml
check "collect.yml exits 0" status_is collect 0
check "journals fetched" test -s "$work/journals/bravo.jsonl"
check "yield of alpha" shows collect "alpha: 2 passed, 0 failed, 2 boards, yield 100.0 %"
check "yield of bravo" shows collect "bravo: 1 passed, 1 failed, 2 boards, yield 50.0 %"
check "a station without a journal counts as 0 boards" \
    shows collect "charlie: 0 passed, 0 failed, 0 boards, yield - % (no journal yet)"
check "yield in all" shows collect "All 3 stations: 3 passed, 1 failed, 4 boards, yield 75.0 %"
sed -n '/TASK \[Print the yield/,/^$/p' "$work/collect.out"

took "fleet test"
checks_done
