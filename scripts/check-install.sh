#!/usr/bin/env bash
# Installs Palaver into a temporary prefix, starts the installed program from another folder
# under a real window manager, switches its server on from the keyboard, and has a scripted
# peer log in and send a line. The acknowledgement carries a CRC, so it proves that the
# installed program found its private checksum library.
# Needs a build in build/ and the packages of: scripts/install-deps.sh desktop
set -euo pipefail
source "$(dirname "$0")/xvfb-common.sh"
prefix="$work/prefix"
cmake --install "$top/build" --prefix "$prefix" >/dev/null
bin="$prefix/bin/palaver"
"$bin" --version
# Help > Palaver Help opens this guide; the manual page goes with it.
test -s "$prefix/share/doc/palaver/guide.html"
man -l "$prefix/share/man/man1/palaver.1" 2>/dev/null | grep -q "palaver call" ||
    grep -q '^\.B palaver call' "$prefix/share/man/man1/palaver.1"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
mkdir "$work/elsewhere"
printf 'Installed\r\n\r\n%s\r\n0\r\n 0 \r\n' "$port" >"$work/elsewhere/insettings.ini"

start_display 800x600
start_palaver "$work/elsewhere" "Switchboard - Installed"
W=$window
xdotool windowactivate --sync "$W"
xdotool key --window "$W" alt+t
sleep 0.3
xdotool key a # Tools > &Accept/Reject Calls
for _ in $(seq 1 50); do
    python3 -c "import socket; socket.create_connection(('127.0.0.1', $port), 1).close()" \
        2>/dev/null && break
    sleep 0.1
done
python3 "$top/scripts/palaver_peer.py" talk 127.0.0.1 "$port" Tester
