#!/usr/bin/env bash
# Builds and installs the package into a virtual environment for every
# CPython 3.12+ found, then runs the whole test suite against that install.
# Stops at the first interpreter whose tests fail, so the output ends with the
# failing run's summary and the exit status is non-zero.
set -euo pipefail
source "$(dirname "$0")/common.sh"

pythons=$(find_pythons)
[ -n "$pythons" ] || no_python

while read -r version exe; do
    echo "=== CPython $version ($exe)"
    py=$(make_env "$version" "$exe")
    # -P keeps the source tree off sys.path: the tests import the installed build.
    (cd "$repo" && "$py" -P -m pytest "$@")
done <<<"$pythons"
