# Sourced by scripts/test and scripts/demo: installs the Debian packages the
# project needs, or tells the user which command would.
quorvex_packages=(
    cmake ninja-build g++ pkg-config
    qt6-base-dev qt6-base-dev-tools libgl-dev libssl-dev openssl
    nginx-light curl xvfb xauth xdotool
    binutils-mingw-w64-x86-64 g++-mingw-w64-x86-64-posix wine64
    clang libclang-rt-14-dev python3 procps strace
)

quorvex_install_packages() {
    local missing=()
    local p
    for p in "${quorvex_packages[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "Missing packages. Install them with:" >&2
        echo "  sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
        exit 1
    fi
    echo "Installing: ${missing[*]}"
    apt-get update
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
}
