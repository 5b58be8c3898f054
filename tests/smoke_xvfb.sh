#!/usr/bin/env bash
# Starts the real window on a virtual X server (xcb, not offscreen) and checks that it
# shows up, stays up and ends without crash output. It never connects: nothing is sent.
# Usage: smoke_xvfb.sh PATH/TO/bootloader
set -euo pipefail
SKIP=77

if [ "${1:-}" != --inside-xvfb ]; then
    app=${1:?usage: smoke_xvfb.sh PATH/TO/bootloader}
    for tool in xvfb-run xauth xwininfo; do
        if ! command -v "$tool" >/dev/null; then
            echo "SKIP: $tool is not installed (packages xvfb, xauth, x11-utils)"
            exit "$SKIP"
        fi
    done
    exec xvfb-run -a -s "-screen 0 1024x768x24" bash "$0" --inside-xvfb "$app"
fi

app=$2
log=$(mktemp)
pid=
cleanup() {
    if [ -n "$pid" ]; then kill -KILL "$pid" 2>/dev/null || true; fi
    rm -f "$log"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*"
    echo "--- window output ---"
    cat "$log"
    exit 1
}

# The suite runs with QT_QPA_PLATFORM=offscreen; this test is about the real X11 path.
unset QT_QPA_PLATFORM
"$app" -platform xcb >"$log" 2>&1 &
pid=$!

# Up to 20 s for the top-level window titled "Bootloader" to be mapped.
shown=0
for _ in $(seq 200); do
    if xwininfo -root -tree 2>/dev/null | grep -q '"Bootloader"'; then
        shown=1
        break
    fi
    kill -0 "$pid" 2>/dev/null || fail "the window exited before it was shown"
    sleep 0.1
done
[ "$shown" -eq 1 ] || fail "no window titled \"Bootloader\" within 20 s"
echo "window shown: $(xwininfo -root -tree | grep '"Bootloader"' | head -1 | sed 's/^ *//')"

# It must still be running 3 s later: tail returns early only if the process ends.
if timeout 3 tail --pid="$pid" -f /dev/null; then
    fail "the window exited within 3 s of being shown"
fi

kill -TERM "$pid"
status=0
wait "$pid" || status=$?
pid=
[ "$status" -eq 143 ] || fail "expected the window to end by SIGTERM (status 143), got $status"

if grep -Eiq 'segmentation fault|aborted|core dumped|terminate called|fatal|qt\.qpa\.(plugin|xcb)|could not (connect|load)|failed to start|ASSERT' "$log"; then
    fail "crash or platform error output"
fi
echo "PASS: window shown on X11, alive after 3 s, ended cleanly"
