#!/usr/bin/env bash
# Unpacks the two packages, bootloader-cli and bootloader, into a temporary root as if both
# were installed and checks what a user gets: the programs run, and the menu entry, icons,
# manual pages and documents are in place; then what each package holds and needs: the
# window's package depends on bootloader-cli, which needs no widget library.
# Usage: packaging/test-package.sh [bootloader-cli_VERSION_ARCH.deb bootloader_VERSION_ARCH.deb]
# (default: the two in build-package/, as scripts/package leaves them)
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)

debs=("$@")
[ $# -gt 0 ] || debs=("$ROOT"/build-package/bootloader-cli_*.deb "$ROOT"/build-package/bootloader_*.deb)
declare -A deb_of # package name -> .deb
for file in "${debs[@]}"; do
    [ -f "$file" ] && deb_of[$(dpkg-deb -f "$file" Package)]=$file
done
if [ -z "${deb_of[bootloader]:-}" ] || [ -z "${deb_of[bootloader-cli]:-}" ]; then
    echo "test-package: wants bootloader-cli_*.deb and bootloader_*.deb" >&2
    exit 2
fi
top=$(mktemp -d) # a folder per package, and both in one as installed
trap 'rm -rf "$top"' EXIT
root=$top/both
for package in bootloader-cli bootloader; do
    if ! dpkg-deb -x "${deb_of[$package]}" "$top/$package" ||
        ! dpkg-deb -x "${deb_of[$package]}" "$root"; then
        echo "test-package: dpkg-deb -x failed" >&2
        exit 1
    fi
done

passed=0
failed=0
check() { # check DESCRIPTION COMMAND...
    local what=$1
    shift
    if "$@" >/dev/null 2>&1; then
        passed=$((passed + 1))
        echo "ok   $what"
    else
        failed=$((failed + 1))
        echo "FAIL $what"
    fi
}
field() { dpkg-deb -f "${deb_of[${2:-bootloader}]}" "$1"; } # field NAME [PACKAGE]
version=$(field Version)

runs_help() { # exit 0 and a usage text
    "$root/usr/bin/$1" --help | grep -q '^Usage:'
}
shows_version() { [ "$("$root/usr/bin/$1" --version)" = "$1 $version" ]; }
libs_resolve() { ldd "$root/usr/bin/$1" && ! ldd "$root/usr/bin/$1" | grep -q 'not found'; }
png_size() { file "$root/usr/share/icons/hicolor/$1x$1/apps/bootloader.png" | grep -q "PNG image data, $1 x $1,"; }
page_text() { # the installed page's roff with escaped hyphens and font changes undone
    zcat "$root/usr/share/man/man1/$1.1.gz" | sed -e 's/\\-/-/g' -e 's/\\f[BIRP]//g'
}
man_page() {
    gzip -t "$root/usr/share/man/man1/$1.1.gz" &&
        [[ $(grep -m1 '^\.TH' <<<"$(page_text "$1")") == ".TH ${1^^} \"1\" "* ]]
}
exit_status_documented() { grep -qiE '^\.S[HS] "?exit status' <<<"$(page_text "$1")"; }
# Every option the program's --help lists (the first column of its option lines) is on the page.
options_documented() {
    local option missing=0 text
    text=$(page_text "$1")
    for option in $("$root/usr/bin/$1" --help | grep -oE '^ +-[^ ]+(, -[^ ]+)*' | tr -d ,); do
        grep -qE -- "(^|[^-[:alnum:]])$option([^-[:alnum:]]|\$)" <<<"$text" ||
            { echo "$1(1) lacks $option" >&2; missing=1; }
    done
    [ "$missing" -eq 0 ]
}
changelog_matches() {
    zcat "$top/$1/usr/share/doc/$1/changelog.gz" | head -1 | grep -qF "bootloader ($version)"
}
# The Qt libraries a package's programs were built against, whichever Qt that was, each
# with the package that ships it in its Depends.
qt_runtime_deps() {
    local depends libs lib package
    depends=$(field Depends "$1")
    libs=$(objdump -p "$top/$1"/usr/bin/* | awk '/NEEDED/ && /libQt/ { print $2 }' | sort -u)
    [ -n "$libs" ] || return 1
    for lib in $libs; do
        package=$(dpkg -S "*/$lib" 2>/dev/null | head -1 | cut -d: -f1)
        [ -n "$package" ] && grep -q "$package" <<<"$depends" || return 1
    done
    ! grep -q -- '-dev' <<<"$depends"
}

# What each package holds and needs.
holds() { # holds PACKAGE PATH...: every PATH is in PACKAGE, none in the other one
    local other=bootloader path
    [ "$1" = bootloader ] && other=bootloader-cli
    for path in "${@:2}"; do [ -e "$top/$1$path" ] && [ ! -e "$top/$other$path" ] || return 1; done
}
no_widgets() { # neither in the package's Depends nor in its programs' libraries
    ! field Depends bootloader-cli | grep -qiE 'libqt[0-9]*(widgets|gui)' &&
        ! ldd "$top/bootloader-cli"/usr/bin/* | grep -qE 'libQt[0-9]*(Widgets|Gui)'
}
for package in bootloader bootloader-cli; do
    check "Depends of $package: the Qt runtime libraries its programs link, no -dev packages" \
        qt_runtime_deps "$package"
    check "$package has its copyright file" test -s "$top/$package/usr/share/doc/$package/copyright"
    check "$package's changelog.gz starts with version $version" changelog_matches "$package"
    echo "     $package: Depends: $(field Depends "$package"); Installed-Size: $(field Installed-Size "$package") KiB"
done
check "bootloader depends on bootloader-cli of its version" \
    grep -qF "bootloader-cli (= $version)" <<<"$(field Depends)"
check "bootloader-cli needs no widget library (Depends, ldd)" no_widgets
check "bootloader-cli holds the command-line programs, the unit, completions, dissector" \
    holds bootloader-cli /usr/bin/bootloader-cli /usr/bin/bootloader-sim \
    /usr/share/man/man1/bootloader-cli.1.gz /usr/share/man/man1/bootloader-sim.1.gz \
    /usr/share/bash-completion/completions/bootloader-cli
check "bootloader holds the window, its page, menu entry and icons" \
    holds bootloader /usr/bin/bootloader /usr/share/man/man1/bootloader.1.gz \
    /usr/share/applications/bootloader.desktop /usr/share/icons/hicolor/scalable/apps/bootloader.svg
for prog in bootloader bootloader-cli bootloader-sim; do
    check "$prog installed in /usr/bin, executable" test -x "$root/usr/bin/$prog"
    check "$prog finds all its shared libraries" libs_resolve "$prog"
done
for prog in bootloader bootloader-cli bootloader-sim; do
    check "$prog --help exits 0 with a usage text" runs_help "$prog"
    check "$prog --version shows $version" shows_version "$prog"
    check "$prog(1) manual page is a valid gzip with a .TH header" man_page "$prog"
    check "$prog(1) manual page documents exit statuses" exit_status_documented "$prog"
    check "$prog(1) manual page has every option of $prog --help" options_documented "$prog"
done
desktop=$root/usr/share/applications/bootloader.desktop
check "desktop entry present" test -f "$desktop"
if command -v desktop-file-validate >/dev/null; then
    check "desktop entry passes desktop-file-validate" desktop-file-validate "$desktop"
fi
for key in 'Name=Bootloader' 'Exec=bootloader' 'Icon=bootloader' 'Terminal=false' \
    'Type=Application' 'Categories=Development;Electronics;'; do
    check "desktop entry has $key" grep -qx "$key" "$desktop"
done
for size in 16 32 48 64 128 256; do
    check "icon ${size}x${size} is a ${size}x${size} PNG" png_size "$size"
done
check "scalable icon is an SVG" grep -q '<svg' "$root/usr/share/icons/hicolor/scalable/apps/bootloader.svg"

# Wireshark dissector: in the folder tshark loads Lua plugins from on this architecture.
multiarch=$(dpkg-architecture -a"$(field Architecture)" -qDEB_HOST_MULTIARCH 2>/dev/null)
plugins=/usr/lib/${multiarch:-x86_64-linux-gnu}/wireshark/plugins
check "Wireshark dissector in $plugins" test -s "$root$plugins/bootloader.lua"
if command -v tshark >/dev/null; then
    global_lua_plugins() {
        [ "$(tshark -G folders 2>/dev/null | sed -n 's/^Global Lua Plugins:[[:space:]]*//p')" \
            = "$plugins" ]
    }
    check "tshark's global Lua plugin folder is $plugins" global_lua_plugins
    dissector_loads() { # tshark does not fail on a Lua error: read what it registered
        local protocols
        protocols=$(tshark -G protocols -X "lua_script:$root$plugins/bootloader.lua" 2>/dev/null)
        grep -qP '^Bootloader UDP protocol\tBOOTLOADER\tbootloader$' <<<"$protocols"
    }
    check "tshark loads the packaged dissector" dissector_loads
fi

# bash completions: files named after the commands, where bash-completion loads them.
completions=/usr/share/bash-completion/completions
completion_loads() { # bash-completion finds and loads the file for the command
    BASH_COMPLETION_USER_DIR=$root/usr/share/bash-completion XDG_DATA_DIRS=$root/none bash -c \
        '. /usr/share/bash-completion/bash_completion && __load_completion "$0" &&
         complete -p "$0" | grep -q -- "-F _"' "$1"
}
for prog in bootloader-cli bootloader-sim; do
    check "bash completion for $prog in $completions" test -s "$root$completions/$prog"
    if [ -f /usr/share/bash-completion/bash_completion ]; then
        check "bash-completion loads the completion of $prog" completion_loads "$prog"
    fi
done

# The station service: systemd's analyzer checks the unit as packaged (no running systemd needed).
unit_in_package() {
    test -s "$root/lib/systemd/system/bootloader-station@.service" ||
        test -s "$root/usr/lib/systemd/system/bootloader-station@.service"
}
check "systemd unit bootloader-station@.service in the system unit folder" unit_in_package
if command -v systemd-analyze >/dev/null; then
    check "station unit: systemd-analyze verify is clean, exposure below 2.0, bad config exits 2" \
        "$ROOT/packaging/systemd/verify-unit.sh" "$root"
else
    echo "skip systemd-analyze verify: systemd-analyze is not installed"
fi

# Journal rotation: logrotate reads the packaged file; run on a copy aimed at a scratch folder,
# it moves the journal away and leaves a new, empty one at the path.
rotation=$root/etc/logrotate.d/bootloader-station
check "logrotate file for the station journals in /etc/logrotate.d" test -s "$rotation"
if command -v logrotate >/dev/null; then
    rotates() {
        local dir=$root/rotate
        mkdir -p "$dir" && echo '{"board":1}' >"$dir/station-a.jsonl" &&
            sed "s|/var/lib/bootloader|$dir|" "$rotation" >"$dir/conf" &&
            logrotate -f -s "$dir/state" "$dir/conf" && [ ! -s "$dir/station-a.jsonl" ] &&
            [ "$(cat "$dir/station-a.jsonl.1")" = '{"board":1}' ]
    }
    check "logrotate moves a journal away and creates an empty one" rotates
else
    echo "skip logrotate run: logrotate is not installed"
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
