#!/usr/bin/env bash
# The build configurations that the plain run leaves untested, on the newest
# CPython found here (each in .venv/NAME-VERSION with a build directory of
# its own, warnings as errors):
#   clang    the whole suite, built with clang
#   scalar   the whole suite, with every vector path compiled out
#   isa      the parser's tests with the scanner capped at the baseline
#            (SSE2) and at AVX2, and the vector primitives checked against
#            plain loops for each x86 instruction set the processor has
#   aarch64  the modules cross-compiled for AArch64, and the primitives'
#            NEON paths checked under an emulator
# Names the configurations to run (default: all of them); arguments after
# "--" go to pytest.
set -euo pipefail
source "$(dirname "$0")/common.sh"

configs=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do
    configs+=("$1")
    shift
done
[ "${1:-}" = "--" ] && shift
[ ${#configs[@]} -gt 0 ] || configs=(clang scalar isa aarch64)

pythons=$(find_pythons)
[ -n "$pythons" ] || no_python
read -r version exe <<<"$(tail -n 1 <<<"$pythons")"

# need COMMAND PACKAGE: installs the Debian package that brings COMMAND.
need() {
    command -v "$1" >/dev/null 2>&1 && return
    echo "--- installing $2" >&2
    export DEBIAN_FRONTEND=noninteractive
    apt-get install -y -q --no-install-recommends "$2" >&2 ||
        { apt-get update -q >&2 && apt-get install -y -q --no-install-recommends "$2" >&2; }
}

# The vector check of tests/native for one instruction set: check_vectors
# COMPILER OUTPUT ISA [FLAG...]; the runner (an emulator, or nothing) is in
# $runner.
check_vectors() {
    local cxx=$1 out=$2 isa=$3
    shift 3
    "$cxx" -std=c++20 -O2 -Wall -Wextra -Werror "$@" -I"$repo/common" -I"$repo/parser" \
        -DCORVANE_ISA="$isa" -DCORVANE_ISA_NS=isa_check "$repo/tests/native/vector_check.cpp" -o "$out"
    ${runner:-} "$out"
}

run_clang() {
    need clang++ clang
    echo "=== CPython $version, built with $(clang++ --version | head -n 1)"
    local py
    py=$(CC=clang CXX=clang++ make_env "$version" "$exe" "clang-$version" \
        -Ccmake.define.CMAKE_CXX_COMPILER=clang++ "-Cbuild-dir=build/clang-{wheel_tag}")
    (cd "$repo" && "$py" -P -m pytest "$@")
}

run_scalar() {
    echo "=== CPython $version, vector paths compiled out"
    local py
    py=$(make_env "$version" "$exe" "scalar-$version" \
        -Ccmake.define.CORVANE_SCALAR=ON "-Cbuild-dir=build/scalar-{wheel_tag}")
    (cd "$repo" && "$py" -P -m pytest "$@")
}

run_isa() {
    local cap py name
    for cap in 0 1; do
        name=$([ "$cap" = 0 ] && echo baseline || echo AVX2)
        echo "=== CPython $version, the parser's tests with the scanner capped at $name"
        py=$(make_env "$version" "$exe" "isa$cap-$version" \
            -Ccmake.define.CORVANE_WIDEST_ISA=$cap "-Cbuild-dir=build/isa$cap-{wheel_tag}")
        (cd "$repo" && "$py" -P -m pytest tests/test_corvane_*.py "$@")
    done
    echo "=== the vector primitives of each x86 instruction set"
    mkdir -p "$repo/build/native"
    local runner=""
    check_vectors c++ "$repo/build/native/vectors-baseline" 0
    if grep -qw avx2 /proc/cpuinfo && grep -qw bmi2 /proc/cpuinfo; then
        check_vectors c++ "$repo/build/native/vectors-avx2" 1 -mavx2 -mbmi2
    fi
    if grep -qw avx512bw /proc/cpuinfo; then
        check_vectors c++ "$repo/build/native/vectors-avx512" 2 -mavx512f -mavx512bw -mbmi2
    fi
}

run_aarch64() {
    need aarch64-linux-gnu-g++ g++-aarch64-linux-gnu
    need qemu-aarch64 qemu-user
    echo "=== cross-compiled for AArch64 against the CPython $version headers"
    # CMake and Ninja from a small environment of their own, so the build
    # does not depend on what the system offers.
    local tools="$repo/.venv/tools"
    if [ ! -x "$tools/bin/ninja" ]; then
        "$exe" -m venv "$tools"
        "$tools/bin/python" -m pip install -q cmake ninja
    fi
    local include out="$repo/build/aarch64"
    include=$("$exe" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
    "$tools/bin/cmake" -S "$repo" -B "$out" -G Ninja -DCMAKE_MAKE_PROGRAM="$tools/bin/ninja" \
        -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=aarch64 \
        -DCMAKE_CXX_COMPILER=aarch64-linux-gnu-g++ -DCORVANE_WERROR=ON \
        -DPython_EXECUTABLE="$exe" -DPython_INCLUDE_DIR="$include" >/dev/null
    "$tools/bin/cmake" --build "$out"
    local so
    for so in "$out"/*.so; do
        readelf -h "$so" | grep -q 'Machine:.*AArch64' || { echo "error: $so is not AArch64" >&2; exit 1; }
    done
    echo "=== the NEON paths of the vector primitives, under qemu-aarch64"
    runner=qemu-aarch64 check_vectors aarch64-linux-gnu-g++ "$out/vectors" 0 -static
}

for config in "${configs[@]}"; do
    case $config in
    clang | scalar | isa | aarch64) "run_$config" "$@" ;;
    *) echo "error: unknown configuration '$config' (clang, scalar, isa, aarch64)" >&2; exit 2 ;;
    esac
done
