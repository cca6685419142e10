#!/bin/bash
# Post-link check for libraries that run inside other processes: every
# NEEDED entry is one of the allowed libraries (or the program loader), no
# undefined symbol is bound to a libstdc++ version (GLIBCXX_*, CXXABI_*),
# and none needs __tls_get_addr (dynamic TLS may allocate) unless
# --dynamic-tls allows it (a library loaded by a program of ours, not a guest).
# Usage: check-deps.sh [--dynamic-tls] LIBRARY ALLOWED-PREFIX...   (e.g. libc.so libdl.so)
set -euo pipefail
dynamic_tls=0
if [[ "${1:-}" == --dynamic-tls ]]; then
    dynamic_tls=1
    shift
fi
lib=$1
shift
status=0
while read -r needed; do
    ok=0
    case "$needed" in
        ld-linux*.so*|ld-linux-x86-64.so*) ok=1 ;;
    esac
    for allowed in "$@"; do
        [[ "$needed" == "$allowed"* ]] && ok=1
    done
    if [[ $ok -ne 1 ]]; then
        echo "$lib: NEEDED $needed is not allowed" >&2
        status=1
    fi
done < <(readelf -dW "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\].*/\1/p')
cxx=$(readelf --dyn-syms -W "$lib" | awk '$7 == "UND" && $8 ~ /@(GLIBCXX|CXXABI)_/ { print $8 }')
if [[ -n "$cxx" ]]; then
    echo "$lib: undefined symbols bound to libstdc++:" >&2
    echo "$cxx" >&2
    status=1
fi
tls=$(readelf --dyn-syms -W "$lib" | awk '$7 == "UND" && $8 ~ /^_*tls_get_addr/ { print $8 }')
if [[ -n "$tls" && $dynamic_tls -eq 0 ]]; then
    echo "$lib: uses dynamic TLS ($tls)" >&2
    status=1
fi
[[ $status -eq 0 ]] && echo "$lib: NEEDED $(readelf -dW "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\].*/\1/p' | tr '\n' ' ')ok"
exit $status
