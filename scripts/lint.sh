#!/usr/bin/env bash
# Checks the style of the sources: the C++ against .clang-format, the Python
# with ruff's linter and formatter (ruff.toml). The tools are installed from
# the package index, at the versions pinned here, into .venv/lint, so every
# machine checks alike. With --fix, rewrites the files instead of checking.
set -euo pipefail
source "$(dirname "$0")/common.sh"

RUFF=0.17.6
CLANG_FORMAT=23.1.5

fix=false
case "${1:-}" in
"") ;;
--fix) fix=true ;;
*) echo "usage: scripts/lint.sh [--fix]" >&2; exit 2 ;;
esac

line=$(find_pythons | head -n 1)
[ -n "$line" ] || no_python
read -r _ exe <<<"$line"
env="$repo/.venv/lint"
[ -x "$env/bin/python" ] || "$exe" -m venv "$env"
"$env/bin/python" -m pip install -q "ruff==$RUFF" "clang-format==$CLANG_FORMAT"

cd "$repo"
mapfile -t cxx < <(git ls-files '*.cpp' '*.hpp')
if $fix; then
    "$env/bin/ruff" check --fix .
    "$env/bin/ruff" format .
    "$env/bin/clang-format" -i "${cxx[@]}"
else
    status=0
    "$env/bin/ruff" check . || status=1
    "$env/bin/ruff" format --check --diff . || status=1
    "$env/bin/clang-format" --dry-run --Werror "${cxx[@]}" || status=1
    [ $status = 0 ] || echo "style check failed: scripts/lint.sh --fix rewrites the files" >&2
    exit $status
fi
