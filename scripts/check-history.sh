#!/usr/bin/env bash
# The history in a real Palaver under openbox: a peer's line, a restart, Ctrl+H, a search
# typed as a user types it, an export through the file dialog that holds the line.
# SHOT=file.png keeps a screenshot of the History window.
# Needs a build in build/ and the packages of: scripts/install-deps.sh desktop
set -euo pipefail
source "$(dirname "$0")/xvfb-common.sh"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
printf 'Desk\r\n\r\n%s\r\n0\r\n 0 \r\n' "$port" >"$work/insettings.ini"
export XDG_DATA_HOME="$work/data" XDG_CONFIG_HOME="$work/config"
start_display 1024x768
fail=0

start_palaver "$work" "Switchboard - Desk"
xdotool windowactivate --sync "$window"
xdotool key --window "$window" alt+t
sleep 0.3
xdotool key a # Accept calls
python3 "$top/scripts/palaver_peer.py" talk 127.0.0.1 "$port" Bob
sleep 0.3
# Palaver ends and starts again: the conversation is still there.
quit_palaver "$window"
start_palaver "$work" "Switchboard - Desk"
xdotool windowactivate --sync "$window"
xdotool key --window "$window" ctrl+h
history=$(timeout 10 xdotool search --sync --onlyvisible --name "^History$" | head -1)
xdotool windowactivate --sync "$history"
sleep 0.5
xdotool key space # the first key after the shortcut may be lost
xdotool type --delay 60 "from bo"
sleep 0.5
if [ -n "${SHOT:-}" ]; then
    import -window "$history" "$SHOT"
fi
# Export...: the file dialog takes a name and Enter.
xdotool key --window "$history" alt+e
dialog=$(timeout 10 xdotool search --sync --onlyvisible --name "^Export$" | head -1)
xdotool windowactivate --sync "$dialog"
sleep 0.5
xdotool key ctrl+a
xdotool type --delay 20 "$work/exported.txt"
sleep 0.3
xdotool key Return
sleep 0.5
for _ in $(seq 1 50); do
    [ -s "$work/exported.txt" ] && break
    sleep 0.1
done
if grep -q "Bob: Hello from Bob" "$work/exported.txt" 2>/dev/null; then
    echo "exported after a restart: $(cat "$work/exported.txt")"
else
    echo "FAIL: the export does not hold the line"
    fail=1
fi
exit $fail
