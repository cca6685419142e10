#!/usr/bin/env bash
# Installs the build tree into a staging root (DESTDIR, with a prefix that
# must not matter) and checks what arrived: exactly the expected files, the
# programs' library search paths, the autostart entry, and the public
# headers found through the pkg-config file by a C caller that links every
# library.
# Usage: check-staged-install.sh <build dir> <expected list> <C compiler> [C flags...]
set -euo pipefail
build=$1 expected=$2 cc=$3
shift 3
stage=$(mktemp -d)
trap 'rm -rf "${stage%/all}"' EXIT
rc=0
fail() { echo "install_layout: $*" >&2; rc=1; }

# Component by component (each one is a package), then everything at once:
# a file outside every package shows up only in the second listing.
for package in $(cut -d' ' -f1 "$expected" | sort -u); do
    DESTDIR=$stage/$package cmake --install "$build" --prefix /usr/local/elsewhere --component "$package" >/dev/null
    (cd "$stage/$package" && find . ! -type d | sed "s|^\.|$package |")
done | sort >"$stage/by-package"
DESTDIR=$stage/all cmake --install "$build" --prefix /usr/local/elsewhere >/dev/null
diff -u <(sort "$expected") "$stage/by-package" ||
    fail "packaged files differ from the expected list (- expected, + installed)"
diff -u <(cut -d" " -f2 "$stage/by-package" | sort) <(cd "$stage/all" && find . ! -type d | sed 's/^\.//' | sort) ||
    fail "files installed outside the packages (+)"
stage=$stage/all
for f in korvanectl korvaneui kvagent-sim; do
    [[ -x $stage/opt/korvane/desktop/$f ]] || fail "$f is not executable"
done
[[ $(readlink "$stage/usr/bin/korvanectl") == /opt/korvane/desktop/korvanectl ]] ||
    fail "/usr/bin/korvanectl does not point at /opt/korvane/desktop/korvanectl"

# No build-tree path survives the install; only kvagent-sim, which needs
# libkvhelper.so, has a search path, and it is its own folder.
while read -r file; do
    paths=$(readelf -d "$file" | sed -n 's/.*(R\(UN\)\{0,1\}PATH).*\[\(.*\)\]/\2/p')
    case $file in
    */kvagent-sim) [[ $paths == '$ORIGIN' ]] || fail "$file: search path '$paths', not \$ORIGIN" ;;
    *) [[ -z $paths ]] || fail "$file: search path '$paths'" ;;
    esac
done < <(find "$stage/opt/korvane/desktop" -maxdepth 1 -type f \( -name '*.so' -o -perm -u+x \))

desktop-file-validate "$stage/etc/xdg/autostart/korvaneui.desktop" || fail "autostart entry is not valid"
grep -qx 'Exec=/opt/korvane/desktop/korvaneui' "$stage/etc/xdg/autostart/korvaneui.desktop" ||
    fail "autostart entry does not start /opt/korvane/desktop/korvaneui"

# C callers of the three public headers, compiled and linked against the
# staged libraries through the staged pkg-config file. One translation unit
# per header: cefrpc.h and kvhelper.h declare version_section_string with
# different types, so no one file can include both.
pcdir=$(dirname "$(find "$stage/usr/lib" -name korvane.pc)")
flags=$(PKG_CONFIG_SYSROOT_DIR=$stage PKG_CONFIG_LIBDIR=$pcdir pkg-config --cflags --libs korvane) ||
    fail "pkg-config cannot read korvane.pc"
sources=()
for header in cefrpc kvhelper memdef; do
    printf '#include <%s.h>\nconst char* %s_version(void) { return version_number; }\n' "$header" "$header" \
        >"$stage/$header.c"
    sources+=("$stage/$header.c")
done
printf 'int main(void) { return 0; }\n' >"$stage/main.c"
# shellcheck disable=SC2086  # flags are words
"$cc" "$@" -Wall -Werror -o "$stage/caller" "$stage/main.c" "${sources[@]}" $flags -Wl,--no-as-needed \
    -lkvhelper -lmemdef -lcefrpcclient -lcefrpcserver ||
    fail "a C caller cannot build against the installed headers and libraries"
readelf -d "$stage/caller" 2>/dev/null | grep -q 'NEEDED.*libkvhelper.so' || fail "the caller does not need libkvhelper.so"
exit $rc
