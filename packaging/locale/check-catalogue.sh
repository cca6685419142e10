#!/bin/bash
# Checks a tray catalogue: it compiles with msgfmt --check; every entry is
# translated and not fuzzy; a translation used as a printf format (marked
# "#. format: %s ..." in the catalogue) has exactly the conversions listed
# there and no other translation has any; and every msgid the sources under
# SOURCE_DIR use (_("...") and N_("...") in *.cpp and *.hpp, extracted with
# xgettext) has a translated entry, and those the sources flag c-format are
# marked as formats in the catalogue. Without sources only the catalogue is
# checked.
# Usage: check-catalogue.sh CATALOGUE.po [SOURCE_DIR]
set -euo pipefail

po=${1:?usage: check-catalogue.sh CATALOGUE.po [SOURCE_DIR]}
src=${2:-}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failed=0
fail() {
    echo "check-catalogue: $*" >&2
    failed=1
}

msgfmt --check -o /dev/null "$po" || fail "msgfmt --check failed for $po"

untranslated=$(msgattrib --untranslated --no-obsolete --no-wrap "$po" | grep '^msgid "..*"' || true)
[[ -z "$untranslated" ]] || fail "untranslated entries in $po: $untranslated"
fuzzy=$(msgattrib --only-fuzzy --no-obsolete --no-wrap "$po" | grep '^msgid "..*"' || true)
[[ -z "$fuzzy" ]] || fail "fuzzy entries in $po: $fuzzy"

# One line per entry, fields separated by US (\037, not white space, so
# that empty fields stay fields): msgid, the conversions its "format:"
# comment lists, the conversions its translation holds, its flags.
# Printf conversions: %% is a literal, anything else up to the conversion
# letter is one conversion.
entries() {
    msgcat --no-wrap "$1" | awk '
        function unquote(s) { sub(/^[^"]*"/, "", s); sub(/"[ \t]*$/, "", s); gsub(/\\"/, "\"", s); return s }
        function conversions(s,    out, rest, i) {
            out = ""
            rest = s
            while ((i = index(rest, "%")) > 0) {
                rest = substr(rest, i + 1)
                if (substr(rest, 1, 1) == "%") { rest = substr(rest, 2); continue }
                if (match(rest, /^[-+ #0]*[0-9*]*(\.[0-9*]*)?(hh|h|ll|l|L|q|j|z|t|I64)?[diouxXeEfFgGaAcspnm]/)) {
                    out = out (out == "" ? "" : " ") "%" substr(rest, 1, RLENGTH)
                    rest = substr(rest, RLENGTH + 1)
                } else {
                    out = out (out == "" ? "" : " ") "%?"
                }
            }
            return out
        }
        function flush() {
            if (have && id != "")
                printf "%s\037%s\037%s\037%s\n", id, expected, conversions(str), flags
            have = 0; id = ""; str = ""; expected = ""; flags = ""; part = ""
        }
        /^#\. format:/ {
            if (part == "str") flush()
            line = $0
            sub(/^#\. format:[ \t]*/, "", line)
            n = split(line, words, /[ \t]+/)
            for (w = 1; w <= n; ++w)
                if (words[w] ~ /^%/) expected = expected (expected == "" ? "" : " ") words[w]
            next
        }
        /^#,/ { if (part == "str") flush(); flags = flags $0; next }
        /^#/ { if (part == "str") flush(); next }
        /^msgid / { if (part == "str") flush(); have = 1; part = "id"; id = unquote($0); next }
        /^msgstr / { part = "str"; str = unquote($0); next }
        /^"/ { if (part == "id") id = id unquote($0); else if (part == "str") str = str unquote($0); next }
        /^[ \t]*$/ { if (part == "str") flush(); next }
        END { flush() }
    '
}

entries "$po" > "$tmp/catalogue"
while IFS=$'\037' read -r id expected actual flags; do
    if [[ "$expected" != "$actual" ]]; then
        fail "$id: translation has conversions '${actual}', its use needs '${expected}'"
    fi
done < "$tmp/catalogue"

if [[ -n "$src" && -d "$src" ]]; then
    mapfile -t sources < <(find "$src" -maxdepth 1 -type f \( -name '*.cpp' -o -name '*.hpp' \) | sort)
    if [[ ${#sources[@]} -gt 0 ]]; then
        xgettext --language=C++ --from-code=UTF-8 --keyword=_ --keyword=N_ --add-comments \
            --omit-header -o "$tmp/used.pot" "${sources[@]}"
        if [[ -s "$tmp/used.pot" ]]; then
            cut -d $'\037' -f1 "$tmp/catalogue" | sort -u > "$tmp/defined"
            entries "$tmp/used.pot" > "$tmp/used"
            cut -d $'\037' -f1 "$tmp/used" | sort -u > "$tmp/used-ids"
            while read -r id; do
                fail "msgid \"$id\" is used in $src but has no translated entry in $po"
            done < <(comm -23 "$tmp/used-ids" "$tmp/defined")
            # The sources' own c-format marks must agree with the catalogue's.
            while IFS=$'\037' read -r id _ _ flags; do
                [[ "$flags" == *c-format* && "$flags" != *no-c-format* ]] || continue
                if ! awk -F'\037' -v id="$id" '$1 == id && $2 != "" { found = 1 } END { exit !found }' \
                        "$tmp/catalogue"; then
                    fail "msgid \"$id\" is a format in $src but its entry in $po lists no conversions"
                fi
            done < "$tmp/used"
        fi
    fi
fi

exit "$failed"
