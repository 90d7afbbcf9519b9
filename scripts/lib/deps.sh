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
