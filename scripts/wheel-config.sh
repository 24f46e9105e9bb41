#!/usr/bin/env bash
# Checks what of the wheel workflow can be checked on this machine, which
# builds for Linux only: that cibuildwheel's configuration selects exactly
# the wheels meant for each system, and that the workflow file is one that
# GitHub Actions accepts (its published schema, as check-jsonschema ships
# it: actionlint's package fetches its program at install time, which this
# machine cannot). The builds on macOS and Windows run only on their runners.
set -euo pipefail
source "$(dirname "$0")/common.sh"

line=$(newest_python)
read -r version exe <<<"$line"
py=$(tool_env "wheel-config-$version" "$exe" -r "$repo/.github/cibuildwheel.txt" check-jsonschema)
tools=$(dirname "$(dirname "$py")")

# The wheels meant: CPython 3.12 to 3.15, on each system and architecture.
expected() {
    local platform
    for py in cp312 cp313 cp314 cp315; do
        for platform in "$@"; do
            echo "$py-$platform"
        done
    done | sort
}

status=0
check() {
    local system=$1
    shift
    local got
    got=$(cd "$repo" && "$tools/bin/cibuildwheel" --print-build-identifiers --platform "$system" | sort)
    if [ "$got" = "$(expected "$@")" ]; then
        echo "$system: $(wc -l <<<"$got") wheels: $(tr '\n' ' ' <<<"$got")"
    else
        echo "error: $system selects other wheels than meant:" >&2
        diff <(expected "$@") <(echo "$got") >&2 || true
        status=1
    fi
}

check linux manylinux_x86_64 manylinux_aarch64 musllinux_x86_64
check macos macosx_x86_64 macosx_arm64
check windows win_amd64

(cd "$repo" && "$tools/bin/check-jsonschema" --builtin-schema vendor.github-workflows \
    .github/workflows/*.yml) || status=1
exit $status
