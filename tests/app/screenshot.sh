#!/usr/bin/env bash
# Test of scripts/screenshot: with the built program, it must write a PNG that shows both windows, each where the
# script says it put it, inside the picture, side by side, and painted (not the empty screen behind them).
# Usage: screenshot.sh PATH/TO/tessaline (the Linux picture only: the Windows tier has its own build)
set -euo pipefail

program=${1:?usage: screenshot.sh PATH/TO/tessaline}
fail() {
    echo "FAIL: $*" >&2
    exit 1
}
command -v convert >/dev/null || fail "ImageMagick's convert is not installed (scripts/setup installs it)"
source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
out=$work/windows.png
TESSALINE_SCREENSHOT_WINDOWS=0 TESSALINE_PROGRAM=$program "$source_dir/scripts/screenshot" "$out" >"$work/stdout" 2>"$work/stderr" \
    || fail "scripts/screenshot failed: $(cat "$work/stderr")"
[ "$(cat "$work/stdout")" = "$out" ] || fail "scripts/screenshot did not print the picture's path: $(cat "$work/stdout")"
[ -s "$out" ] || fail "no picture was written"
read -r pw ph < <(convert "$out" -format '%w %h\n' info:) || fail "the picture is not an image"

# Each window's place, as the script reports it.
places=()
for name in first second; do
    place=$(sed -n "s/^screenshot: $name window \([0-9]*x[0-9]*+[0-9]*+[0-9]*\)$/\1/p" "$work/stderr")
    [ -n "$place" ] || fail "no place for the $name window in: $(cat "$work/stderr")"
    places+=("$place")
done

right_of_first=0
for i in 0 1; do
    IFS='x+' read -r w h x y <<<"${places[$i]}"
    [ "$w" -gt 100 ] && [ "$h" -gt 100 ] || fail "window $((i + 1)) is too small to be a window: ${places[$i]}"
    [ $((x + w)) -le "$pw" ] && [ $((y + h)) -le "$ph" ] \
        || fail "window $((i + 1)) (${places[$i]}) is cut off in the ${pw}x${ph} picture"
    if [ "$i" -eq 0 ]; then
        right_of_first=$((x + w))
    else
        [ "$x" -ge "$right_of_first" ] || fail "the windows overlap: ${places[*]}"
    fi
    # A painted window: light (white frames, button faces) with dark text, many shades from the anti-aliased text;
    # the screen behind the windows is one colour.
    read -r colours mean < <(convert "$out" -crop "${places[$i]}" +repage -format '%k %[fx:mean]\n' info:)
    [ "$colours" -ge 16 ] || fail "window $((i + 1)) (${places[$i]}) shows $colours colours: not painted"
    awk -v m="$mean" 'BEGIN { exit !(m > 0.5) }' || fail "window $((i + 1)) (${places[$i]}) is dark (mean $mean)"
done
echo "PASS: ${pw}x${ph} picture with both windows (${places[*]})"
