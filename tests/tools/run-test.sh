#!/usr/bin/env bash
# scripts/run without a display runs the job with bootloader-cli against the simulator and
# exits 0; with UDP port 31120 held by another socket, it starts the simulator on a free
# port, says so, and the job goes there. In a private network namespace where the system
# allows one: 31120 is then the test's own.
# Usage: run-test.sh PATH/TO/scripts/run BUILD_DIR
set -uo pipefail
run=$1 build=$2
# shellcheck source=tests/tools/loopback.sh
. "$(dirname "$0")/loopback.sh"
own_loopback "$0" "$@"
# shellcheck source=tests/tools/checks.sh
. "$(dirname "$0")/checks.sh"
headless_run() { env -u DISPLAY -u WAYLAND_DISPLAY BOOTLOADER_BUILD_DIR="$build" bash "$run" 2>&1; }
has() { grep -qE "$1" <<<"$out"; }

out=$(headless_run)
check "headless: exit status 0" test $? -eq 0
check "headless: says the window needs a display" has "the window needs one"
for step in "postbuild app.bin" "upload target.bin" "check" "start"; do
    check "headless: runs bootloader-cli $step" has "^\\\$ .*bootloader-cli $step"
done
for result in "Uploading has been completed successful!" "Checked successful!" \
    "Application should be started."; do
    check "headless: 127.0.0.1 ok $result" has "^127\.0\.0\.1:[0-9]+ +ok .* $result$"
done

# A simulator that refuses Start holds 31120: a job sent there would fail. It may have to
# wait for another test's simulator to let the port go.
holder=
for _ in $(seq 100); do
    coproc HOLDER { exec "$build/bootloader-sim" --port 31120 --fail Start --quiet 2>/dev/null; }
    holder=$HOLDER_PID
    read -r -t 10 _ <&"${HOLDER[0]}" && break
    wait "$holder"
    holder=
    sleep 0.1
done
if [ -z "$holder" ]; then
    echo "FAIL: UDP port 31120, which this test needs, stayed held by $(port_holder 31120)"
    exit 1
fi
trap 'kill "$holder"' EXIT
out=$(headless_run)
check "31120 taken: exit status 0" test $? -eq 0
check "31120 taken: says so" has "^UDP port 31120 is taken"
if command -v ss >/dev/null; then
    check "31120 taken: says by what" has "taken by bootloader-sim \\(pid $holder\\)"
fi
port=$(sed -n 's/^Simulator listening on 127\.0\.0\.1:\([0-9]*\)\.$/\1/p' <<<"$out")
check "31120 taken: the simulator listens on another port" test "${port:-31120}" != 31120
check "31120 taken: the upload goes there" \
    has "^127\.0\.0\.1:$port +ok .* Uploading has been completed successful!$"

checks_done
