#!/usr/bin/env bash
# Two real copies of Palaver under Xvfb send each other files: Bob calls Alice, picks a
# picture with Ctrl+O, and Alice accepts it with Alt+A (a preview on both sides); then Bob
# sends a 2 GB file and the screenshot shows its progress on both sides. Alice's copy is
# killed on the way and started again: the file goes on where it stopped. Alice sends one
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
alice_pid=${started[-1]}
start_palaver "$work/bob" "Switchboard - Bob"
B=$window
xdotool windowmove --sync "$A" 0 20
xdotool windowmove --sync "$B" 0 540
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
part="$work/alice/Downloads/Palaver/holiday-video.mkv.part"
for _ in $(seq 1 100); do
    [ "$(stat -c %s "$part" 2>/dev/null || echo 0)" -gt 400000000 ] && break
    sleep 0.2
done
import -window root -crop 640x1040+0+0 "${SHOT:-$top/docs}/files.png"
# Alice's copy is killed on the way; started again, it takes the file up where it stopped
# when Bob's copy calls back.
kill -9 "$alice_pid"
wait "$alice_pid" 2>/dev/null || true
had=$(stat -c %s "$part")
start_palaver "$work/alice" "Switchboard - Alice"
A=$window
xdotool windowactivate --sync "$A"
xdotool key --window "$A" alt+t           # Tools > Accept/Reject Calls
sleep 0.4
xdotool key a
for _ in $(seq 1 30); do
    [ -f "$work/alice/Downloads/Palaver/holiday-video.mkv" ] && break
    sleep 1
done

cmp "$work/bob/holiday-video.mkv" "$work/alice/Downloads/Palaver/holiday-video.mkv"
echo "Alice had $had bytes when killed; the file arrived whole"
# Alice sends one back from the command line, through her running copy.
(cd "$work/alice" && "$bin" send 127.0.0.1:7442 notes.txt)
notes=$(timeout 10 xdotool search --sync --onlyvisible --name "Bob  \(Line #2\)" | head -1)
accept "$notes"
for _ in $(seq 1 20); do
    [ -f "$work/bob/Downloads/Palaver/notes.txt" ] && break
    sleep 0.5
done
import -window root "${SHOT:-$work}/files-2.png"
cmp "$work/alice/notes.txt" "$work/bob/Downloads/Palaver/notes.txt"
cmp "$work/bob/sunset.png" "$work/alice/Downloads/Palaver/sunset.png"
