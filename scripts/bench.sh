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
"$py" -m pip install -q "scikit-build-core>=0.11" cmake ninja lxml pugixml rapidxml matplotlib
# A build directory apart from the test builds', which are configured with
# warnings as errors: sharing one would reconfigure it on every switch.
"$py" -m pip install -q --no-build-isolation -Cbuild-dir="build/bench-{wheel_tag}" "$repo"
cd "$repo"

# The XML data files are read where Debian's packages install them. As root,
# the packages of any that are missing are installed; otherwise, or when that
# fails, generated stand-ins of the same shape are measured and the report
# says so. A quick run uses generated documents only.
case " $* " in
*" --quick "*) ;;
*)
    missing=$("$py" bench/documents.py --missing-packages)
    if [ -n "$missing" ]; then
        if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null 2>&1; then
            echo "installing the packages of the missing XML data files: $missing" >&2
            # shellcheck disable=SC2086 # one word per package
            { apt-get update -qq && DEBIAN_FRONTEND=noninteractive \
                apt-get install -y -qq --no-install-recommends $missing >/dev/null; } ||
                echo "warning: installing $missing failed: generated stand-ins are measured" >&2
        else
            echo "note: $missing not installed (installed only when run as root):" \
                "generated stand-ins are measured" >&2
        fi
    fi
    ;;
esac
"$py" bench/run.py "$@"
