#!/usr/bin/env bash
# The two entry points of the README:
#   scripts/dev.sh demo   install what is missing, build, and run the demonstration
#   scripts/dev.sh test   install what is missing, build with warnings as errors and run
#                         the whole suite, then again under AddressSanitizer and
#                         UndefinedBehaviorSanitizer
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
jobs="$(nproc 2>/dev/null || echo 2)"

build() { # build DIR [cmake options...]
    local dir="$1"
    shift
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
    cmake --build "$dir" -j "$jobs"
}

run_suite() { # run_suite DIR
    (cd "$1" && ctest --output-on-failure -j "$jobs" --timeout 900)
    # The contention runs' figures, which the log keeps for tests that pass.
    grep -ho 'contention[a-zA-Z ]*: .*violations [0-9]*' "$1/Testing/Temporary/LastTest.log" || true
}

case "${1:-}" in
demo)
    bash scripts/install-deps.sh
    build build
    bash scripts/demo.sh build
    ;;
test)
    bash scripts/install-deps.sh
    build build -DKEST_WERROR=ON
    run_suite build
    build build-sanitize -DKEST_WERROR=ON -DKEST_SANITIZE=ON
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
        UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        run_suite build-sanitize
    ;;
*)
    echo "usage: $0 demo|test" >&2
    exit 2
    ;;
esac
