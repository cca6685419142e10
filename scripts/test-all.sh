#!/usr/bin/env bash
# Installs what is missing, then builds and tests every preset: x86-64,
# i686 (tests under qemu-i386), the Debian packages of those two trees
# (contents, dependencies, lintian), ASan+UBSan, ThreadSanitizer (the
# threaded code and its tests), and the libFuzzer targets for a short run
# each. Warnings are errors here.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/install-deps.sh"
cd "$root"
export KV_WERROR=ON
jobs=$(nproc)
fuzz_seconds=${KV_FUZZ_SECONDS:-20}

for preset in x86_64 i686 asan tsan; do
    echo "=== preset $preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j"$jobs"
    # Configure once more: CMake 3.25 can leave gtest_discover_tests' include
    # files recursive when a build re-ran the configure step by itself.
    cmake --preset "$preset" >/dev/null
    ctest --preset "$preset" -j"$jobs"
    if [[ $preset == i686 ]]; then
        echo "=== Debian packages (amd64 from x86_64, i386 from i686)"
        bash scripts/check-packages.sh build/x86_64 build/i686
    fi
done

echo "=== preset fuzz"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"$jobs" --target fuzzers
shopt -s nullglob
for fuzzer in build/fuzz/fuzz/*_fuzz; do
    corpus=$(mktemp -d)
    seeds="fuzz/corpus/$(basename "$fuzzer")"
    [[ -d "$seeds" ]] && cp -r "$seeds"/. "$corpus"/
    echo "--- $(basename "$fuzzer") for ${fuzz_seconds}s"
    "$fuzzer" -max_total_time="$fuzz_seconds" -print_final_stats=0 "$corpus" 2>&1 | tail -n 2
    rm -rf "$corpus"
done
echo "=== all presets passed"
