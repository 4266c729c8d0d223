#!/usr/bin/env bash
# The manual pages render without a warning and name their commands; the AppStream file
# validates and points at the installed desktop entry. Usage: check_docs.sh <build folder>
set -uo pipefail
build=$1
status=0
fail() {
    echo "FAIL: $*"
    status=1
}

for page in quillon quillon-reg; do
    file=$build/data/man/$page.1.gz
    [ -f "$file" ] || { fail "$file was not built"; continue; }
    # groff's warnings (bad requests, unknown escapes, overlong lines) go to stderr.
    text=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$file" 2>"$build/man-$page.err")
    if [ -s "$build/man-$page.err" ]; then
        fail "$page.1 renders with warnings:"
        cat "$build/man-$page.err"
    fi
    for section in NAME SYNOPSIS DESCRIPTION "EXIT STATUS" "SEE ALSO"; do
        grep -qx "$section" <<<"$text" || fail "$page.1 has no $section section"
    done
    grep -q "^ *$page - " <<<"$text" || fail "$page.1 does not name $page in its NAME line"
    # Every option the program's help lists is in its page.
    for option in $("$build/bin/$page" --help | grep -oE '(^|[ ,])--?[a-z][a-z-]*' | tr -d ' ,' | sort -u); do
        grep -qF -- "$option" <<<"$text" || fail "$page.1 does not mention $option"
    done
    echo "$page.1: $(wc -l <<<"$text") lines"
done

metainfo=$build/data/io.github.quillon.Quillon.metainfo.xml
appstreamcli validate --no-net "$metainfo" || fail "the AppStream metainfo does not validate"
grep -q '<launchable type="desktop-id">quillon.desktop</launchable>' "$metainfo" ||
    fail "the metainfo does not launch quillon.desktop"
exit $status
