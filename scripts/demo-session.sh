#!/usr/bin/env bash
# The scripted part of the demo; runs inside tests/harness/nsrun.sh.
# Usage: demo-session.sh BUILD_DIR
set -euo pipefail
build=$1
ctl=$build/ctl/korvanectl
sim=$build/tools/agent_simulator/kvagent-sim
work=$(mktemp -d)
pids=()
# Last started, first stopped: the tray before its desktop, X last but one.
cleanup() {
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        kill "${pids[i]}" 2>/dev/null || true
        wait "${pids[i]}" 2>/dev/null || true
    done
}
trap cleanup EXIT

dbus-daemon --nofork --config-file="$build/tests/harness/system-bus.conf" \
    --address="unix:path=$work/system_bus_socket" --print-address=3 3>"$work/address" 2>/dev/null &
pids+=($!)
for _ in $(seq 100); do [[ -s "$work/address" ]] && break; sleep 0.05; done
export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$work/system_bus_socket"

tray=$build/ui/korvaneui
send=$build/tools/kvsvc-send
"$sim" --state-dir /opt/korvane/HostCache --trust "$ctl" --trust "$tray" --trust "$send" --scenario sample >"$work/sim.log" 2>&1 &
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
echo "== the tray program: korvaneui in a headless desktop (Xvfb, a tray host, a recording notification"
echo "   server, a session bus), against the same simulated agent"
out=$build/demo
rm -rf "$out"
mkdir -p "$out" "$work/home" /opt/korvane/desktop
cp -r "$build/desktop/." /opt/korvane/desktop/
Xvfb -displayfd 3 -nolisten tcp -noreset -screen 0 1024x768x24 3>"$work/display" 2>/dev/null &
pids+=($!)
for _ in $(seq 200); do [[ -s "$work/display" ]] && break; sleep 0.05; done
export DISPLAY=":$(head -n1 "$work/display")" HOME=$work/home LANG=C.UTF-8 LANGUAGE=en
dbus-daemon --nofork --config-file="$build/tests/harness/session-bus.conf" --print-address=3 \
    3>"$work/session_address" 2>/dev/null &
pids+=($!)
for _ in $(seq 100); do [[ -s "$work/session_address" ]] && break; sleep 0.05; done
export DBUS_SESSION_BUS_ADDRESS=$(head -n1 "$work/session_address")
session_call() { dbus-send --session --print-reply --dest="$1" "$2" "$3" >/dev/null 2>&1; }
wait_name() {
    for _ in $(seq 200); do
        dbus-send --session --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.NameHasOwner \
            "string:$1" 2>/dev/null | grep -q 'boolean true' && return 0
        sleep 0.05
    done
    return 1
}
"$build/tests/harness/kv_test_notification_server" --log "$out/notifications.jsonl" \
    --capability body --capability actions &
pids+=($!)
wait_name org.freedesktop.Notifications
trayer --edge top --align right --widthtype request --height 24 --SetDockType true --SetPartialStrut true \
    --transparent true --alpha 0 --tint 0x303030 --expand true --iconspacing 2 &
pids+=($!)
sleep 1
"$tray" >"$work/tray.log" 2>&1 &
pids+=($!)
wait_name com.korvane.guard
ui() { session_call com.korvane.guard /com/korvane/guard/ui "com.korvane.guard.ui.$1"; }
simb() { "$send" "{ \"CMD_\":\"SIMB\", \"NAME\":\"$1\" }" >/dev/null; }
echo "\$ (agent) broadcast com.korvane.agent.started: the tray asks for the policy, notifications follow it"
simb com.korvane.agent.started
sleep 2
echo "\$ (agent) broadcast com.korvane.exe.blocked (exe_blocked.log names the file)"
simb com.korvane.exe.blocked
echo "\$ (agent) broadcast com.korvane.process.terminated (an exploit: the process was ended)"
simb com.korvane.process.terminated
echo "\$ (agent) write the sample HostCache, broadcast com.korvane.timer.aggregated_messages"
"$send" '{ "CMD_":"SIMS", "SCENARIO":"sample" }' >/dev/null
sleep 2
shot() { import -window "$1" "$2" && echo "   saved $2"; }
echo "\$ (desktop) screenshot of the tray host with the status icon (top right of the screen)"
import -window root -crop 200x32+824+0 +repage "$out/status_icon.png" && echo "   saved $out/status_icon.png"
echo "\$ dbus-send --session ... com.korvane.guard.ui.showDetailsWindow"
ui showDetailsWindow
sleep 2
details=$(xdotool search --name '^KorvaneGUARD$' | head -n1)
# A user's clicks: the Threats tab, then the arrow key to the next tabs.
xdotool mousemove 30 72 click 1
sleep 1
shot "$details" "$out/details_threats.png"
xdotool key Right
sleep 1
shot "$details" "$out/details_exploits.png"
xdotool key Right
sleep 1
shot "$details" "$out/details_events.png"
echo "\$ dbus-send --session ... com.korvane.guard.ui.showAboutWindow"
ui showAboutWindow
sleep 2
about=$(xdotool search --name '^About KorvaneGUARD' | head -n1)
[[ -n "$about" ]] && shot "$about" "$out/about.png"
echo "   notifications recorded: $out/notifications.jsonl"
sed 's/^/   /' "$out/notifications.jsonl"

echo
echo "== demo finished"
