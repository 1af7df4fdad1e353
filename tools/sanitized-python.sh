#!/bin/sh
# The Python that runs the tool tests in the sanitizer builds (the asan and
# tsan presets point PALVEX_TEST_PYTHON here). The interpreter is not
# instrumented, so the sanitizer runtime the library was built against must
# be loaded first; the test preset names it in PALVEX_SANITIZER_RUNTIME
# (libasan.so or libtsan.so).
set -eu
runtime=$(${CXX:-g++} -print-file-name="${PALVEX_SANITIZER_RUNTIME:?set by the test preset}")
[ -e "$runtime" ] || { echo "sanitized-python.sh: $PALVEX_SANITIZER_RUNTIME not found" >&2; exit 1; }
case "$PALVEX_SANITIZER_RUNTIME" in
  libasan*)
    # The interpreter's own allocations live until exit by design; the
    # library's leaks are checked by the C++ suites, which run with
    # detect_leaks=1.
    ASAN_OPTIONS="${ASAN_OPTIONS:-}${ASAN_OPTIONS:+:}detect_leaks=0"
    export ASAN_OPTIONS
    ;;
esac
# The C++ runtime comes right after it: the sanitizer finds the functions it
# intercepts (__cxa_throw among them) when it starts, and the interpreter
# alone does not load libstdc++; without it the first exception the library
# throws, even one it catches itself, aborts the process.
cxx_runtime=$(${CXX:-g++} -print-file-name=libstdc++.so.6)
LD_PRELOAD="$runtime:$cxx_runtime${LD_PRELOAD:+:$LD_PRELOAD}" exec /usr/bin/python3 "$@"
