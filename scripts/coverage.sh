#!/usr/bin/env bash
# Line coverage of the x86-64 tests: builds the "coverage" preset (gcc
# --coverage), runs its tests, and writes under build/coverage/report/ an
# HTML report (index.html) and summary.txt, one line per source folder
# (tests, benchmarks, fuzzers and test programs are not counted).
#   scripts/coverage.sh [ctest arguments...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/install-deps.sh"
cd "$root"

build=build/coverage
report=$build/report
cmake --preset coverage >/dev/null
cmake --build --preset coverage -j"$(nproc)"
cmake --preset coverage >/dev/null
find "$build" -name '*.gcda' -delete
# Tests run some programs as an unprivileged user: they too must be able to
# create and update the counter files beside the objects.
find "$build" -type d -name '*.dir' -exec chmod a+w {} +
# A failing test still leaves its coverage; the report is written either way.
status=0
(umask 000 && ctest --preset coverage -j"$(nproc)" "$@") || status=$?

rm -rf "$report"
mkdir -p "$report"
gcovr --root "$root" --object-directory "$build" \
    --exclude '.*_test\.(cpp|c)$' --exclude '.*_fuzz\.cpp$' \
    --exclude '(.*/)?tests/.*' --exclude '(.*/)?testing/.*' --exclude '(.*/)?testdata/.*' \
    --exclude 'bench/.*' --exclude 'fuzz/.*' --exclude 'build/.*' \
    --html-details "$report/index.html" --json-summary "$report/summary.json" \
    --print-summary >"$report/gcovr.txt"

python3 - "$report/summary.json" >"$report/summary.txt" <<'EOF'
import json, sys
files = json.load(open(sys.argv[1]))["files"]
folders = {}
for f in files:
    parts = f["filename"].split("/")
    folder = "/".join(parts[:2]) if parts[0] == "tools" and len(parts) > 2 else parts[0]
    total, covered = folders.get(folder, (0, 0))
    folders[folder] = (total + f["line_total"], covered + f["line_covered"])
all_total = sum(t for t, _ in folders.values())
all_covered = sum(c for _, c in folders.values())
for folder in sorted(folders):
    total, covered = folders[folder]
    pct = 100.0 * covered / total if total else 100.0
    print(f"{folder:32s} {pct:6.1f} %  {covered:6d} / {total:6d} lines")
print(f"{'all':32s} {100.0 * all_covered / max(all_total, 1):6.1f} %  {all_covered:6d} / {all_total:6d} lines")
EOF
cat "$report/summary.txt"
echo "coverage: $report/index.html"
exit "$status"
