#!/usr/bin/env bash
# Long fuzzing runs: every libFuzzer target (or the ones named) for SECONDS
# each, from its seed corpus under fuzz/corpus/<target>/. Inputs that reach
# new coverage are merged back into that corpus (at most KV_FUZZ_MAX_NEW per
# target, smallest first, so the corpus kept in the repository stays small).
# Prints one row per target: executions, executions per second, new corpus
# files and findings. Findings (crash-*, leak-*, timeout-*, oom-*) are kept
# under build/fuzz/findings/<target>/. Exit status 1 when anything was found.
#
#   fuzz/run-long.sh SECONDS [TARGET...]
# Environment: KV_FUZZ_JOBS (parallel fuzzing processes per target, default
# 1), KV_FUZZ_MAX_NEW (default 32).
set -euo pipefail
shopt -s nullglob
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

if [[ $# -lt 1 || ! $1 =~ ^[0-9]+$ ]]; then
    echo "usage: fuzz/run-long.sh SECONDS [TARGET...]" >&2
    exit 2
fi
seconds=$1
shift
jobs=${KV_FUZZ_JOBS:-1}
max_new=${KV_FUZZ_MAX_NEW:-32}

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"$(nproc)" --target fuzzers >/dev/null

targets=("$@")
if [[ ${#targets[@]} -eq 0 ]]; then
    for f in build/fuzz/fuzz/*_fuzz; do targets+=("$(basename "$f")"); done
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
found_any=0
printf '%-22s %8s %14s %10s %6s %9s\n' target seconds executions exec/s new findings
for t in "${targets[@]}"; do
    bin=build/fuzz/fuzz/$t
    [[ -x $bin ]] || { echo "no fuzzer $t" >&2; exit 2; }
    seeds=fuzz/corpus/$t
    mkdir -p "$seeds"
    corpus=$work/$t/corpus
    findings=build/fuzz/findings/$t
    mkdir -p "$corpus" "$findings" "$work/$t/logs"
    cp -r "$seeds"/. "$corpus"/

    stamp=$work/$t/started
    touch "$stamp"
    # With several jobs each logs its own final statistics; executions are
    # summed over the logs.
    parallel=()
    [[ $jobs -gt 1 ]] && parallel=(-jobs="$jobs" -workers="$jobs")
    set +e
    (cd "$work/$t/logs" &&
     "$root/$bin" -max_total_time="$seconds" -print_final_stats=1 "${parallel[@]}" \
         -artifact_prefix="$root/$findings/" "$corpus" >"$work/$t/run.log" 2>&1)
    set -e
    execs=$(cat "$work/$t/run.log" "$work/$t"/logs/fuzz-*.log |
            awk '/stat::number_of_executed_units:/ {s += $2} END {print s + 0}')

    # Merging into a copy of the kept corpus adds only inputs whose coverage
    # it lacks; those are taken smallest first.
    fresh=$work/$t/fresh
    mkdir -p "$fresh"
    cp -r "$seeds"/. "$fresh"/
    "$bin" -merge=1 -merge_control_file="$work/$t/merge.ctl" "$fresh" "$corpus" \
        >"$work/$t/merge.log" 2>&1 || true
    added=0
    while IFS= read -r f; do
        name=$(basename "$f")
        [[ -e $seeds/$name ]] && continue
        [[ $added -ge $max_new ]] && break
        cp "$f" "$seeds/$name"
        added=$((added + 1))
    done < <(find "$fresh" -type f -printf '%s %p\n' | sort -n | cut -d' ' -f2-)

    nfind=$(find "$findings" -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' \
            -o -name 'oom-*' \) -newer "$stamp" | wc -l)
    [[ $nfind -gt 0 ]] && found_any=1
    printf '%-22s %8s %14s %10s %6s %9s\n' "$t" "$seconds" "$execs" \
        "$(( seconds > 0 ? execs / seconds : 0 ))" "$added" "$nfind"
done
exit $found_any
