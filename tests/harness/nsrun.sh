#!/bin/bash
# Runs a command in a private mount and PID namespace, as the project's
# tests need the machine to look:
#   - /dev is an overlay, so a test may bind its own /dev/log;
#   - /opt/korvane is an empty tmpfs;
#   - /tmp is a fresh tmpfs, so whatever a test leaves there vanishes;
#   - each --stub TARGET=SOURCE bind-mounts SOURCE over TARGET (a fixed tool
#     path such as /sbin/initctl, or a file such as /etc/mtab), created when
#     the machine has none; a symbolic link at TARGET is replaced, not followed.
# Every process started inside ends with the command (PID namespace).
# Usage: nsrun.sh [--stub TARGET=SOURCE]... [--] COMMAND [ARG]...
set -euo pipefail

if [[ "${KV_IN_TEST_NAMESPACE:-}" != 1 ]]; then
    if [[ $(id -u) -ne 0 ]]; then
        echo "nsrun: needs root (mount namespaces)" >&2
        exit 125
    fi
    stage=$(mktemp -d /tmp/kv-nsrun.XXXXXX)
    set +e
    KV_IN_TEST_NAMESPACE=1 KV_NSRUN_STAGE="$stage" \
        unshare --mount --propagation private --pid --fork --mount-proc "$0" "$@"
    rc=$?
    set -e
    rmdir "$stage" 2>/dev/null || true
    exit "$rc"
fi

stage=${KV_NSRUN_STAGE:?}
stubs=()
while [[ $# -gt 0 ]]; do
    case "$1" in
        --stub) stubs+=("$2"); shift 2 ;;
        --stub=*) stubs+=("${1#--stub=}"); shift ;;
        --) shift; break ;;
        *) break ;;
    esac
done
[[ $# -gt 0 ]] || { echo "nsrun: no command" >&2; exit 125; }

mount -t tmpfs -o mode=0700 kv-nsrun-stage "$stage"
overlay_count=0
declare -A overlaid=()
# Makes directory $1 writable in this namespace without touching the host.
overlay_dir() {
    local dir=$1
    [[ -n "${overlaid[$dir]:-}" ]] && return 0
    overlay_count=$((overlay_count + 1))
    local up="$stage/ov$overlay_count/up" work="$stage/ov$overlay_count/work"
    mkdir -p "$up" "$work"
    mount -t overlay overlay -o "lowerdir=$dir,upperdir=$up,workdir=$work" "$dir"
    overlaid[$dir]=1
}

# /dev: keep its submounts (pts, shm, mqueue) visible through the overlay.
mkdir -p "$stage/dev"
mount --rbind /dev "$stage/dev"
submounts=$(findmnt -rn -o TARGET | grep '^/dev/' | sort -u || true)
overlay_dir /dev
for m in $submounts; do
    [[ -d "$stage$m" ]] || continue
    mkdir -p "$m" 2>/dev/null || true
    mount --rbind "$stage$m" "$m"
done

overlay_dir /opt
mkdir -p /opt/korvane
mount -t tmpfs -o mode=0755 kv-opt-korvane /opt/korvane

for spec in "${stubs[@]}"; do
    target=${spec%%=*}
    source=${spec#*=}
    dir=$(realpath -m "$(dirname "$target")")
    if [[ ! -d "$dir" ]]; then
        # Made inside an overlay of the nearest directory that exists (such
        # as /sys/class for /sys/class/dmi/id), never on the machine's own
        # filesystem.
        base=$(dirname "$dir")
        while [[ ! -d "$base" ]]; do base=$(dirname "$base"); done
        overlay_dir "$base"
        mkdir -p "$dir"
    fi
    overlay_dir "$dir"
    real_target="$dir/$(basename "$target")"
    # A symbolic link (such as /etc/mtab) is replaced by a plain file in the
    # overlay, so the stub covers the path itself, not what it points to.
    if [[ -L "$real_target" ]]; then
        rm -f "$real_target"
    fi
    [[ -e "$real_target" ]] || : > "$real_target"
    mount --bind "$(realpath "$source")" "$real_target"
done

# Last: a private /tmp (the stage stays reachable through its open mounts).
mount -t tmpfs -o mode=1777 kv-tmp /tmp

set +e
"$@"
exit $?
