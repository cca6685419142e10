#!/bin/bash
# Post-link check: the dynamic symbols a shared library defines are exactly
# the global names of its version script.
# Usage: check-exports.sh LIBRARY MAPFILE
set -euo pipefail
lib=$1 map=$2
expected=$(sed -e 's#/\*.*\*/##g' -e 's#//.*##' "$map" | tr -s ' \t\n' '\n' |
    awk '/global:/ { g = 1; next } /local:/ { g = 0 } g && /;$/ { sub(/;$/, ""); if ($0 != "") print }' | sort -u)
actual=$(nm -D --defined-only "$lib" | awk '{ print $3 }' | sed 's/@.*//' | grep -v '^$' | sort -u)
if [[ "$actual" != "$expected" ]]; then
    echo "$lib: exports differ from $map" >&2
    diff <(echo "$expected") <(echo "$actual") >&2 || true
    exit 1
fi
echo "$lib: $(echo "$actual" | wc -l) exports match $map"
