# Installs what the build and the tests need when it is missing. Sourced by the scripts.

# Debian packages: the Linux build and its tests.
MCP_BRIDGE_APT_PACKAGES=(g++ cmake ninja-build pkg-config rapidjson-dev libcpp-httplib-dev
                         googletest libgtest-dev nodejs npm)

apt_install_missing() {
    local missing=()
    local package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
            missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}" >&2
    local sudo=()
    [ "$(id -u)" -ne 0 ] && sudo=(sudo)
    export DEBIAN_FRONTEND=noninteractive
    "${sudo[@]}" apt-get update -qq </dev/null >&2
    "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null >&2
}

# Node.js comes from the machine when it has one (any package name); Debian's otherwise.
install_linux_deps() {
    local packages=("${MCP_BRIDGE_APT_PACKAGES[@]}")
    if command -v node >/dev/null && command -v npm >/dev/null; then
        packages=("${packages[@]/nodejs}")
        packages=("${packages[@]/npm}")
        local kept=()
        local p
        for p in "${packages[@]}"; do [ -n "$p" ] && kept+=("$p"); done
        packages=("${kept[@]}")
    fi
    apt_install_missing "${packages[@]}"
}

# The demo's Node packages (MCP SDK), installed from its lock file when missing or out of date.
install_node_deps() {
    if [ ! -d demo/node_modules ] || [ demo/package-lock.json -nt demo/node_modules ]; then
        echo "Installing the demo's Node packages" >&2
        npm ci --prefix demo --no-audit --no-fund </dev/null >&2
        touch demo/node_modules
    fi
}

# Debian packages: the Windows build (MinGW-w64, posix threads) and its tests under Wine. zlib is
# for the host-side icon checker.
MCP_BRIDGE_WINDOWS_APT_PACKAGES=(g++-mingw-w64-x86-64-posix wine wine64 zlib1g-dev googletest
                                 rapidjson-dev)

install_windows_deps() {
    apt_install_missing "${MCP_BRIDGE_WINDOWS_APT_PACKAGES[@]}"
}

# Debian packages: clang with libFuzzer and its sanitizer run-times, for the fuzz targets that
# scripts/test --full builds and runs.
install_fuzz_deps() {
    apt_install_missing clang libclang-rt-14-dev
}
