# The packages and their tests. Sourced by scripts/package and scripts/lib/full_checks.sh after
# deps.sh and windows.sh.
#
# build_packages: CPack in two release trees of their own, build-package (Linux: .deb and
# .tar.gz) and build-package-win (cross-built: .zip); the packages land in build-package/out.
# test_packages: the .deb installed with dpkg and removed again (root only), the .tar.gz unpacked,
# the .zip unpacked and its programs run under Wine.

MCP_BRIDGE_PACKAGE_OUT=build-package/out

# Debian packages: dpkg-shlibdeps for the .deb's dependencies, zip and unzip for the .zip.
install_package_deps() {
    apt_install_missing dpkg-dev file zip unzip
}

# build_packages [CMAKE ARGUMENTS...]: the arguments go to the Linux tree's configuration.
build_packages() {
    install_package_deps &&
        install_windows_deps &&
        cmake -S . -B build-package -G Ninja -DCMAKE_BUILD_TYPE=Release -DMCP_BRIDGE_TESTS=OFF \
            "$@" >/dev/null &&
        cmake --build build-package &&
        cmake -S . -B build-package-win -G Ninja -DCMAKE_BUILD_TYPE=Release \
            -DMCP_BRIDGE_TESTS=OFF -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake >/dev/null &&
        cmake --build build-package-win || return 1
    rm -rf "$MCP_BRIDGE_PACKAGE_OUT"
    mkdir -p "$MCP_BRIDGE_PACKAGE_OUT"
    local out
    out=$(cd "$MCP_BRIDGE_PACKAGE_OUT" && pwd)
    (cd build-package && cpack -B "$out" >/dev/null) &&
        (cd build-package-win && cpack -B "$out" >/dev/null) || return 1
    rm -rf "$out/_CPack_Packages"
    ls -l "$out"
}

package_tests_passed=0
package_tests_failed=0
package_check() {
    local what=$1
    shift
    if "$@"; then
        echo "ok: $what"
        package_tests_passed=$((package_tests_passed + 1))
    else
        echo "FAILED: $what" >&2
        package_tests_failed=$((package_tests_failed + 1))
    fi
}

# Runs the bridge command ($@) in a folder with no app running, sends it an initialize request and
# checks that it answers from the example snapshot.
answers_initialize_offline() {
    local data reply
    data=$(mktemp -d)
    reply=$(printf '%s\n' '{"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-06-18","capabilities":{},"clientInfo":{"name":"package-test","version":"1"}}}' |
        XDG_DATA_HOME="$data" timeout 60 "$@" 2>/dev/null) || true
    rm -rf "$data"
    case "$reply" in
        *'"id":1,"result":'*'"name":"example-app"'*) return 0 ;;
        *) echo "reply: $reply" >&2; return 1 ;;
    esac
}

# The .deb: installed with dpkg, its dependencies those of the programs, the installed bridge
# answering from a configuration beside it; removed again.
test_deb() {
    local deb=$1
    if [ "$(id -u)" -ne 0 ]; then
        echo "skipped: installing $deb needs root" >&2
        return 0
    fi
    dpkg -i "$deb" >/dev/null
    package_check ".deb installs both programs" test -x /usr/bin/mcp-bridge -a -x /usr/bin/mcp-bridge-snapshot
    package_check ".deb depends on the HTTP client's package" \
        sh -c "dpkg-query -W -f='\${Depends}' mcp-bridge | grep -q libcpp-httplib"
    package_check ".deb: the programs find every library they link" \
        sh -c '! ldd /usr/bin/mcp-bridge /usr/bin/mcp-bridge-snapshot | grep -q "not found"'
    package_check ".deb holds the examples and README" \
        test -f /usr/share/doc/mcp-bridge/mcp-bridge.json -a -f /usr/share/doc/mcp-bridge/snapshot.json \
        -a -f /usr/share/doc/mcp-bridge/README.md
    cp /usr/share/doc/mcp-bridge/mcp-bridge.json /usr/share/doc/mcp-bridge/snapshot.json /usr/bin/
    package_check ".deb: the installed bridge answers initialize from the configuration beside it" \
        answers_initialize_offline /usr/bin/mcp-bridge
    rm -f /usr/bin/mcp-bridge.json /usr/bin/snapshot.json
    package_check ".deb: the installed recorder runs" sh -c '/usr/bin/mcp-bridge-snapshot --help >/dev/null'
    dpkg -r mcp-bridge >/dev/null
    package_check ".deb removes cleanly" test ! -e /usr/bin/mcp-bridge -a ! -e /usr/share/doc/mcp-bridge
}

# The .tar.gz: unpacked anywhere, the bridge runs with the examples copied beside it.
test_tgz() {
    local tgz=$1 dir
    dir=$(mktemp -d)
    tar -xzf "$tgz" -C "$dir"
    local root=("$dir"/*)
    package_check ".tar.gz holds bin/ and share/doc/mcp-bridge" \
        test -x "${root[0]}/bin/mcp-bridge" -a -x "${root[0]}/bin/mcp-bridge-snapshot" \
        -a -f "${root[0]}/share/doc/mcp-bridge/snapshot.json"
    cp "${root[0]}"/share/doc/mcp-bridge/{mcp-bridge.json,snapshot.json} "${root[0]}/bin/"
    package_check ".tar.gz: the bridge answers initialize" \
        answers_initialize_offline "${root[0]}/bin/mcp-bridge"
    rm -rf "$dir"
}

# The .zip: unpacked, the .exe run under Wine straight from it, with the configuration and
# snapshot it ships.
test_zip() {
    local zip=$1 dir
    dir=$(mktemp -d)
    unzip -q "$zip" -d "$dir"
    local root=("$dir"/*)
    package_check ".zip holds both programs, the configuration, the snapshot and README" \
        test -f "${root[0]}/mcp-bridge.exe" -a -f "${root[0]}/mcp-bridge-snapshot.exe" \
        -a -f "${root[0]}/mcp-bridge.json" -a -f "${root[0]}/snapshot.json" -a -f "${root[0]}/README.md"
    start_wine "$(pwd)/build-win/wineprefix"
    package_check ".zip: mcp-bridge.exe answers initialize under Wine" \
        answers_initialize_offline wine "${root[0]}/mcp-bridge.exe"
    package_check ".zip: mcp-bridge-snapshot.exe runs under Wine" \
        sh -c "wine '${root[0]}/mcp-bridge-snapshot.exe' --help | grep -q 'mcp-bridge-snapshot --check'"
    stop_wine
    rm -rf "$dir"
}

test_packages() {
    package_tests_passed=0
    package_tests_failed=0
    local out=$MCP_BRIDGE_PACKAGE_OUT
    test_deb "$(ls "$out"/*.deb)"
    test_tgz "$(ls "$out"/*.tar.gz)"
    test_zip "$(ls "$out"/*.zip)"
    echo "packages: $package_tests_passed passed, $package_tests_failed failed"
    [ "$package_tests_failed" -eq 0 ]
}
