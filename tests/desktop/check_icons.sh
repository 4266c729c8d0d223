#!/usr/bin/env bash
# The icon files in the tree are what the artwork generator draws today, and the scalable
# icon looks like the pixel one of the same size. Usage: check_icons.sh <build folder>
set -uo pipefail
build=$1
icons=$(cd "$(dirname "$0")/../../src/ui/shell/icons" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
fail() {
    echo "FAIL: $*"
    status=1
}

QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=$work "$build/bin/quillon-artwork" "$work/icons" "$work/data" ||
    { echo "FAIL: the artwork generator failed"; exit 1; }
# Qt's raster engine takes other code paths on other processors (AVX-512, say) and may draw
# a few edge pixels a shade apart, so the drawn icons are compared by pixels, not bytes: the
# same size, and at most 1 % of the pixels differing by more than 8/255.
for f in "$work"/icons/*; do
    name=$(basename "$f")
    case $name in
    *.png)
        [ "$(identify -format '%w %h' "$f")" = "$(identify -format '%w %h' "$icons/$name" 2>/dev/null)" ] ||
            { fail "src/ui/shell/icons/$name is not of the size the generator draws"; continue; }
        differ=$(compare -metric AE -fuzz 3.1% "$f" "$icons/$name" null: 2>&1)
        pixels=$(identify -format '%[fx:w*h]' "$f")
        echo "$name: $differ of $pixels pixels differ by more than 8/255"
        awk -v d="$differ" -v n="$pixels" 'BEGIN { exit !(d ~ /^[0-9.e+]+$/ && d <= n / 100) }' ||
            fail "src/ui/shell/icons/$name is not what the generator draws: run it and commit what it writes"
        ;;
    *)
        cmp -s "$f" "$icons/$name" ||
            fail "src/ui/shell/icons/$name is not what the generator writes: run it and commit what it writes"
        ;;
    esac
done
for f in "$icons"/*; do
    [ -e "$work/icons/$(basename "$f")" ] || fail "src/ui/shell/icons/$(basename "$f") is drawn by nothing"
done

# Rendered by another program than the one that drew it, over white; the root mean square
# difference is reported from 0 (same) to 1.
for size in 128 256; do
    rsvg-convert -w $size -h $size -b white "$icons/icon.svg" -o "$work/svg.png" ||
        { fail "icon.svg does not render"; continue; }
    convert "$icons/icon-$size.png" -background white -flatten "$work/png.png"
    rmse=$(compare -metric RMSE "$work/svg.png" "$work/png.png" null: 2>&1 | sed -n 's/.*(\(.*\)).*/\1/p')
    echo "icon.svg against icon-$size.png: RMSE $rmse"
    awk -v e="$rmse" 'BEGIN { exit !(e != "" && e < 0.04) }' ||
        fail "icon.svg at $size pixels differs from icon-$size.png (RMSE $rmse)"
done
exit $status
