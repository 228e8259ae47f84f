#!/usr/bin/env bash
# Builds the whole program and its tests with AddressSanitizer, LeakSanitizer and UBSan, runs the
# full ctest suite and fails on any failing test or any sanitizer report.
#   CASTORA_ASAN_BUILD  build directory (default: build-asan in the checkout)
#   JOBS                parallel compile and test jobs (default 2)
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${CASTORA_ASAN_BUILD:-$root/build-asan}
jobs=${JOBS:-2}
log=$build/sanitize-ctest.log
start=$(date +%s)

echo "== sanitize: configuring $build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCASTORA_SANITIZE=ON -DCASTORA_BENCH=OFF \
    >"$build.configure.log" 2>&1 || { cat "$build.configure.log"; echo "== sanitize: FAILED (configure)"; exit 2; }
echo "== sanitize: building (-j$jobs)"
if ! cmake --build "$build" -j"$jobs" >"$build/sanitize-build.log" 2>&1; then
    tail -n 60 "$build/sanitize-build.log"
    echo "== sanitize: FAILED (build)"
    exit 2
fi
built=$(date +%s)

# Leaks inside Qt, mpv, Mesa, fontconfig and the like are theirs; the suppressions name only those
# libraries, so a leak whose stack starts in the program's own code still counts.
# strict_string_checks stays off: it reports libxkbcommon's bounded strndup() calls in Qt's start-up.
export ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:verify_asan_link_order=0
# Mesa unloads its GL driver before the leak check runs, which leaves the driver's own leaks without a
# module name for the suppressions to match; keeping the software driver loaded names them.
swrast=$(ls /usr/lib/*/dri/swrast_dri.so 2>/dev/null | head -n 1 || true)
[ -n "$swrast" ] && export LD_PRELOAD="$swrast${LD_PRELOAD:+:$LD_PRELOAD}"
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export LSAN_OPTIONS=suppressions=$root/tests/lsan.supp:print_suppressions=0

echo "== sanitize: running ctest"
ctest --test-dir "$build" -j"$jobs" --timeout 900 --output-on-failure --output-log "$log" >"$build/sanitize-ctest.out" 2>&1
ctest_rc=$?
end=$(date +%s)

asan=$(grep -c 'ERROR: AddressSanitizer' "$log" || true)
lsan=$(grep -c 'ERROR: LeakSanitizer' "$log" || true)
ubsan=$(grep -c 'runtime error:' "$log" || true)
failed=$(grep -E '^[[:space:]]*[0-9]+ - .*\((Failed|Timeout|SEGFAULT|Subprocess aborted|Child aborted|Exception|Not Run)' \
         "$build/sanitize-ctest.out" || true)

echo
grep -E 'tests passed|tests failed' "$build/sanitize-ctest.out" || true
echo "== sanitize summary: AddressSanitizer reports: $asan, LeakSanitizer reports: $lsan, UBSan reports: $ubsan"
echo "   build $((built - start)) s, tests $((end - built)) s; full output in $log"
if [ -n "$failed" ]; then
    echo "   failing tests:"
    echo "$failed"
fi
if [ "$ctest_rc" -ne 0 ] || [ "$asan" -ne 0 ] || [ "$lsan" -ne 0 ] || [ "$ubsan" -ne 0 ]; then
    grep -E -A 12 'ERROR: (Address|Leak)Sanitizer|runtime error:' "$log" | head -n 120
    echo "== sanitize: FAILED"
    exit 1
fi
echo "== sanitize: OK"
