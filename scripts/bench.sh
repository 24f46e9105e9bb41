#!/usr/bin/env bash
# Builds the package into a virtual environment of its own for the newest
# CPython 3.12+ found, with the peers the suite compares against, and runs the
# benchmark suite (bench/run.py). Arguments are passed to it.
set -euo pipefail
source "$(dirname "$0")/common.sh"

line=$(find_pythons | tail -n 1)
[ -n "$line" ] || no_python
read -r version exe <<<"$line"
env="$repo/.venv/bench-$version"
if [ ! -x "$env/bin/python" ]; then
    "$exe" -m venv "$env"
fi
py="$env/bin/python"
"$py" -m pip install -q --upgrade pip
"$py" -m pip install -q "scikit-build-core>=0.10" cmake ninja lxml matplotlib
# A build directory apart from the test builds', which are configured with
# warnings as errors: sharing one would reconfigure it on every switch.
"$py" -m pip install -q --no-build-isolation -Cbuild-dir="build/bench-{wheel_tag}" "$repo"
cd "$repo"
"$py" bench/run.py "$@"
