#!/usr/bin/env bash
# Screenshots of the switchboard, the settings dialog and the About window under Xvfb, for
# docs/. Needs the packages of: scripts/install-deps.sh desktop
set -euo pipefail
source "$(dirname "$0")/xvfb-common.sh"
printf 'Alice\r\n\r\n7000\r\n30\r\n 2 \r\nbob.example.org\r\n192.0.2.10\r\n' > "$work/insettings.ini"
start_display 900x600
start_palaver "$work" "Switchboard - Alice"
W=$window
xdotool windowmove --sync "$W" 0 0
sleep 0.3
import -window "$W" "$top/docs/switchboard.png"

# Menus open from the keyboard.
xdotool windowactivate --sync "$W"
xdotool key --window "$W" alt+t
sleep 0.5
import -window root -crop 400x360+0+0 "$top/docs/menus.png"
xdotool key Escape
xdotool windowactivate --sync "$W"
xdotool key --window "$W" alt+t
sleep 0.3
xdotool key Return                         # Settings (highlighted first)
S=$(xdotool search --sync --onlyvisible --name "^Settings$" | head -1)
xdotool windowmove --sync "$S" 420 10
sleep 0.3
import -window "$S" "$top/docs/settings.png"
xdotool key Escape
xdotool windowactivate --sync "$W"
xdotool key --window "$W" alt+h
sleep 0.3
xdotool key Return                         # About Palaver... (highlighted first)
A=$(xdotool search --sync --onlyvisible --name "About Palaver" | head -1)
xdotool windowmove --sync "$A" 420 330
sleep 0.3
import -window "$A" "$top/docs/about.png"
echo "screenshots written to $top/docs"
