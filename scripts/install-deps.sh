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
    libjson-c-dev libdbus-1-dev libgtk2.0-dev gconf2 libgconf-2-4
    libnotify-dev libssl-dev libglib2.0-dev gettext
    googletest libgtest-dev libgmock-dev libbenchmark-dev
    libcapstone-dev
    dbus dbus-x11 xvfb qemu-user util-linux procps jq squashfs-tools man-db groff-base
    trayer x11-apps x11-utils xdotool imagemagick librsvg2-bin
    desktop-file-utils lintian debootstrap gcovr gconf-service libnotify-bin libx11-dev fonts-dejavu-core
)
# libgconf2-dev exists for one architecture at a time (its amd64 and i386
# packages conflict): the i386 one is installed, and the native build takes
# the same headers with the amd64 runtime library (ui/CMakeLists.txt).
i386=(
    libc6-dev:i386 libstdc++-12-dev:i386
    libjson-c-dev:i386 libdbus-1-dev:i386 libgtk2.0-dev:i386
    libgconf2-dev:i386 libgconf-2-4:i386 libnotify-dev:i386 libssl-dev:i386
    libgtest-dev:i386 libgmock-dev:i386 libcapstone-dev:i386 libx11-dev:i386
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

# A mirror in the middle of a sync can fail one index (seen: the i386
# security list); the install below copes with what did arrive.
for attempt in 1 2 3; do
    if apt-get update -qq; then
        break
    fi
    echo "install-deps: apt-get update failed (attempt $attempt)" >&2
    sleep $((attempt * 10))
done

install() {
    apt-get install -y -qq --no-install-recommends "$@" >/dev/null
}

if ! install "${missing[@]}"; then
    # An i386 package of Multi-Arch "same" needs its amd64 twin at the very
    # same version. When the i386 index of an update suite is missing, take
    # the release's versions and pin each twin pair the resolver names as
    # unmet to the version the i386 side has.
    echo "install-deps: retrying with the release's versions for the i386 twins" >&2
    pins=()
    for round in 1 2 3 4 5 6; do
        if out=$(apt-get install -s --no-install-recommends --allow-downgrades -t bookworm \
                     "${missing[@]}" "${pins[@]}" 2>&1); then
            break
        fi
        mapfile -t unmet < <(grep -oE 'Depends: [a-z0-9.+-]+:i386' <<<"$out" |
                             sed 's/Depends: //; s/:i386$//' | sort -u)
        [[ ${#unmet[@]} -eq 0 ]] && break
        for p in "${unmet[@]}"; do
            v=$(apt-cache policy "$p:i386" | awk '/Candidate:/ {print $2}')
            [[ -n "$v" && "$v" != "(none)" ]] && pins+=("$p=$v" "$p:i386=$v")
        done
    done
    install --allow-downgrades -t bookworm "${missing[@]}" "${pins[@]}"
fi
echo "install-deps: done"
