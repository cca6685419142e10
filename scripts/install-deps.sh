#!/usr/bin/env bash
# Installs the Debian 12 packages that building, testing and the demo need:
# native (amd64) and i386 multiarch development libraries, the 32-bit
# toolchain, qemu-user for running i686 tests, and the test-time tools.
# Idempotent; prints nothing when everything is already present.
set -euo pipefail

if [[ $(id -u) -ne 0 ]]; then
    echo "install-deps: must run as root (apt-get)" >&2
    exit 1
fi

native=(
    build-essential cmake pkgconf git binutils file
    gcc-multilib g++-multilib clang libclang-rt-14-dev
    libjson-c-dev libdbus-1-dev libgtk2.0-dev libgconf2-dev gconf2
    libnotify-dev libssl-dev libglib2.0-dev gettext
    googletest libgtest-dev libgmock-dev libbenchmark-dev
    libcapstone-dev
    dbus dbus-x11 xvfb qemu-user util-linux procps jq squashfs-tools man-db groff-base
)
i386=(
    libc6-dev:i386 libstdc++-12-dev:i386
    libjson-c-dev:i386 libdbus-1-dev:i386 libgtk2.0-dev:i386
    libgconf-2-4:i386 libnotify-dev:i386 libssl-dev:i386
    libgtest-dev:i386 libgmock-dev:i386 libcapstone-dev:i386
)

missing=()
for p in "${native[@]}" "${i386[@]}"; do
    if ! dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
        missing+=("$p")
    fi
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "install-deps: installing ${#missing[@]} missing package(s): ${missing[*]}"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
echo "install-deps: done"
