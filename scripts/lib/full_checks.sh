# The extra checks of scripts/test --full: the unit and black-box tests once more under
# AddressSanitizer with UndefinedBehaviorSanitizer and under ThreadSanitizer (CMake presets "asan"
# and "tsan": -O1, any report fails the test), and a short run of every fuzz target (preset
# "fuzz", clang with libFuzzer). Sourced by scripts/test after deps.sh.

# Seconds each fuzz target runs; the targets run two at a time.
MCP_BRIDGE_FUZZ_SECONDS=${MCP_BRIDGE_FUZZ_SECONDS:-30}

# Runs one stage, reports its time, and records a failure without stopping the others.
full_checks_failed=()
timed() {
    local label=$1 start=$SECONDS
    shift
    echo "== $label" >&2
    if "$@"; then
        echo "== $label: passed in $((SECONDS - start)) s" >&2
    else
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

run_full_checks() {
    timed "AddressSanitizer and UndefinedBehaviorSanitizer" sanitizer_tests asan
    timed "ThreadSanitizer" sanitizer_tests tsan
    timed "fuzzing, ${MCP_BRIDGE_FUZZ_SECONDS} s per target" fuzz_runs
    if [ ${#full_checks_failed[@]} -gt 0 ]; then
        printf 'Failed: %s\n' "${full_checks_failed[@]}" >&2
        return 1
    fi
}
