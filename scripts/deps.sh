# Sourced by the scripts: installs the Debian packages the project needs, only when missing.
# shellcheck shell=bash
ensure_packages() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" ||
            missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}" >&2
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    # sudo resets the environment: the setting goes through env, after sudo.
    local apt=("${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get)
    "${apt[@]}" update -qq
    "${apt[@]}" install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# What building needs (help2man makes the manual pages from the programs' --help,
# libnl-route-3-dev reads and refreshes the station's neighbour table), and with it what the
# window needs to run.
# shellcheck disable=SC2034 # read by the scripts that source this file
BUILD_PACKAGES=(cmake make g++ qtbase5-dev qtbase5-dev-tools libqt5network5 fonts-dejavu-core
    help2man pkg-config libnl-route-3-dev)

# What the test suite needs beside: a virtual X server for the window's smoke test, tshark
# for the dissector, bash-completion, man and jq for the README's examples, ansible-core for
# the fleet test's playbooks, shellcheck and ansible-lint for the scripts and the playbooks,
# prometheus (promtool) and prometheus-node-exporter for the station's metrics and alert rules,
# logrotate to read the packaged journal rotation.
# shellcheck disable=SC2034 # read by the scripts that source this file
TEST_PACKAGES=(xvfb xauth x11-utils tshark wireshark-common bash-completion man-db jq iproute2
    ansible-core shellcheck ansible-lint prometheus prometheus-node-exporter logrotate)

# Qt 6 beside Qt 5 (BOOTLOADER_QT_MAJOR=6).
QT6_PACKAGES=(qt6-base-dev libqt6opengl6-dev)

# The Qt major version asked for (5 unless BOOTLOADER_QT_MAJOR says 6), its packages installed.
qt_major() {
    local major=${BOOTLOADER_QT_MAJOR:-5}
    case $major in
        5) ;;
        6) ensure_packages "${QT6_PACKAGES[@]}" ;;
        *) echo "BOOTLOADER_QT_MAJOR is 5 or 6, not $major" >&2; return 1 ;;
    esac
    echo "$major"
}

# Configures and builds a tree: build_tree DIR BUILD_TYPE [extra cmake args...]
# BOOTLOADER_WERROR=ON in the environment (as .ci/run sets it) makes warnings errors.
build_tree() {
    local dir=$1 type=$2
    shift 2
    cmake -S "$ROOT" -B "$dir" -DCMAKE_BUILD_TYPE="$type" \
        -DBOOTLOADER_WERROR="${BOOTLOADER_WERROR:-OFF}" \
        -DBOOTLOADER_QT_MAJOR="${BOOTLOADER_QT_MAJOR:-5}" "$@" >/dev/null
    cmake --build "$dir" -j"$(nproc)"
}
