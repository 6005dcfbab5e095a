#!/usr/bin/env bash
# A notification on a real desktop: openbox on Xvfb, dunst as the notification daemon on a
# private session bus. A peer's line arrives while the user works in a line window; the
# notification shows (a screenshot is kept when SHOT is set) and its action brings the
# switchboard forward.
# Needs a build in build/ and the packages of: scripts/install-deps.sh desktop
set -euo pipefail
if [ -z "${DBUS_SESSION_BUS_ADDRESS:-}" ] || [ -z "${PALAVER_PRIVATE_BUS:-}" ]; then
    PALAVER_PRIVATE_BUS=1 exec dbus-run-session -- "$0" "$@"
fi
source "$(dirname "$0")/xvfb-common.sh"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
printf 'Desk\r\n\r\n%s\r\n0\r\n 0 \r\n' "$port" >"$work/insettings.ini"
export XDG_DATA_HOME="$work/data" XDG_CONFIG_HOME="$work/config"
start_display 800x600
dunst -geometry 320x60-10+10 >/dev/null 2>&1 &
started+=($!)
for _ in $(seq 1 100); do
    dunstctl is-paused >/dev/null 2>&1 && break
    sleep 0.05
done
start_palaver "$work" "Switchboard - Desk"
board=$window
fail=0

# Accept calls, open a line window and work there; the peer's line goes to the switchboard.
xdotool windowactivate --sync "$board"
xdotool key --window "$board" alt+t
sleep 0.3
xdotool key a
xdotool mousemove --window "$board" 233 303 click 1
line=$(timeout 10 xdotool search --sync --onlyvisible --name "(Line #2)" | head -1)
xdotool windowactivate --sync "$line"
PALAVER_PEER_LINGER=3 python3 "$top/scripts/palaver_peer.py" talk 127.0.0.1 "$port" Peer &
started+=($!)
sleep 1
shown=$(dunstctl count displayed)
echo "notifications shown: $shown"
if [ "$shown" -lt 1 ]; then
    echo "FAIL: no notification"
    fail=1
fi
if [ -n "${SHOT:-}" ]; then
    import -window root -crop 800x390+0+0 "$SHOT"
fi
# The notification's action: the switchboard comes forward.
dunstctl action 0
sleep 0.5
active=$(xdotool getactivewindow)
if [ "$active" = "$board" ]; then
    echo "the notification's action activated the switchboard"
else
    echo "FAIL: active window $active, not the switchboard $board"
    fail=1
fi
exit $fail
