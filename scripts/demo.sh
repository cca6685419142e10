#!/usr/bin/env bash
# Builds the native preset if needed and runs the demo on a private system
# bus: a stand-in agent service answers the service client's commands and
# broadcasts, shown through the kvsvc-send developer tool. Stops everything
# it started and leaves nothing behind.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/install-deps.sh"
cd "$root"
cmake --preset x86_64 >/dev/null
cmake --build --preset x86_64 -j"$(nproc)" >/dev/null

build=$root/build/x86_64
work=$(mktemp -d /tmp/kv-demo.XXXXXX)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

dbus-daemon --nofork --config-file="$build/tests/harness/system-bus.conf" \
    --address="unix:path=$work/system_bus_socket" --print-address=3 3>"$work/address" 2>/dev/null &
pids+=($!)
for _ in $(seq 100); do [[ -s "$work/address" ]] && break; sleep 0.05; done
export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$work/system_bus_socket"
echo "== private system bus at $DBUS_SYSTEM_BUS_ADDRESS"

"$build/tools/kvsvc-send" --listen 3 &
listener=$!
pids+=($listener)
sleep 0.5
"$build/tests/harness/kv_test_service_peer" --broadcast com.korvane.agent.started \
    --broadcast com.korvane.agent.running '{ "CMD_":"THRT", "QUARANTINE":"ABCDEF" }={"RESP":"OK"}' &
pids+=($!)
sleep 0.5

echo "== commands through the service client"
"$build/tools/kvsvc-send" '{ "CMD_":"GLOG" }' '{ "CMD_":"POLY" }' '{ "CMD_":"GPUT" }' \
    '{ "CMD_":"GDRV" }' '{ "CMD_":"THRT", "QUARANTINE":"ABCDEF" }'
"$build/tools/kvsvc-send" --no-reply '{ "CMD_":"CHKU" }'
wait "$listener" || true
echo "== demo finished"
