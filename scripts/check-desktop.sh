#!/usr/bin/env bash
# Checks under a real window manager (openbox on Xvfb) what offscreen tests cannot see:
# where line windows land, and that a line arriving in a background window raises the
# desktop's attention request on it.
# Needs a build in build/ and the packages of: scripts/install-deps.sh desktop
set -euo pipefail
source "$(dirname "$0")/xvfb-common.sh"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
printf 'Desk\r\n\r\n%s\r\n0\r\n 0 \r\n' "$port" >"$work/insettings.ini"
start_display 1024x768
start_palaver "$work" "Switchboard - Desk"
board=$window
fail=0

# "+ Line" three times (the button's centre at 96 DPI, below the menu bar).
lines=()
for n in 2 3 4; do
    xdotool windowactivate --sync "$board"
    xdotool mousemove --window "$board" 233 303 click 1
    lines+=("$(timeout 10 xdotool search --sync --onlyvisible --name "(Line #$n)" | head -1)")
done
read -r bx by < <(frame_position "$board")
px=$bx
py=$by
for w in "${lines[@]}"; do
    read -r x y < <(frame_position "$w")
    echo "line frame at $x,$y (previous $px,$py)"
    if [ "$x" -ne $((px + 15)) ] || [ "$y" -ne $((py + 15)) ]; then
        echo "FAIL: expected $((px + 15)),$((py + 15))"
        fail=1
    fi
    px=$x
    py=$y
done

# The switchboard listens; the user works in a line window; a peer's line arrives.
xdotool windowactivate --sync "$board"
xdotool key --window "$board" alt+t
sleep 0.3
xdotool key a # Tools > &Accept/Reject Calls
xdotool windowactivate --sync "${lines[0]}"
python3 "$top/scripts/palaver_peer.py" talk 127.0.0.1 "$port" Peer
sleep 0.3
if xprop -id "$board" _NET_WM_STATE | grep -q _NET_WM_STATE_DEMANDS_ATTENTION; then
    echo "switchboard asks for attention"
else
    echo "FAIL: no attention request on the switchboard"
    fail=1
fi
if xprop -id "${lines[0]}" _NET_WM_STATE | grep -q _NET_WM_STATE_DEMANDS_ATTENTION; then
    echo "FAIL: the active line window asks for attention"
    fail=1
fi
exit $fail
