#!/usr/bin/env bash
# Two real copies of Palaver find each other through avahi-daemon, which runs here on a
# private system bus of the script's own (never the machine's). Bob's switchboard with its
# People panel (strangers nearby) lands in docs/nearby.png. Needs the packages of: scripts/install-deps.sh desktop
set -euo pipefail
source "$(dirname "$0")/xvfb-common.sh"
cat >"$work/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig><type>system</type><listen>unix:path=$work/system_bus</listen><auth>EXTERNAL</auth>
<policy context="default"><allow user="*"/><allow own="*"/><allow send_type="method_call"/>
<allow send_destination="*"/><allow receive_sender="*"/>
<allow send_requested_reply="true"/><allow receive_requested_reply="true"/></policy></busconfig>
CONF
printf '[server]\nratelimit-burst=1000\n[publish]\npublish-hinfo=no\npublish-workstation=no\n' \
    >"$work/avahi.conf"
dbus-daemon --config-file="$work/bus.conf" --nofork &
started+=($!)
export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$work/system_bus"
for _ in $(seq 1 50); do [ -S "$work/system_bus" ] && break; sleep 0.1; done
/usr/sbin/avahi-daemon --no-drop-root --no-chroot --no-rlimits -f "$work/avahi.conf" \
    >"$work/avahi.log" 2>&1 &
started+=($!)
sleep 1
for who in Alice Bob; do
    mkdir -p "$work/$who/.config/Palaver"
    printf '%s\r\n\r\n%s\r\n0\r\n 0 \r\n' "$who" $((7420 + ${#who})) >"$work/$who/insettings.ini"
    printf '[General]\naccept-at-start=true\n' >"$work/$who/.config/Palaver/windows.ini"
done
start_display 1000x420
start_palaver "$work/Alice" "Switchboard - Alice"
A=$window
start_palaver "$work/Bob" "Switchboard - Bob"
B=$window
xdotool windowmove --sync "$A" 0 20
xdotool windowmove --sync "$B" 320 20
sleep 3
import -window root -crop 680x400+320+0 +repage "$top/docs/nearby.png"
echo "screenshot written to $top/docs/nearby.png"
