# The extra checks of scripts/test --full: the unit and black-box tests once more under
# AddressSanitizer with UndefinedBehaviorSanitizer and under ThreadSanitizer (CMake presets "asan"
# and "tsan": -O1, any report fails the test), a short run of every fuzz target (preset "fuzz",
# clang with libFuzzer), the build types the everyday run does not build (Release with g++, Debug
# with clang, warnings as errors, with their unit tests; clang comes with the fuzz targets' deps),
# and the packages with their tests.
# Sourced by scripts/test after deps.sh and windows.sh.

# Seconds each fuzz target runs; the targets run two at a time.
MCP_BRIDGE_FUZZ_SECONDS=${MCP_BRIDGE_FUZZ_SECONDS:-30}

# Runs one stage and records a failure without stopping the others. The heading tells how far
# into the run the stage starts; a stage that passes adds nothing after its own output, so the run
# ends with the closing line of the last stage's test runner.
full_checks_failed=()
timed() {
    local label=$1 start=$SECONDS
    shift
    echo "== $label (at ${SECONDS} s)" >&2
    if ! "$@"; then
        echo "== $label: FAILED after $((SECONDS - start)) s" >&2
        full_checks_failed+=("$label")
    fi
}

sanitizer_tests() {
    local preset=$1
    cmake --preset "$preset" >/dev/null &&
        cmake --build --preset "$preset" &&
        ctest --preset "$preset"
}

fuzz_runs() {
    install_fuzz_deps &&
        cmake --preset fuzz >/dev/null &&
        cmake --build --preset fuzz --target fuzz_all &&
        fuzz/run "$MCP_BRIDGE_FUZZ_SECONDS" build-fuzz
}

# build_type_matrix DIR COMPILER BUILD_TYPE: everything builds, tests included, and the unit
# tests pass.
build_type_matrix() {
    local dir=$1 compiler=$2 type=$3
    install_fuzz_deps &&
        cmake -S . -B "$dir" -G Ninja -DCMAKE_CXX_COMPILER="$compiler" -DCMAKE_BUILD_TYPE="$type" \
        -DMCP_BRIDGE_WERROR=ON >/dev/null &&
        cmake --build "$dir" &&
        ctest --test-dir "$dir" -R '^unit_tests$' --output-on-failure
}

# The packages come from the Release build with g++ (c++ here), built whole with the tests and
# warnings as errors, whose unit tests pass before the packages are made and tested.
release_build_and_packages() {
    build_packages -DMCP_BRIDGE_TESTS=ON -DMCP_BRIDGE_WERROR=ON &&
        ctest --test-dir build-package -R '^unit_tests$' --output-on-failure &&
        test_packages
}

run_full_checks() {
    source scripts/lib/package.sh
    timed "fuzzing, ${MCP_BRIDGE_FUZZ_SECONDS} s per target" fuzz_runs
    timed "Release build with g++, and the packages" release_build_and_packages
    timed "Debug build with clang" build_type_matrix build-debug-clang clang++ Debug
    timed "AddressSanitizer and UndefinedBehaviorSanitizer" sanitizer_tests asan
    timed "ThreadSanitizer" sanitizer_tests tsan
    if [ ${#full_checks_failed[@]} -gt 0 ]; then
        printf 'Failed: %s\n' "${full_checks_failed[@]}" >&2
        return 1
    fi
}
