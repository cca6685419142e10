#!/bin/bash
# Post-link check: FILE has an ELF section "__version" holding exactly TEXT
# followed by one NUL byte.
# Usage: check-version-section.sh FILE TEXT
set -euo pipefail
file=$1 text=$2
tmp=$(mktemp)
trap 'rm -f "$tmp"' EXIT
objcopy -O binary --only-section=__version "$file" "$tmp"
expected=$(printf '%s\0' "$text" | od -An -tx1 | tr -d ' \n')
actual=$(od -An -tx1 "$tmp" | tr -d ' \n')
if [[ "$actual" != "$expected" ]]; then
    echo "$file: __version holds '$actual', expected '$expected'" >&2
    exit 1
fi
hex=$(readelf -SW "$file" | sed 's/^ *\[ *[0-9]*\] *//' | awk '$1 == "__version" { print $5 }')
size=$(( 16#${hex:-0} ))
if [[ "$size" != $(( ${#text} + 1 )) ]]; then
    echo "$file: __version section size '$size', expected $(( ${#text} + 1 ))" >&2
    exit 1
fi
echo "$file: __version = \"$text\" ($size bytes)"
