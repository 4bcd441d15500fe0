#!/usr/bin/env bash
# Configures and builds the fuzz targets with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer), makes the seed corpora and runs every target for
# a bounded time, printing executions and time per target. Any crash, leak,
# sanitizer report or broken invariant fails the run; the input that caused it
# is kept under <build>/artifacts/.
#
#   fuzz/run.sh                      # 60 s per target, build in build-fuzz/
#   FUZZ_SECONDS=3600 fuzz/run.sh    # longer
#   FUZZ_TARGETS="fuzz_extract" fuzz/run.sh
set -euo pipefail
cd "$(dirname "$0")/.."

build=$(realpath -m "${FUZZ_BUILD_DIR:-build-fuzz}")
seconds=${FUZZ_SECONDS:-60}
targets=${FUZZ_TARGETS:-"fuzz_package_paths fuzz_launch_args fuzz_extract fuzz_zip_reader fuzz_safe_target fuzz_signature"}
jobs=${FUZZ_JOBS:-2}

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
    -DUPDATE_FUZZ=ON -DUPDATE_BUILD_TESTS=OFF -DUPDATE_BUILD_BENCH=OFF > "$build.configure.log" 2>&1 \
    || { cat "$build.configure.log"; exit 1; }
# shellcheck disable=SC2086
cmake --build "$build" -j"$jobs" --target $targets

seeds="$build/seeds"
rm -rf "$seeds"
python3 fuzz/make_corpus.py "$seeds"
mkdir -p "$build/artifacts"

# A small quarantine keeps the resident size honest for -rss_limit_mb.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:quarantine_size_mb=16}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export QT_QPA_PLATFORM=offscreen
# The extraction targets write and remove files per input: memory is faster.
if [ -z "${TMPDIR:-}" ] && [ -w /dev/shm ]; then
    export TMPDIR=/dev/shm
fi

status=0
summary=()
for target in $targets; do
    # New finds stay in the corpus folder between runs of the same build.
    # Paths are absolute: a target may change its current folder.
    corpus="$build/corpus/$target"
    mkdir -p "$corpus"
    log="$build/$target.log"
    echo "== $target: ${seconds}s"
    set +e
    "$build/bin/$target" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=512 \
        -malloc_limit_mb=512 -max_len=65536 -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-" \
        "$corpus" "$seeds/$target" > "$log" 2>&1
    rc=$?
    set -e
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
    time=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log" | tail -1)
    inputs=$(find "$corpus" -type f | wc -l)
    line="$target: ${runs:-?} executions in ${time:-?} s (${rate:-?}/s), corpus $inputs inputs"
    if [ "$rc" -ne 0 ]; then
        line="$line: FAILED (exit $rc), see $log"
        tail -40 "$log"
        status=1
    fi
    echo "$line"
    summary+=("$line")
done

echo "== fuzzing summary"
printf '%s\n' "${summary[@]}"
exit $status
