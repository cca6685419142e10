#!/usr/bin/env bash
# The demo: builds the native preset if needed, then, in a private mount and
# PID namespace (its own /opt/korvane and /tmp, so nothing is left behind),
# starts a private system bus and the simulated agent service with a sample
# HostCache, and runs a short korvanectl session against it; then loads the
# memory-defence library into a program under the kernel-driver stand-in and
# reads back the event it reports; finally shows the tray program in a
# headless desktop (Xvfb, tray host, recording notification server) against
# the same simulated agent and saves its screenshots and notifications under
# build/x86_64/demo/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/install-deps.sh"
cd "$root"
cmake --preset x86_64 >/dev/null
cmake --build --preset x86_64 -j"$(nproc)" --target korvanectl kvagent-sim \
    memdef kvmemdef-loader kvdriver_standin kvmemdef-event \
    korvaneui kvsvc-send kv_test_notification_server kv_catalogues kv_images >/dev/null
exec "$root/tests/harness/nsrun.sh" -- bash "$root/scripts/demo-session.sh" "$root/build/x86_64"
