#!/usr/bin/env bash
# Windows a user can live in, under a real window manager (openbox on Xvfb): a switchboard
# resized to twice its size gives the room to its log and keeps its controls inside; a
# second start from the same folder maps the first one's minimised switchboard and exits 0;
# a switchboard moved and closed comes back at its place.
# Needs a build in build/ and the packages of: scripts/install-deps.sh desktop
set -euo pipefail
source "$(dirname "$0")/xvfb-common.sh"
printf 'Desk\r\n\r\n7399\r\n0\r\n 0 \r\n' >"$work/insettings.ini"
start_display 1280x900
start_palaver "$work" "Switchboard - Desk"
board=$window
fail=0
check() { # check WHAT CONDITION...
    local what=$1
    shift
    if "$@"; then echo "$what"; else echo "FAIL: $what"; fail=1; fi
}
size() { xwininfo -id "$1" | awk '/^  Width:/ {w=$2} /^  Height:/ {h=$2} END {print w, h}'; }
# The colour of one pixel of a window as "R,G,B".
pixel() {
    import -window "$1" "$work/shot.png"
    convert "$work/shot.png" -crop "1x1+$2+$3" txt:- | awk 'NR==2 {gsub(/[()]/, "", $2); print $2}'
}
dark_red() { IFS=, read -r r g b <<<"$1"; [ "$r" -gt 100 ] && [ "$g" -lt 40 ] && [ "$b" -lt 40 ]; }
mapped() { xwininfo -id "$1" | grep -q "Map State: IsViewable"; }

# Twice the size: a point that is window background at the design's size lies in the log
# (white), and the server switch (dark red) still sits in the bottom right corner.
read -r w h < <(size "$board")
xdotool windowsize --sync "$board" $((w * 2)) $((h * 2))
sleep 0.5
read -r w2 h2 < <(size "$board")
echo "resized from ${w}x$h to ${w2}x$h2"
check "the log fills the grown window" \
    test "$(pixel "$board" $((w2 * 3 / 4)) $((h * 11 / 10)))" = "255,255,255"
check "the server switch keeps the bottom right corner" \
    dark_red "$(pixel "$board" $((w2 - 20)) $((h2 - 12)))"

# Minimised, then a second start from the same folder: the first copy's switchboard is
# mapped again and the second copy exits 0.
xdotool windowminimize "$board"
for _ in $(seq 1 50); do mapped "$board" || break; sleep 0.1; done
check "minimised" bash -c "! xwininfo -id $board | grep -q IsViewable"
status=0
(cd "$work" && timeout 10 "$bin" >"$work/second.log" 2>&1) || status=$?
check "a second start exits 0 ($(cat "$work/second.log"))" test "$status" -eq 0
for _ in $(seq 1 50); do mapped "$board" && break; sleep 0.1; done
check "the first copy's switchboard is mapped again" mapped "$board"

# Moved and closed: the next start puts it back where it was.
xdotool windowmove --sync "$board" 310 205
sleep 0.6
read -r before_x before_y < <(frame_position "$board")
quit_palaver "$board"
start_palaver "$work" "Switchboard - Desk"
read -r after_x after_y < <(frame_position "$window")
check "it comes back at $before_x,$before_y (at $after_x,$after_y)" \
    test "$before_x,$before_y" = "$after_x,$after_y"
read -r w3 h3 < <(size "$window")
check "with its size ${w3}x$h3" test "${w3}x$h3" = "${w2}x$h2"
exit $fail
