#!/usr/bin/env bash
# Checks the station's systemd unit as installed by the package, with systemd's own
# analyzer and without a running systemd: the unit parses without a single warning, its
# ExecStart program is the packaged one, and its sandbox keeps the exposure below 2.0.
# Then runs the unit's own command line with the packaged program on a missing and on a
# bad configuration: each is refused with exit status 2, naming the file (and the line).
# Usage: verify-unit.sh UNPACKED-PACKAGE-ROOT
# Exit 77 (skipped) where systemd-analyze is not installed.
set -euo pipefail
pkg=${1:?usage: verify-unit.sh UNPACKED-PACKAGE-ROOT}
command -v systemd-analyze >/dev/null || { echo "verify-unit: no systemd-analyze, skipped"; exit 77; }
units=("$pkg"/lib/systemd/system/bootloader-station@.service
    "$pkg"/usr/lib/systemd/system/bootloader-station@.service)
unit=
for candidate in "${units[@]}"; do if [ -f "$candidate" ]; then unit=$candidate; fi; done
[ -n "$unit" ] || { echo "verify-unit: no bootloader-station@.service in $pkg" >&2; exit 1; }

# A root of its own: the unit, the program it runs, and the targets every service needs
# (taken from this machine), so that nothing outside the package answers for it.
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/usr/bin" "$root/lib/systemd/system" "$root/usr/lib/systemd/system"
cp "$pkg/usr/bin/bootloader-cli" "$root/usr/bin/"
cp "$unit" "$root/lib/systemd/system/"
for target in sysinit basic shutdown network-online multi-user; do
    for dir in /lib/systemd/system /usr/lib/systemd/system; do
        if [ -f "$dir/$target.target" ]; then cp "$dir/$target.target" "$root/usr/lib/systemd/system/"; fi
    done
done

# verify exits 0 on keys it ignores: any word from it is a failure.
out=$(systemd-analyze verify --man=no --root="$root" bootloader-station@line1.service 2>&1) || {
    echo "$out"
    exit 1
}
[ -z "$out" ] || { echo "$out"; exit 1; }
systemd-analyze security --offline=yes --root="$root" --threshold=20 \
    bootloader-station@line1.service | tail -1

# The unit's command line, in this root's folders.
read -ra argv <<<"$(sed -n 's/^ExecStart=//p' "$unit" | sed -e "s|/usr/bin/|$pkg/usr/bin/|" \
    -e "s|%i|line1|g" -e "s|/etc/bootloader|$root/etc|" -e "s|/var/lib/bootloader|$root/var|")"
mkdir -p "$root/etc" "$root/var"
refused() { # refused EXPECTED-MESSAGE: the command line exits 2 and says it
    local status=0 out
    out=$("${argv[@]}" 2>&1 >/dev/null) || status=$?
    if [ "$status" != 2 ] || ! grep -qF -- "$1" <<<"$out"; then
        echo "verify-unit: exit status $status, not 2 with \"$1\": $out" >&2
        return 1
    fi
}
refused "$root/etc/station-line1.conf"
printf 'IMAGE=line1.bin\nDEVICES=127.0.0.1:31120\nRETRIES=many\n' >"$root/etc/station-line1.conf"
refused "$root/etc/station-line1.conf:3: "
