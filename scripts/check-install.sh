#!/usr/bin/env bash
# Installs the amd64 packages into a minimal Debian 12 root with apt (so
# their declared dependencies are really resolved), starts a system bus and
# the simulated agent from the installed unit's ExecStart line, and runs
# korvanectl from /opt/korvane/desktop. Not part of CI: it needs the network.
# The debootstrapped root is cached under /var/cache/korvane-check-install.
# Usage: scripts/check-install.sh [package directory, default build/x86_64/packages]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
packages=$(cd "${1:-$root/build/x86_64/packages}" && pwd)
cache=/var/cache/korvane-check-install
base=$cache/bookworm-minbase.tar
# The mirror apt itself uses on this machine.
mirror=$(sed -n 's/^URIs: *//p; s/^deb \(http[^ ]*debian\) bookworm .*/\1/p' \
             /etc/apt/sources.list /etc/apt/sources.list.d/* 2>/dev/null | grep -m1 "/debian$" || true)
mirror=${mirror:-http://deb.debian.org/debian}

if [[ $(id -u) -ne 0 ]]; then
    echo "check-install: must run as root (debootstrap, chroot)" >&2
    exit 1
fi
shopt -s nullglob
debs=("$packages"/*_amd64.deb)
if [[ ${#debs[@]} -ne 3 ]]; then
    echo "check-install: expected three amd64 packages in $packages, found ${#debs[@]}" >&2
    exit 1
fi

mkdir -p "$cache/archives/partial"
if [[ ! -f $base ]]; then
    echo "=== debootstrap bookworm (minbase) from $mirror, cached in $base"
    stage=$(mktemp -d "$cache/debootstrap.XXXXXX")
    debootstrap --variant=minbase bookworm "$stage" "$mirror" >"$cache/debootstrap.log" 2>&1 ||
        { tail -n 20 "$cache/debootstrap.log" >&2; rm -rf "$stage"; exit 1; }
    tar -C "$stage" -cf "$base.tmp" . && mv "$base.tmp" "$base"
    rm -rf "$stage"
fi

work=$(mktemp -d /var/tmp/korvane-check-install.XXXXXX)
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"   # apt's download user reads below it
tar -C "$work" -xf "$base"
mkdir -p "$work/tmp/debs"
cp "${debs[@]}" "$work/tmp/debs/"
cp /etc/resolv.conf "$work/etc/resolv.conf"
echo "deb $mirror bookworm main" >"$work/etc/apt/sources.list"

# Everything below runs in a private mount namespace: the bind mounts and
# the processes started in the root end with it.
unshare --mount --pid --fork --propagation private bash -s "$work" "$cache" <<'INNER'
set -euo pipefail
work=$1 cache=$2
mount -t proc proc "$work/proc"
mount --rbind /dev "$work/dev"
mount -t tmpfs tmpfs "$work/run"
mount --bind "$cache/archives" "$work/var/cache/apt/archives"
in_root() { chroot "$work" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"; }

echo "=== apt-get install of the three packages"
in_root apt-get update -qq
in_root sh -c 'DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends /tmp/debs/*.deb' >"$work/tmp/apt.log" 2>&1 || { tail -n 30 "$work/tmp/apt.log"; exit 1; }
in_root dpkg-query -W -f='${Package} ${Version} ${Architecture} ${Status}\n' \
    korvane-desktop korvane-libs kvagent-sim

echo "=== system bus"
mkdir -p "$work/run/dbus"
in_root dbus-daemon --system --fork --print-address

unit=$work/lib/systemd/system/kvagent-sim.service
exec_line=$(sed -n 's/^ExecStart=//p' "$unit")
echo "=== simulated agent: $exec_line"
# The unit's command, word by word, as systemd would split it (no quoting used).
read -r -a agent <<<"$exec_line"
in_root "${agent[@]}" >"$work/tmp/agent.log" 2>&1 &
for _ in $(seq 100); do
    in_root /opt/korvane/desktop/korvanectl -l 2>/dev/null | grep -q '^Log Level:' && break
    sleep 0.1
done

cd "$work"
# Each must show its result: the version, the sample policy, threat lines.
expect=(-v '^version: 3\.1\.1000\.340$' -s '^Policy: ' -t '^ *[A-Z][a-z]* [0-9A-F]\{64\} /')
for ((i = 0; i < ${#expect[@]}; i += 2)); do
    args=${expect[i]}
    echo "=== /opt/korvane/desktop/korvanectl $args"
    out=$(in_root sh -c "cd /opt/korvane/desktop && ./korvanectl $args")
    echo "$out"
    grep -q -- "${expect[i + 1]}" <<<"$out" || { echo "check-install: korvanectl $args shows no result" >&2; exit 1; }
done
echo "=== korvanectl --json -s -t (on PATH)"
in_root korvanectl --json -s -t
kill %1 2>/dev/null || true
INNER
echo "=== check-install passed"
