#!/usr/bin/env bash
# Two real copies of Palaver under Xvfb, each in its own folder with its own settings file:
# Alice switches her server on, Bob calls her by address, each sends a line, Bob hangs up.
# Screenshots land in docs/. Needs the packages of: scripts/install-deps.sh desktop
set -euo pipefail
source "$(dirname "$0")/xvfb-common.sh"
mkdir -p "$work/alice" "$work/bob"
printf 'Alice\r\n\r\n7411\r\n0\r\n 0 \r\n' > "$work/alice/insettings.ini"
printf 'Bob\r\n\r\n7411\r\n0\r\n 1 \r\n127.0.0.1\r\n' > "$work/bob/insettings.ini"

start_display 860x400
start_palaver "$work/alice" "Switchboard - Alice"
A=$window
start_palaver "$work/bob" "Switchboard - Bob"
B=$window
xdotool windowmove --sync "$A" 0 20
xdotool windowmove --sync "$B" 430 20
# Control positions inside a window at 96 DPI (menu bar included).
click "$A" 341 303                        # Alice: server switch to Accept
click "$B" 45 303                         # Bob: address box
xdotool type --delay 20 "127.0.0.1"
click "$B" 137 303                        # Bob: Call
sleep 1.5
click "$B" 180 263                        # Bob: send box
xdotool type --delay 20 "Hello Alice, Bob here."
xdotool key Return
sleep 1
click "$A" 180 263                        # Alice: send box
xdotool type --delay 20 "Hi Bob! Loud and clear."
xdotool key Return
sleep 1
import -window root "$top/docs/two-copies-talking.png"
# Bob's secure label, with its tool tip: TLS version, cipher and the safety number.
xdotool windowactivate --sync "$B"
xdotool mousemove --window "$B" 270 226 sleep 0.3 mousemove --window "$B" 276 226
sleep 2
import -window root "$top/docs/secure-line.png"
# Bob's window made larger: the room goes to the log; his lines carry their confirmation.
xdotool mousemove 5 395
sleep 0.5
click "$B" 180 263
xdotool type --delay 20 "A second line, confirmed as well."
xdotool key Return
sleep 1
# Moved clear of the notification popup in the top right corner, captured from the screen.
xdotool windowmove --sync "$B" 0 20 windowsize --sync "$B" 520 370
sleep 0.5
read -r bx by < <(xwininfo -id "$B" | awk '/Absolute upper-left X/ {x=$4} /Absolute upper-left Y/ {y=$4} END {print x, y}')
import -window root -crop "520x370+$bx+$by" +repage "$top/docs/resized-with-marks.png"
xdotool windowsize --sync "$B" 376 316 windowmove --sync "$B" 430 20
sleep 0.5
click "$B" 185 303                        # Bob: Bye
sleep 1
import -window root "$top/docs/two-copies-after-bye.png"
echo "screenshots written to $top/docs"
