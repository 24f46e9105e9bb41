#!/usr/bin/env bash
# Builds the modules with AddressSanitizer and UndefinedBehaviorSanitizer into
# a virtual environment of their own (.venv/sanitize-VERSION, build directory
# build/sanitize-TAG) for every CPython 3.12+ found, and runs the whole test
# suite under them. The interpreter itself is not instrumented, so the
# sanitizer runtimes are preloaded into it; the first report ends the run with
# a non-zero status. Arguments are passed to pytest.
set -euo pipefail
source "$(dirname "$0")/common.sh"

pythons=$(find_pythons)
[ -n "$pythons" ] || no_python

# The runtimes that belong to the compiler CMake picks by default.
cxx=${CXX:-c++}
asan=$("$cxx" -print-file-name=libasan.so)
ubsan=$("$cxx" -print-file-name=libubsan.so)
for lib in "$asan" "$ubsan"; do
    [ -e "$lib" ] || { echo "error: $cxx has no $(basename "$lib")" >&2; exit 1; }
done

# The interpreter keeps much of what it allocates until the process ends, so
# leak detection at exit would report the interpreter, not the modules; the
# leak tests and the valgrind run cover the modules' own leaks. pymalloc is
# bypassed so that every object is a separate block with red zones around it.
export ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:abort_on_error=1:detect_stack_use_after_return=1:strict_string_checks=1:check_initialization_order=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export PYTHONMALLOC=malloc
# Reports name the functions and lines when a symbolizer is at hand.
if [ -z "${ASAN_SYMBOLIZER_PATH:-}" ] && command -v llvm-symbolizer >/dev/null 2>&1; then
    export ASAN_SYMBOLIZER_PATH=$(command -v llvm-symbolizer)
fi

while read -r version exe; do
    echo "=== CPython $version ($exe), AddressSanitizer + UndefinedBehaviorSanitizer"
    py=$(make_env "$version" "$exe" "sanitize-$version" \
        -Ccmake.define.CORVANE_SANITIZE=ON "-Cbuild-dir=build/sanitize-{wheel_tag}")
    (cd "$repo" && LD_PRELOAD="$asan:$ubsan" "$py" -P -m pytest "$@")
done <<<"$pythons"
