#!/usr/bin/env bash
# Uploads N times (default 100), PARALLEL at a time (default 10), each to its own simulator
# through its own lossy proxy on loopback, and counts the uploads that ended ok.
# Usage: bench/lossy-uploads.sh BUILD_DIR IMAGE [N] [PARALLEL] -- [upload options...]
# e.g.   bench/lossy-uploads.sh build target.bin 100 10 -- --retries 8 --retry-after 50
# PROXY_OPTIONS in the environment go to lossy-proxy.py (default: its own mix).
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$1 image=$2 runs=${3:-100} parallel=${4:-10}
shift 4
[ "${1:-}" = -- ] && shift
out=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null; rm -rf "$out"' EXIT

port_in() { # waits for the last number on the first line of a file
    local line=
    for _ in $(seq 100); do
        line=$(head -n 1 "$1" 2>/dev/null)
        [ -n "$line" ] && break
        sleep 0.05
    done
    grep -o '[0-9]*$' <<<"$line"
}
one() { # one upload through its own proxy; keeps its exit status and JSON report
    local i=$1 sim proxy port
    shift
    "$build/bootloader-sim" --port 0 -q >"$out/$i.sim" 2>&1 &
    sim=$!
    # shellcheck disable=SC2086 # PROXY_OPTIONS is a list of options, split on purpose
    python3 "$here/lossy-proxy.py" "$(port_in "$out/$i.sim")" --seed "$i" ${PROXY_OPTIONS:-} \
        >"$out/$i.proxy" &
    proxy=$!
    port=$(port_in "$out/$i.proxy")
    "$build/bootloader-cli" upload "$image" -d "127.0.0.1:$port" -q --json "$@" \
        >"$out/$i.json" 2>/dev/null
    echo $? >"$out/$i.status"
    kill "$proxy" "$sim" 2>/dev/null
    wait "$proxy" "$sim" 2>/dev/null
}
for ((i = 1; i <= runs; i++)); do
    one "$i" "$@" &
    while [ "$(jobs -rp | wc -l)" -ge "$parallel" ]; do wait -n; done
done
wait
ok=$(grep -lx 0 "$out"/*.status | wc -l)
echo "uploads ok: $ok of $runs"
for s in "$out"/*.status; do
    [ "$(cat "$s")" = 0 ] && continue
    jq -r 'select(.event == "result") | "exit \(.exit_status): \(.result): \(.detail)"' \
        "${s%.status}.json"
done | sed -E 's/sequence [0-9]+/sequence N/g; s/expected [0-9]+/expected N/' | sort | uniq -c
jq -s '[.[] | select(.event == "result")] | "retries \(map(.retries) | add), late replies \(map(.late_replies // 0) | add)"' "$out"/*.json
