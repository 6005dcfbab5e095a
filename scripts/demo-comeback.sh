#!/usr/bin/env bash
# Two real copies of Palaver under Xvfb with a relay between them, as a user meets a bad
# network: Bob calls Alice through the relay; the relay goes silent under the conversation
# (and passes new connections again); later Alice's copy is killed and started again. Bob
# types all along. Alice's history must hold every line exactly once, in order. Prints how
# long Bob took to notice the silence and to call back. Screenshot in docs/.
# Needs the packages of: scripts/install-deps.sh desktop
set -euo pipefail
source "$(dirname "$0")/xvfb-common.sh"
mkdir -p "$work/alice" "$work/bob"
printf 'Alice\r\n\r\n7421\r\n0\r\n 0 \r\n' > "$work/alice/insettings.ini"
# Bob calls the relay's port; the relay passes the call on to Alice's.
printf 'Bob\r\n\r\n7422\r\n0\r\n 1 \r\n127.0.0.1\r\n' > "$work/bob/insettings.ini"

# The relay: every connection passed on; SIGUSR1 silences the ones up now (nobody is told),
# new ones pass. Each new connection is logged with its time.
python3 - "$work/relay.log" <<'EOF' &
import signal, socket, sys, threading, time
log = open(sys.argv[1], "w", buffering=1)
silent = set()
pairs = []
def silence(*_):
    for p in pairs:
        silent.add(p)
    log.write("silent %.3f\n" % time.time())
signal.signal(signal.SIGUSR1, silence)
def pump(src, dst, pair):
    try:
        while True:
            data = src.recv(65536)
            if not data:
                break
            if pair not in silent:
                dst.sendall(data)
    except OSError:
        pass
    for s in (src, dst):
        try:
            s.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
server = socket.socket()
server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
server.bind(("127.0.0.1", 7422))
server.listen()
while True:
    a, _ = server.accept()
    log.write("connection %.3f\n" % time.time())
    try:
        b = socket.create_connection(("127.0.0.1", 7421))
    except OSError:
        a.close()
        continue
    pair = object()
    pairs.append(pair)
    threading.Thread(target=pump, args=(a, b, pair), daemon=True).start()
    threading.Thread(target=pump, args=(b, a, pair), daemon=True).start()
EOF
relay=$!
started+=($relay)

start_display 860x400
start_palaver "$work/alice" "Switchboard - Alice"
A=$window
alice=${started[-1]}
start_palaver "$work/bob" "Switchboard - Bob"
B=$window
xdotool windowmove --sync "$A" 0 20
xdotool windowmove --sync "$B" 430 20
# A line typed into Bob's send box, over whatever unconfirmed line it still holds.
say() { click "$B" 180 263; xdotool key ctrl+a; xdotool type --delay 10 "$1"; xdotool key Return; sleep 0.5; }
click "$A" 341 303                        # Alice: server switch to Accept
click "$B" 45 303                         # Bob: address box
xdotool type --delay 20 "127.0.0.1"
click "$B" 137 303                        # Bob: Call
sleep 3
say "one"

# The network goes silent under the call, and is back for new connections at once.
kill -USR1 "$relay"
say "two"
say "three"
until [ "$(grep -c connection "$work/relay.log")" -ge 2 ]; do sleep 0.5; done
sleep 4
say "four"

# Alice's copy dies without a word and starts again.
kill -9 "$alice"
sleep 1
say "five"
say "six"
start_palaver "$work/alice" "Switchboard - Alice"
A=$window
xdotool windowmove --sync "$A" 0 20
click "$A" 341 303
db="$work/alice/.local/share/Palaver/history.sqlite"
for _ in $(seq 1 120); do
    # Lines that arrived together share a row, one line of text each.
    got=$(python3 -c "import sqlite3,sys; c=sqlite3.connect(sys.argv[1]); print(' '.join(t for r in c.execute('select text from lines where outgoing=0 order by id') for t in r[0].split(chr(10))))" "$db" 2>/dev/null || true)
    [ "$got" = "one two three four five six" ] && break
    sleep 1
done
import -window root "$top/docs/comeback.png"
silent=$(awk '/silent/ {print $2}' "$work/relay.log")
again=$(awk '/connection/ {n++; if (n == 2) print $2}' "$work/relay.log")
cp "$work/relay.log" /tmp/comeback-relay.log
echo "Alice heard: $got"
python3 -c "import sys; print('silence noticed and dialled again after %.1f s' % (float(sys.argv[2]) - float(sys.argv[1])))" "$silent" "$again"
[ "$got" = "one two three four five six" ]
