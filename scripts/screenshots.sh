#!/usr/bin/env bash
# Screenshots of the switchboard, the settings dialog and the About window under Xvfb, for
# docs/. Needs xvfb, xdotool and imagemagick.
set -euo pipefail
source "$(dirname "$0")/xvfb-common.sh"
printf 'Alice\r\n\r\n7000\r\n30\r\n 2 \r\nbob.example.org\r\n192.0.2.10\r\n' > "$work/insettings.ini"
start_display 48 900x600
start_palaver "$work"
W=$(xdotool search --name "Switchboard - Alice" | head -1)
import -window "$W" "$top/docs/switchboard.png"

# Menus open with a click; the window sits at 20,20 and nothing else moves it.
xdotool mousemove 80 28 click 1            # Tools
sleep 0.5
import -window root -crop 400x340+0+0 "$top/docs/menus.png"
xdotool mousemove 113 49 click 1           # Settings
sleep 1
S=$(xdotool search --name "^Settings$" | head -1)
xdotool windowmove "$S" 300 10
sleep 0.5
import -window "$S" "$top/docs/settings.png"
xdotool mousemove 122 28 click 1           # Help
sleep 0.5
xdotool mousemove 150 49 click 1           # About Palaver...
sleep 1
A=$(xdotool search --name "About Palaver" | head -1)
xdotool windowmove "$A" 420 330
sleep 0.5
import -window "$A" "$top/docs/about.png"
echo "screenshots written to $top/docs"
