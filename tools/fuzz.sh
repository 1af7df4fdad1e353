#!/usr/bin/env bash
# Builds the libFuzzer targets (preset "fuzz", clang 14) and runs each one for
# a bounded time, starting from the committed seeds in fuzz/corpus/<target>.
#
#   tools/fuzz.sh                         every target for 30 s (what CI runs)
#   tools/fuzz.sh 3600 fuzz_hub_stream    one target for an hour
#
# The growing corpus stays in build/fuzz/corpus/<target> (the seeds are never
# written to); a crash leaves its input in build/fuzz/artifacts/<target>/ and
# makes the script fail. Turn such an input into a regression test in
# tests/hardening/ before fixing it.
# Needs: clang-14, libclang-rt-14-dev (libFuzzer and the sanitizer runtimes)
# and llvm-14 (llvm-symbolizer, for readable stack traces).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-30}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_single_board fuzz_hub_stream)

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

export ASAN_OPTIONS=${ASAN_OPTIONS:-halt_on_error=1:abort_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
if [ -z "${ASAN_SYMBOLIZER_PATH:-}" ] && [ -x /usr/lib/llvm-14/bin/llvm-symbolizer ]; then
  export ASAN_SYMBOLIZER_PATH=/usr/lib/llvm-14/bin/llvm-symbolizer
fi
status=0
for target in "${targets[@]}"; do
  corpus=build/fuzz/corpus/$target
  artifacts=build/fuzz/artifacts/$target
  mkdir -p "$corpus" "$artifacts"
  log=build/fuzz/$target.log
  echo "== $target: ${seconds} s"
  if ! "build/fuzz/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$artifacts/" "$corpus" "fuzz/corpus/$target" >"$log" 2>&1; then
    status=1
    echo "!! $target failed; the input is in $artifacts/ and the report in $log"
    grep -E "ERROR|SUMMARY|fuzz_(single_board|hub_stream):" "$log" | head -20 || true
  fi
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  cov=$(grep -oE 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -1)
  echo "   ${execs:-?} executions, ${rate:-?} exec/s, $cov, corpus $(ls "$corpus" | wc -l) files"
done
exit $status
