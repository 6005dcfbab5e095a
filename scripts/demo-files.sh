#!/usr/bin/env bash
# Two real copies of Palaver under Xvfb send each other files: Bob calls Alice, picks a
# picture with Ctrl+O, and Alice accepts it with Alt+A (a preview on both sides); then Bob
# sends a 2 GB file and the screenshot shows its progress on both sides. Alice sends one
# back with "palaver send", through her running copy. Screenshot in docs/.
# Needs the packages of: scripts/install-deps.sh desktop
set -euo pipefail
source "$(dirname "$0")/xvfb-common.sh"
mkdir -p "$work/alice" "$work/bob"
printf 'Alice\r\n\r\n7441\r\n0\r\n 0 \r\n' > "$work/alice/insettings.ini"
printf 'Bob\r\n\r\n7442\r\n0\r\n 0 \r\n127.0.0.1:7441\r\n' > "$work/bob/insettings.ini"
convert -size 320x200 gradient:'#3a7bd5-#f7b733' -fill white -pointsize 28 \
    -annotate +20+110 'Palaver' "$work/bob/sunset.png"
truncate -s 2G "$work/bob/holiday-video.mkv"
echo "the notes Alice sends back" > "$work/alice/notes.txt"

start_display 800x1040
start_palaver "$work/alice" "Switchboard - Alice"
A=$window
start_palaver "$work/bob" "Switchboard - Bob"
B=$window
xdotool windowmove --sync "$A" 0 20
xdotool windowmove --sync "$B" 0 540
click() { xdotool mousemove --window "$1" "$2" "$3" click 1; sleep 0.4; }
click "$A" 341 303                        # Alice: server switch to Accept
click "$B" 341 303                        # Bob too: Alice sends back later
click "$B" 45 303                         # Bob: address box
xdotool key ctrl+a
xdotool type --delay 20 "127.0.0.1:7441"
click "$B" 137 303                        # Bob: Call
sleep 3
# send_file WINDOW PATH: Ctrl+O in WINDOW, the path typed into the dialog, Enter.
send_file() {
    xdotool windowactivate --sync "$1"
    xdotool key --window "$1" ctrl+o
    local dialog
    dialog=$(timeout 10 xdotool search --sync --onlyvisible --name "Send File" | head -1)
    xdotool windowactivate --sync "$dialog"
    xdotool type --delay 10 "$2"
    sleep 0.5
    # The first Enter may only take the suggestion; the second then accepts.
    for _ in 1 2; do
        xdotool search --onlyvisible --name "Send File" >/dev/null || break
        xdotool key --window "$dialog" Return
        sleep 0.7
    done
}
accept() {
    xdotool windowactivate --sync "$1"
    xdotool key alt+a
    sleep 1
}
send_file "$B" "$work/bob/sunset.png"
accept "$A"
send_file "$B" "$work/bob/holiday-video.mkv"
accept "$A"
sleep 2
import -window root -crop 640x1040+0+0 "${SHOT:-$top/docs}/files.png"
# Alice sends one back from the command line, through her running copy.
(cd "$work/alice" && "$bin" send 127.0.0.1:7442 notes.txt)
for _ in $(seq 1 60); do
    [ -f "$work/alice/Downloads/Palaver/holiday-video.mkv" ] && break
    sleep 1
done
ls -la "$work/alice/Downloads/Palaver/" "$work/bob/Downloads/Palaver/" 2>&1 || true
import -window root "${SHOT:-$work}/files-2.png"
cmp "$work/bob/sunset.png" "$work/alice/Downloads/Palaver/sunset.png"
