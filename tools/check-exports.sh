#!/bin/bash
# Post-link check: the dynamic symbols a shared library defines are exactly
# the global names of its version script.
# With ABSENT-FILE (one name a line, '#' comments), none of its names may be
# defined either (names another library exports that this one must not).
# Usage: check-exports.sh LIBRARY MAPFILE [ABSENT-FILE]
set -euo pipefail
lib=$1 map=$2 absent=${3:-}
expected=$(sed -e 's#/\*.*\*/##g' -e 's#//.*##' "$map" | tr -s ' \t\n' '\n' |
    awk '/global:/ { g = 1; next } /local:/ { g = 0 } g && /;$/ { sub(/;$/, ""); if ($0 != "") print }' | sort -u)
actual=$(nm -D --defined-only "$lib" | awk '{ print $3 }' | sed 's/@.*//' | grep -v '^$' | sort -u)
if [[ "$actual" != "$expected" ]]; then
    echo "$lib: exports differ from $map" >&2
    diff <(echo "$expected") <(echo "$actual") >&2 || true
    exit 1
fi
if [[ -n "$absent" ]]; then
    present=$(comm -12 <(sed -e 's/#.*//' -e 's/[[:space:]]//g' "$absent" | grep -v '^$' | sort -u) <(echo "$actual"))
    if [[ -n "$present" ]]; then
        echo "$lib: exports names listed in $absent:" >&2
        echo "$present" >&2
        exit 1
    fi
fi
echo "$lib: $(echo "$actual" | wc -l) exports match $map${absent:+, none of $absent}"
