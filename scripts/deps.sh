# Sourced by the scripts: installs the Debian packages the project needs, only when missing.
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
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null
}

BUILD_PACKAGES=(cmake make g++ qtbase5-dev qtbase5-dev-tools libqt5network5 fonts-dejavu-core
    xvfb xauth x11-utils tshark wireshark-common bash-completion)

# Configures and builds a tree: build_tree DIR BUILD_TYPE [extra cmake args...]
# BOOTLOADER_WERROR=ON in the environment (as .ci/run sets it) makes warnings errors.
build_tree() {
    local dir=$1 type=$2
    shift 2
    cmake -S "$ROOT" -B "$dir" -DCMAKE_BUILD_TYPE="$type" \
        -DBOOTLOADER_WERROR="${BOOTLOADER_WERROR:-OFF}" "$@" >/dev/null
    cmake --build "$dir" -j"$(nproc)"
}
