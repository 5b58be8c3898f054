#!/usr/bin/env bash
# The station's metrics with Debian's own Prometheus tools: a station on three simulated
# slots flashes three boards and keeps its metrics (as the unit does: in a folder of its
# own, linked from node_exporter's textfile folder); promtool checks the file and the alert
# rules and runs their unit tests; prometheus-node-exporter, on a free loopback port, serves
# the station's series back over HTTP.
# Usage: metrics-test.sh SOURCE-DIR BOOTLOADER-CLI BOOTLOADER-SIM
# Exit 77 (skipped) without promtool (package prometheus), prometheus-node-exporter or curl.
set -uo pipefail
source=$(realpath "$1") cli=$(realpath "$2") sim=$(realpath "$3") || exit 2
exporter=/usr/bin/prometheus-node-exporter
for tool in promtool curl "$exporter"; do
    command -v "$tool" >/dev/null ||
        { echo "metrics-test: $tool is not installed, skipped"; exit 77; }
done
work=$(mktemp -d)
pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
    wait 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
# shellcheck source=tests/tools/checks.sh
. "$(dirname "$0")/checks.sh"

# started LOG PATTERN: waits until LOG holds PATTERN (a program that is listening).
started() {
    local _
    for _ in $(seq 200); do grep -q "$2" "$1" && return 0; sleep 0.05; done
    cat "$1" >&2
    return 1
}

head -c 5000 /dev/urandom >"$work/app.bin"
"$cli" postbuild "$work/app.bin" --output "$work/target.bin" --quiet || exit 1
devices=()
for i in 1 2 3; do # boards that stay in their slots: one board each
    "$sim" --port 0 >"$work/sim$i.log" 2>&1 &
    pids+=($!)
    started "$work/sim$i.log" "listening on" || exit 1
    devices+=(-d "$(sed -n 's/^bootloader-sim listening on //p' "$work/sim$i.log")")
done
mkdir -p "$work/run" "$work/textfile"
ln -s "$work/run/metrics.prom" "$work/textfile/bootloader-station-t1.prom"
"$cli" station "$work/target.bin" "${devices[@]}" --journal "$work/j.jsonl" --count 3 \
    --name t1 --metrics "$work/run/metrics.prom" --quiet
check "the station flashed three boards" test "$(grep -c '"result":"ok"' "$work/j.jsonl")" = 3
check "nothing but the metrics file in its folder" test "$(ls -A "$work/run")" = metrics.prom
out=$(promtool check metrics <"$work/run/metrics.prom" 2>&1)
check "promtool check metrics: no problem${out:+: $out}" test -z "$out"
check "three boards passed" \
    test "$(grep -c '^bootloader_station_boards_total{station="t1",slot="[^"]*",result="ok"} 1$' \
        "$work/run/metrics.prom")" = 3
check "three uploads timed" \
    grep -q '^bootloader_station_board_step_seconds_count{station="t1",step="upload"} 3$' \
    "$work/run/metrics.prom"

rules=$source/deploy/prometheus/bootloader-rules.yml
check "promtool check rules" promtool check rules "$rules"
check "promtool test rules: each alert firing and not" \
    promtool test rules "$source/tests/prometheus/bootloader-rules.test.yml"

# A free port: the system picks one for a moment; should another program take it meanwhile,
# the exporter says so and the check fails.
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
"$exporter" --web.listen-address="127.0.0.1:$port" --collector.disable-defaults \
    --collector.textfile --collector.textfile.directory="$work/textfile" >"$work/exporter.log" 2>&1 &
pids+=($!)
started "$work/exporter.log" "Listening on" || exit 1
scrape=$(curl -sf "http://127.0.0.1:$port/metrics")
check "node_exporter serves the station's boards" \
    grep -q 'bootloader_station_boards_total{result="ok",slot="127.0.0.1:[0-9]*",station="t1"} 1' \
    <<<"$scrape"
check "node_exporter serves the image's SHA-256" \
    grep -q "image_sha256=\"$(sha256sum "$work/target.bin" | cut -d' ' -f1)\"" <<<"$scrape"
check "node_exporter read the file without error" \
    grep -q '^node_textfile_scrape_error 0$' <<<"$scrape"
check "node_exporter gives the file's mtime for the stale alert" \
    grep -qE '^node_textfile_mtime_seconds\{file="([^"]*/)?bootloader-station-t1.prom"\} [0-9.e+]+$' \
    <<<"$scrape"
grep -E '^(bootloader_station_boards_total|bootloader_station_slot_state|node_textfile)' \
    <<<"$scrape" | head -8
checks_done
