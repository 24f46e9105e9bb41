#!/usr/bin/env bash
# The long leak runs: tests/test_leaks.py with every path called
# CORVANE_LEAK_SCALE (default 30) times as often as in make test, which
# also turns on the checks of the resident set size, for every CPython 3.12+
# found. Arguments are passed to pytest.
set -euo pipefail
source "$(dirname "$0")/common.sh"

pythons=$(find_pythons)
[ -n "$pythons" ] || no_python
export CORVANE_LEAK_SCALE=${CORVANE_LEAK_SCALE:-30}

while read -r version exe; do
    echo "=== CPython $version ($exe), leak runs at scale $CORVANE_LEAK_SCALE"
    py=$(make_env "$version" "$exe")
    (cd "$repo" && "$py" -P -m pytest tests/test_leaks.py "$@")
done <<<"$pythons"
