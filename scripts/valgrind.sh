#!/usr/bin/env bash
# The test suite under valgrind's memcheck, for the oldest CPython 3.12+
# found, with the interpreter's own allocator bypassed so that memcheck sees
# every object. Fails if memcheck reports an invalid access anywhere, or a
# block definitely lost that was allocated from one of the modules. The log
# goes to build/valgrind.log. Arguments are passed to pytest (default: the
# whole suite).
set -euo pipefail
source "$(dirname "$0")/common.sh"

command -v valgrind >/dev/null 2>&1 || {
    echo "error: valgrind is needed (Debian: apt-get install valgrind)" >&2
    exit 1
}
line=$(find_pythons | head -n 1)
[ -n "$line" ] || no_python
read -r version exe <<<"$line"
py=$(make_env "$version" "$exe")

log="$repo/build/valgrind.log"
mkdir -p "$repo/build"
echo "=== CPython $version under memcheck; log in build/valgrind.log"
status=0
# The plugin in scripts/ lifts hypothesis' deadline; PYTHONPATH holds only
# that folder, so the tests still import the installed build.
(cd "$repo" && PYTHONPATH="$repo/scripts" PYTHONMALLOC=malloc valgrind --tool=memcheck --leak-check=full \
    --show-leak-kinds=definite --errors-for-leak-kinds=none --num-callers=40 \
    --suppressions="$repo/scripts/valgrind-python.supp" --log-file="$log" \
    "$py" -P -m pytest -p no:cacheprovider -p valgrind_hypothesis "$@") || status=$?
"$py" "$repo/scripts/valgrind_report.py" "$log" || status=1
exit $status
