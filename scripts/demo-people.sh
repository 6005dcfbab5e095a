#!/usr/bin/env bash
# Two real copies of Palaver under Xvfb: Bob calls Alice, and each keeps the other as a
# contact. Bob's copy ends; Alice's People list says he is away, she opens him from the list
# and types two lines, which wait ("2 waiting"). Bob's copy starts again on another port and
# calls her: the lines that waited are delivered, once. Screenshot in docs/.
# Needs the packages of: scripts/install-deps.sh desktop
set -euo pipefail
source "$(dirname "$0")/xvfb-common.sh"
mkdir -p "$work/alice" "$work/bob"
printf 'Alice\r\n\r\n7431\r\n0\r\n 0 \r\n' > "$work/alice/insettings.ini"
printf 'Bob\r\n\r\n7432\r\n0\r\n 1 \r\n127.0.0.1:7431\r\n' > "$work/bob/insettings.ini"

start_display 900x760
start_palaver "$work/alice" "Switchboard - Alice"
A=$window
start_palaver "$work/bob" "Switchboard - Bob"
B=$window
xdotool windowmove --sync "$A" 0 20
xdotool windowmove --sync "$B" 0 400
click "$A" 341 303                        # Alice: server switch to Accept
click "$B" 45 303                         # Bob: address box
xdotool key ctrl+a
xdotool type --delay 20 "127.0.0.1:7431"
click "$B" 137 303                        # Bob: Call
sleep 3
at() { xdotool mousemove "$1" "$2" click --repeat "${3:-1}" --delay 120 1; sleep 0.6; }
# Bob says Bye and his copy ends.
click "$B" 185 303
quit_palaver "$B"
sleep 1
# Alice opens Bob from her list and writes to him while he is away.
at 415 85 2
L=$(timeout 10 xdotool search --sync --onlyvisible --name "Alice  \(Line #2\)" | head -1)
xdotool windowmove --sync "$L" 0 370
xdotool windowactivate --sync "$L"
xdotool type --delay 20 "are you there?"
xdotool key Return
sleep 0.4
xdotool type --delay 20 "call me when you are back"
xdotool key Return
sleep 1.5
import -window root -crop 640x740+0+0 "${SHOT:-$top/docs}/people.png"
xdotool windowmove --sync "$L" 240 20

# Bob's copy starts again on another port, and calls her.
printf 'Bob\r\n\r\n7433\r\n0\r\n 1 \r\n127.0.0.1:7431\r\n' > "$work/bob/insettings.ini"
start_palaver "$work/bob" "Switchboard - Bob"
B=$window
xdotool windowmove --sync "$B" 0 400
# Bob's list finds Alice here; a double-click calls her.
for _ in $(seq 1 20); do
    import -window "$B" "$work/b.png"
    # The green dot in front of her name.
    convert "$work/b.png" -crop 12x12+386+60 -format '%[fx:mean.g>mean.r+0.1]' info: | grep -q 1 && break
    sleep 0.5
done
at 418 465 2
db="$work/bob/.local/share/Palaver/history.sqlite"
for _ in $(seq 1 30); do
    got=$(python3 -c "import sqlite3,sys; c=sqlite3.connect(sys.argv[1]); print('|'.join(t for r in c.execute('select text from lines where outgoing=0 order by id') for t in r[0].split(chr(10))))" "$db" 2>/dev/null || true)
    [ "$got" = "are you there?|call me when you are back" ] && break
    sleep 1
done
sleep 1
import -window root "${SHOT:-$work}/people-3.png"
echo "Bob heard: $got"
[ "$got" = "are you there?|call me when you are back" ]
