#!/usr/bin/env bash
# Coverage-guided fuzzing of every entry point of the three modules.
#
#   scripts/fuzz.sh [SECONDS [TARGET...]]
#
# SECONDS (default 60) is the time for the whole run, split evenly across the
# targets, which run one after the other. Each target keeps the corpus it
# grows in fuzz/out/corpus/TARGET (the seeds in fuzz/corpus/TARGET are read,
# never written), its log in fuzz/out/TARGET.log and any crashing input in
# fuzz/crashes/. A target whose module is not built is skipped.
#
# The fuzzer is libFuzzer as the atheris package ships it; the modules are
# built by clang with libFuzzer's edge counters, AddressSanitizer and
# UndefinedBehaviorSanitizer into .venv/fuzz-VERSION (build directory
# build/fuzz-TAG), for the oldest CPython 3.12+ found.
set -euo pipefail
source "$(dirname "$0")/common.sh"

total=${1:-60}
shift || true
all_targets=(switchcolor detectencoding fixencoding declaration parser)
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=("${all_targets[@]}")

# libFuzzer's counters need clang; Debian packages it as clang.
if ! command -v clang++ >/dev/null 2>&1; then
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
        echo "=== installing clang" >&2
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang >&2 \
            || { apt-get update -qq >&2 && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang >&2; }
    else
        echo "error: clang++ is needed for fuzzing (Debian: apt-get install clang)" >&2
        exit 1
    fi
fi

line=$(find_pythons | head -n 1)
[ -n "$line" ] || no_python
read -r version exe <<<"$line"
# CMake caches the compiler in the build directory, so it is chosen once, here.
py=$(CC=clang CXX="$repo/scripts/fuzz-cxx.sh" make_env "$version" "$exe" "fuzz-$version" \
    -Ccmake.define.CORVANE_SANITIZE=ON -Ccmake.define.CORVANE_FUZZ=ON \
    "-Cbuild-dir=build/fuzz-{wheel_tag}")
"$py" -m pip install -q "atheris>=2.3" >&2

# The modules are not linked against the sanitizer runtime (the interpreter
# is not built with it); atheris ships one with libFuzzer inside, and loading
# it first lets the modules' counters and checks find it.
runtime="$("$py" -c 'import atheris; print(atheris.path())')/asan_with_fuzzer.so"
export ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:abort_on_error=1:allocator_may_return_null=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export PYTHONMALLOC=malloc

per=$((total / ${#targets[@]}))
[ "$per" -ge 1 ] || per=1
mkdir -p "$repo/fuzz/out/corpus" "$repo/fuzz/crashes"
status=0
for target in "${targets[@]}"; do
    harness="$repo/fuzz/fuzz_$target.py"
    [ -f "$harness" ] || { echo "error: no harness $harness" >&2; exit 2; }
    corpus="$repo/fuzz/out/corpus/$target"
    mkdir -p "$corpus"
    dict=()
    [ -f "$repo/fuzz/$target.dict" ] && dict=("-dict=$repo/fuzz/$target.dict")
    log="$repo/fuzz/out/$target.log"
    echo "=== $target: $per s"
    rc=0
    # Not -P: the harness imports its helpers from fuzz/, which holds no module
    # of the package, so the installed build is still what is tested.
    (cd "$repo" && LD_PRELOAD="$runtime" "$py" "$harness" \
        -max_total_time="$per" -print_final_stats=1 -max_len=4096 \
        -artifact_prefix="$repo/fuzz/crashes/$target-" "${dict[@]}" \
        "$corpus" "$repo/fuzz/corpus/$target") >"$log" 2>&1 || rc=$?
    if [ "$rc" != 0 ] && grep -q "^module .* is not built" "$log"; then
        echo "    skipped: $(tail -n 1 "$log")"
        continue
    fi
    "$py" "$repo/fuzz/summary.py" "$target" "$log"
    if [ "$rc" != 0 ]; then
        echo "    FAILED (status $rc); see $log and fuzz/crashes/" >&2
        status=1
    fi
done
exit $status
