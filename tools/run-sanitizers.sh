#!/usr/bin/env bash
# CI entry point for the hardening runs. Each run configures, builds and tests
# its own preset and build directory:
#   asan  build/asan  the Linux suite under AddressSanitizer + UBSan
#   tsan  build/tsan  the Linux suite under ThreadSanitizer
#   fuzz  build/fuzz  every libFuzzer target for PALVEX_FUZZ_SECONDS (30) s
#   soak  build/soak  the long hub soak (PALVEX_SOAK_CHUNKS, 50 million)
#
#   tools/run-sanitizers.sh               asan, tsan and fuzz
#   tools/run-sanitizers.sh tsan          one of them
#
# Any sanitizer report stops the test that raised it (halt_on_error, set by
# the test presets) and fails the run. Packages beyond tools/install-deps.sh
# (which brings g++ with its sanitizer runtimes): clang-14, libclang-rt-14-dev
# and llvm-14, for the fuzz run only.
#
# The Python tool tests run the uninstrumented interpreter with the
# sanitizer runtime preloaded (tools/sanitized-python.sh). Two tests cannot
# host an instrumented library at all and are left out of one preset each:
#   asan  tools:package  its consumer is compiled outside the preset's flags,
#                        so the ASan runtime does not come first in it
#   tsan  tools:demo     runs demo.sh under bash, which crashes with a
#                        preloaded TSan runtime; the programs it starts are
#                        run directly under TSan by the other tools: tests
#
# The hub tests listen on [::1]:5005. When the machine allows unprivileged
# network namespaces, each run gets a loopback of its own, so runs (or other
# jobs on the same host) never meet on that port; otherwise they run as they
# are and the CTest resource lock keeps them apart within one run.
set -euo pipefail
cd "$(dirname "$0")/.."

runs=("$@")
[ ${#runs[@]} -gt 0 ] || runs=(asan tsan fuzz)

isolated() {
  if unshare -rn true 2>/dev/null && command -v ip >/dev/null; then
    unshare -rn sh -c 'ip link set lo up && exec "$@"' sh "$@"
  else
    "$@"
  fi
}

summary=()
for run in "${runs[@]}"; do
  start=$(date +%s)
  case "$run" in
    asan|tsan|soak)
      cmake --preset "$run"
      cmake --build --preset "$run"
      isolated ctest --preset "$run"
      ;;
    fuzz)
      tools/fuzz.sh "${PALVEX_FUZZ_SECONDS:-30}"
      ;;
    *)
      echo "unknown run: $run (asan, tsan, fuzz or soak)" >&2
      exit 2
      ;;
  esac
  summary+=("$run: $(( $(date +%s) - start )) s")
done
printf '%s\n' "${summary[@]}"
