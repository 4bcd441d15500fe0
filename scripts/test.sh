#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite: once as a
# normal build, once with AddressSanitizer and UndefinedBehaviorSanitizer;
# then the threaded tests with ThreadSanitizer, and every fuzz target for a
# bounded time (fuzz/run.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh

jobs=$(nproc)
run_suite() {
    local dir=$1; shift
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" > "$dir.configure.log" 2>&1 \
        || { cat "$dir.configure.log"; return 1; }
    cmake --build "$dir" -j"$jobs"
    (cd "$dir" && ctest --output-on-failure -j"$jobs" --timeout 600)
}

mkdir -p build
run_suite build

# Any sanitizer report fails the run.
# A small quarantine: the download's memory watch reads the process's resident
# size, which the default 256 MB of freed-but-held blocks would inflate.
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:halt_on_error=1:quarantine_size_mb=4
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
mkdir -p build-asan
run_suite build-asan -DUPDATE_SANITIZE=ON -DUPDATE_BUILD_BENCH=OFF

# The tests that cross threads (the extraction worker, the package's hashing
# thread, the window's queued hand-over, the fault tests) with
# ThreadSanitizer; any report fails the run.
tsan_tests="extract_ccompressclient download_client download_signature window_cupdate window_workflow window_skinstyle faults_download faults_extract"
mkdir -p build-tsan
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPDATE_TSAN=ON -DUPDATE_BUILD_BENCH=OFF \
    > build-tsan.configure.log 2>&1 || { cat build-tsan.configure.log; exit 1; }
# shellcheck disable=SC2086
cmake --build build-tsan -j"$jobs" --target $tsan_tests update_translations
(
    export TSAN_OPTIONS="halt_on_error=1 suppressions=$PWD/tests/tsan-qt.supp"
    export QT_NO_GLIB=1
    cd build-tsan && ctest --output-on-failure -j"$jobs" --timeout 600 -R "^(${tsan_tests// /|})\$"
)

unset ASAN_OPTIONS UBSAN_OPTIONS
FUZZ_JOBS=$jobs bash fuzz/run.sh
