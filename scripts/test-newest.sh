#!/usr/bin/env bash
# Runs the whole test suite on the newest CPython releases and their debug
# builds (python3.14, python3.15, python3.14d, python3.15d), which this
# machine's own system does not carry. They come from Debian unstable, in a
# root made once with debootstrap and kept under build/ (delete
# build/debian-unstable to make it anew). The sources are copied into the
# root, so nothing the run does lands outside it; the mounts it needs are
# made in a mount namespace of its own and undone on every way out.
# Arguments are passed to pytest.
set -euo pipefail
source "$(dirname "$0")/common.sh"

root="$repo/build/debian-unstable"
interpreters="python3.14 python3.15 python3.14d python3.15d"
packages="python3.14-dev python3.14-venv python3.14-dbg python3.15-dev python3.15-venv python3.15-dbg
          g++ cmake ninja-build binutils ca-certificates iso-codes fontconfig-config"

# Inside the root: one virtual environment per interpreter, each with its
# own build directory (the debug builds have wheel tags of their own).
if [ "${1:-}" = "--inside" ]; then
    shift
    for exe in $interpreters; do
        key=$("$exe" -c 'import sys; print("%d.%d.%d%s" % (*sys.version_info[:3], sys.abiflags))')
        echo "=== CPython $key ($exe, Debian unstable)"
        py=$(make_env "$key" "$exe")
        (cd "$repo" && "$py" -P -m pytest "$@")
    done
    exit 0
fi

[ "$(id -u)" = 0 ] || { echo "error: make test-newest runs as root (debootstrap, chroot, mount)" >&2; exit 1; }

# The mounts are made in a private mount namespace: they cannot leak into
# the system's, and they vanish with the namespace even if this script is
# killed outright. The trap below still undoes them in order.
if [ -z "${CORVANE_NEWEST_NS:-}" ]; then
    exec env CORVANE_NEWEST_NS=1 unshare --mount --propagation private --fork --kill-child=SIGTERM -- "$0" "$@"
fi

if ! command -v debootstrap >/dev/null 2>&1; then
    echo "--- installing debootstrap" >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q debootstrap >&2 ||
        { apt-get update -q >&2 && DEBIAN_FRONTEND=noninteractive apt-get install -y -q debootstrap >&2; }
fi

mounted=()
undo_mounts() {
    local i
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
        umount "${mounted[i]}" 2>/dev/null || umount -l "${mounted[i]}" || true
    done
    mounted=()
}
# The suite runs in a process group of its own (see the end), so that a
# signal to this script reaches all of it, and the mounts are undone only
# once it has stopped.
inner=""
forward() {  # forward SIGNAL STATUS
    if [ -n "$inner" ]; then
        kill -"$1" -- "-$inner" 2>/dev/null || true
        wait "$inner" 2>/dev/null || true
    fi
    exit "$2"
}
trap undo_mounts EXIT
trap 'forward INT 130' INT
trap 'forward TERM 143' TERM

mount_in() {  # mount_in TARGET MOUNT-ARGS...
    local target=$1
    shift
    mkdir -p "$target"
    mount "$@" "$target"
    mounted+=("$target")
}

mount_all() {  # mount_all ROOT
    mount_in "$1/proc" -t proc proc
    mount_in "$1/dev" --bind /dev
    mount_in "$1/dev/pts" --bind /dev/pts
    # Shared memory stays inside the root rather than in the system's /dev.
    mount_in "$1/dev/shm" -t tmpfs -o mode=1777,size=512m tmpfs
}

# in_root ROOT COMMAND...: runs COMMAND in ROOT in a clean environment, with
# no variable of the host's; root_command sets root_cmd to that line.
in_root() {
    root_command "$@"
    "${root_cmd[@]}"
}
root_command() {
    local r=$1
    shift
    root_cmd=(chroot "$r" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM="${TERM:-dumb}" \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        DEBIAN_FRONTEND=noninteractive PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_DEFAULT_TIMEOUT=180 \
        SSL_CERT_FILE=/etc/ssl/certs/host-bundle.crt PIP_CERT=/etc/ssl/certs/host-bundle.crt \
        ${CI:+CI=$CI} "$@")
}

# The network as the host reaches it: its resolver and the certificate
# authorities it trusts (copied in, never linked).
host_network() {  # host_network ROOT
    cp -L /etc/resolv.conf "$1/etc/resolv.conf"
    mkdir -p "$1/etc/ssl/certs"
    cp -L /etc/ssl/certs/ca-certificates.crt "$1/etc/ssl/certs/host-bundle.crt"
}

# The root is made aside and moved into place only when complete, so an
# interrupted first run leaves nothing that a later one would take as ready.
if [ ! -e "$root/.complete" ]; then
    partial="$root.partial"
    rm -rf "$root" "$partial"
    mkdir -p "$partial"
    echo "--- making a Debian unstable root (once)" >&2
    debootstrap --variant=minbase unstable "$partial" ${DEBIAN_MIRROR:-} >&2
    # A mirror may serve a copy of the archive frozen on some day, whose
    # signed index then reads as expired; the signatures are still checked.
    echo 'Acquire::Check-Valid-Until "false";' >"$partial/etc/apt/apt.conf.d/90corvane-frozen-mirror"
    touch "$partial/.complete"
    mv "$partial" "$root"
fi

mount_all "$root"
host_network "$root"

# The packages are installed here rather than by debootstrap, so that a
# package added to the list later joins a root made before.
# shellcheck disable=SC2086
if ! in_root "$root" dpkg-query -W $packages >/dev/null 2>&1; then
    echo "--- installing the packages into the root" >&2
    in_root "$root" dpkg --configure -a >&2
    in_root "$root" apt-get update -q >&2
    in_root "$root" apt-get install -y -q --no-install-recommends $packages >&2
    in_root "$root" apt-get clean
fi

# The working tree as it is (tracked files and new ones not ignored), over
# the last copy, keeping its environments and build directories.
src="$root/src"
mkdir -p "$src"
find "$src" -mindepth 1 -maxdepth 1 ! -name .venv ! -name build -exec rm -rf {} +
(cd "$repo" && git ls-files -z --cached --others --exclude-standard |
    xargs -0 -r sh -c 'for f; do [ -e "$f" ] && printf "%s\0" "$f"; done' sh |
    tar --null -T - -cf -) | tar -xf - -C "$src"

root_command "$root" bash /src/scripts/test-newest.sh --inside "$@"
setsid "${root_cmd[@]}" &
inner=$!
wait "$inner"
