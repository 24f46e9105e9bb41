#!/usr/bin/env bash
# Installs the package for the newest CPython 3.12+ found and runs the
# command-line tool's demo on its bundled sample documents.
set -euo pipefail
source "$(dirname "$0")/common.sh"

line=$(find_pythons | tail -n 1)
[ -n "$line" ] || no_python
read -r version exe <<<"$line"
py=$(make_env "$version" "$exe")
"$(dirname "$py")/corvane" demo "$@"
