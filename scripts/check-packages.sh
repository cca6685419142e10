#!/usr/bin/env bash
# Builds the Debian packages of already built trees (CPack, reusing each
# tree) and checks them: architecture, contents against the expected file
# list, the dependencies dpkg-shlibdeps computed, the exact-version
# dependency on korvane-libs, maintainer scripts, and lintian (no errors).
# Usage: scripts/check-packages.sh <build dir>...
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
rc=0
fail() { echo "check-packages: $*" >&2; rc=1; }

for build in "$@"; do
    build=$(cd "$build" && pwd)
    echo "--- packages of $build"
    rm -rf "$build/packages"
    cmake --build "$build" --target packages >"$build/packages.log" 2>&1 ||
        { cat "$build/packages.log" >&2; exit 1; }
    expected_files=$build/packaging/installed-files.txt
    version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
    arch=$(sed -n 's/^set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
    for package in $(cut -d' ' -f1 "$expected_files" | sort -u); do
        deb=$build/packages/${package}_${version}_$arch.deb
        [[ -f $deb ]] || { fail "$deb was not built"; continue; }
        [[ $(dpkg-deb -f "$deb" Architecture) == "$arch" ]] || fail "$package: not $arch"
        diff -u <(awk -v p="$package" '$1 == p { print $2 }' "$expected_files" | sort) \
                <(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sed 's/^\.//' | sort) ||
            fail "$package ($arch): contents differ from the expected list (- expected, + packaged)"
        depends=$(dpkg-deb -f "$deb" Depends)
        diff -u <(awk -v p="$package" -v a="$arch" '$1 == p && ($2 == "any" || $2 == a) { for (i = 3; i <= NF; i++) print $i }' \
                      "$root/packaging/expected-depends.txt" | sort) \
                <(tr ',' '\n' <<<"$depends" | awk '{ print $1 }' | sort) ||
            fail "$package ($arch): Depends '$depends' differ from the expected packages"
        # Every library dependency carries the version dpkg-shlibdeps found.
        tr ',' '\n' <<<"$depends" | grep -v -e '^ *dbus$' -e '^ *gconf-service$' | grep -qv '(' &&
            fail "$package ($arch): a library dependency without a version: $depends"
        echo "$package $arch: $depends"
    done
    grep -q "korvane-libs (= $version)" <<<"$(dpkg-deb -f "$build/packages/kvagent-sim_${version}_$arch.deb" Depends)" ||
        fail "kvagent-sim ($arch) does not depend on korvane-libs (= $version)"
    [[ $(dpkg-deb -I "$build/packages/korvane-desktop_${version}_$arch.deb" conffiles) == \
       /etc/xdg/autostart/korvaneui.desktop ]] || fail "korvane-desktop: the autostart entry is not a conffile"
    for script in korvane-libs:postinst korvane-libs:postrm kvagent-sim:postinst kvagent-sim:prerm kvagent-sim:postrm; do
        dpkg-deb -I "$build/packages/${script%%:*}_${version}_$arch.deb" "${script#*:}" >/dev/null ||
            fail "${script%%:*}: no ${script#*:}"
    done
    echo "--- lintian ($arch)"
    lint_rc=0
    report=$(lintian --fail-on error --suppress-tags binary-has-unneeded-section "$build"/packages/*.deb 2>&1) ||
        lint_rc=$?
    grep -v '^running with root privileges' <<<"$report" || true
    [[ $lint_rc -eq 0 ]] || fail "lintian reports errors ($arch)"
done
[[ $rc -eq 0 ]] && echo "--- packages checked"
exit $rc
