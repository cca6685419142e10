#!/usr/bin/env bash
# The scripted part of the demo; runs inside tests/harness/nsrun.sh.
# Usage: demo-session.sh BUILD_DIR
set -euo pipefail
build=$1
ctl=$build/ctl/korvanectl
sim=$build/tools/agent_simulator/kvagent-sim
work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
}
trap cleanup EXIT

dbus-daemon --nofork --config-file="$build/tests/harness/system-bus.conf" \
    --address="unix:path=$work/system_bus_socket" --print-address=3 3>"$work/address" 2>/dev/null &
pids+=($!)
for _ in $(seq 100); do [[ -s "$work/address" ]] && break; sleep 0.05; done
export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$work/system_bus_socket"

"$sim" --state-dir /opt/korvane/HostCache --trust "$ctl" --scenario sample >"$work/sim.log" 2>&1 &
pids+=($!)
for _ in $(seq 200); do grep -q serving "$work/sim.log" 2>/dev/null && break; sleep 0.05; done
echo "== agent service (simulated) on a private system bus; sample state in /opt/korvane/HostCache"

run() {
    echo
    echo "\$ korvanectl $*"
    "$ctl" "$@" || true
}
run --status
run --threats
first_unsafe=$("$ctl" -t | awk '$1 == "Unsafe" { print $2; exit }')
run --quarantine "$(echo "$first_unsafe" | tr 'A-F' 'a-f')"
run --threats
run --getloglevel
run --setloglevel 5
run --getpolicytime
run --checkpolicy
run --getpolicytime
mkdir -p /tmp/demo/downloads
run --scan-dir /tmp/demo/downloads
run --start-bg-scan --stop-bg-scan
run --quarantine 0123

echo
echo "== memory defence: the loader stand-in starts libmemdef (seed 5) under the kernel-driver stand-in,"
echo "   with StackProtect set to refuse, then asks to make its own stack page executable"
events=/tmp/demo/memdef
mkdir -p "$events"
echo "\$ kvmemdef-loader libmemdef.so 5 BC mprotect-stack"
TMPDIR=$events KV_DRIVER_SEED=5 LD_PRELOAD=$build/tools/driver_standin/libkvdriver_standin.so \
    "$build/tools/driver_standin/kvmemdef-loader" "$build/memdef/libmemdef.so" 5 BC mprotect-stack || true
for event in "$events"/*.kor; do
    [[ -e $event ]] || continue
    echo "\$ kvmemdef-event $(basename "$event")"
    "$build/tools/kvmemdef-event" "$event"
    echo
done
echo
echo "== demo finished"
