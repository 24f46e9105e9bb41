# Shared by the Makefile's targets: finding the interpreters to build for and
# preparing a virtual environment for each of them inside the repository.
# Sourced, not run.

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Prints one line per distinct CPython 3.12 or later: "<version> <executable>".
find_pythons() {
    local candidates=() root seen="" exe key
    if command -v pyenv >/dev/null 2>&1 && root=$(pyenv root 2>/dev/null); then
        for exe in "$root"/versions/*/bin/python3; do
            [ -x "$exe" ] && candidates+=("$exe")
        done
    fi
    # Every python3.N on PATH, so that new minor releases join by themselves
    # (the debug builds' python3.Nd are left to make test-newest).
    local dir dirs
    IFS=: read -ra dirs <<<"$PATH"
    for dir in "${dirs[@]}"; do
        for exe in "$dir"/python3.[0-9]*; do
            case ${exe##*/} in python3.1[2-9] | python3.[2-9][0-9]) ;; *) continue ;; esac
            [ -x "$exe" ] && candidates+=("$exe")
        done
    done
    for exe in "${candidates[@]}"; do
        # A pyenv shim for a version that is not selected fails here; skip it.
        key=$("$exe" - 2>/dev/null <<'PY'
import os, sys
if sys.implementation.name == "cpython" and sys.version_info >= (3, 12):
    print("%d.%d.%d" % sys.version_info[:3], os.path.realpath(sys.executable))
PY
) || continue
        [ -n "$key" ] || continue
        case " $seen " in *" ${key%% *} "*) continue ;; esac
        seen="$seen ${key%% *}"
        echo "$key"
    done | sort -V
}

# make_env VERSION EXECUTABLE [NAME [PIP_ARG...]]: creates (once)
# .venv/NAME (NAME defaults to VERSION), installs the build tools and the
# package with its test extra (built with warnings as errors), and prints the
# env's python. PIP_ARGs go to the package's install, for example
# -Ccmake.define.X=ON and a -Cbuild-dir of its own for a differently
# configured build, so that it never shares CMake's cache with the plain one.
make_env() {
    local version=$1 exe=$2 name=${3:-$1}
    local env="$repo/.venv/$name"
    shift $(($# < 3 ? $# : 3))
    if [ ! -x "$env/bin/python" ]; then
        "$exe" -m venv "$env" >&2 || return 1
    fi
    "$env/bin/python" -m pip install -q --upgrade pip >&2 || return 1
    "$env/bin/python" -m pip install -q "scikit-build-core>=0.11" cmake ninja >&2 || return 1
    # No build isolation: the build directory under build/ is reused, so a
    # second run only recompiles what changed.
    "$env/bin/python" -m pip install -q --no-build-isolation \
        -Ccmake.define.CORVANE_WERROR=ON "$@" "$repo[test]" >&2 || return 1
    echo "$env/bin/python"
}

# Prints "<version> <executable>" of the newest CPython 3.12+ found, or fails.
newest_python() {
    local line
    line=$(find_pythons | tail -n 1)
    [ -n "$line" ] || no_python
    echo "$line"
}

# tool_env NAME EXECUTABLE PIP_ARG...: creates (once) .venv/NAME for tools
# the package does not depend on, installs the PIP_ARGs into it, and prints
# the env's python.
tool_env() {
    local env="$repo/.venv/$1" exe=$2
    shift 2
    if [ ! -x "$env/bin/python" ]; then
        "$exe" -m venv "$env" >&2 || return 1
    fi
    "$env/bin/python" -m pip install -q --upgrade pip >&2 || return 1
    "$env/bin/python" -m pip install -q "$@" >&2 || return 1
    echo "$env/bin/python"
}

no_python() {
    echo "error: no CPython 3.12 or later found (looked in pyenv's versions and for python3.N on PATH)" >&2
    exit 1
}
