#!/bin/sh
# A home router on this machine, for the tests: three network namespaces (lan, router, wan)
# joined by veth pairs, nftables masquerading lan to wan in the router, and miniupnpd there
# answering NAT-PMP and UPnP on the lan side. Nothing leaves the machine: the wan side is a
# namespace of its own, so an address that looks public is safe to use.
#   router.sh up ID EXTERNAL [nodaemon|upnp]   router.sh down ID
#   router.sh table ID                    router.sh restart ID
set -eu
cmd=$1
id=$2
L=pv-lan-$id
R=pv-rtr-$id
W=pv-wan-$id
dir=${TMPDIR:-/tmp}/palaver-router-$id

start_daemon() {
    # The mappings a router had are gone when it restarts.
    for chain in miniupnpd prerouting_miniupnpd postrouting_miniupnpd; do
        ip netns exec "$R" nft flush chain inet filter "$chain"
    done
    ip netns exec "$R" miniupnpd -d -f "$dir/miniupnpd.conf" -P "$dir/miniupnpd.pid" \
        >"$dir/miniupnpd.log" 2>&1 &
    echo $! >"$dir/daemon"
    # Up once it listens.
    for _ in $(seq 1 50); do
        grep -q "HTTP listening" "$dir/miniupnpd.log" 2>/dev/null && return 0
        sleep 0.1
    done
    cat "$dir/miniupnpd.log" >&2
    return 1
}

stop_daemon() {
    if [ -f "$dir/daemon" ]; then
        kill "$(cat "$dir/daemon")" 2>/dev/null || true
        while kill -0 "$(cat "$dir/daemon")" 2>/dev/null; do sleep 0.05; done
        rm -f "$dir/daemon"
    fi
}

case "$cmd" in
up)
    ext=$3
    kind=${4:-}
    mkdir -p "$dir"
    for n in "$L" "$R" "$W"; do
        ip netns add "$n"
        ip -n "$n" link set lo up
    done
    ip link add "l$id" netns "$L" type veth peer name "rl$id" netns "$R"
    ip link add "rw$id" netns "$R" type veth peer name "w$id" netns "$W"
    for side in "$L l$id 10.55.0.2" "$R rl$id 10.55.0.1" "$R rw$id $ext" "$W w$id ${ext%.*}.2"; do
        set -- $side
        ip -n "$1" addr add "$3/24" dev "$2"
        ip -n "$1" link set "$2" up
    done
    ip -n "$L" route add default via 10.55.0.1
    ip netns exec "$R" sysctl -qw net.ipv4.ip_forward=1
    ip netns exec "$R" nft -f - <<NFT
table inet filter {
  chain miniupnpd { }
  chain prerouting_miniupnpd { }
  chain postrouting_miniupnpd { }
  chain forward {
    type filter hook forward priority 0; policy drop;
    ct state established,related accept
    iifname "rl$id" oifname "rw$id" accept
    jump miniupnpd
  }
  chain prerouting {
    type nat hook prerouting priority -100; policy accept;
    jump prerouting_miniupnpd
  }
  chain postrouting {
    type nat hook postrouting priority 100; policy accept;
    jump postrouting_miniupnpd
    oifname "rw$id" masquerade
  }
}
NFT
    cat >"$dir/miniupnpd.conf" <<CONF
ext_ifname=rw$id
listening_ip=rl$id
port=0
enable_natpmp=$([ "$kind" = upnp ] && echo no || echo yes)
enable_upnp=yes
secure_mode=yes
system_uptime=no
uuid=3d3cec3a-8cf0-11e0-98ee-001a6bd2d07b
allow 1024-65535 10.55.0.0/24 1024-65535
deny 0-65535 0.0.0.0/0 0-65535
CONF
    [ "$kind" = nodaemon ] || start_daemon
    ;;
down)
    stop_daemon
    for n in "$L" "$R" "$W"; do ip netns del "$n" 2>/dev/null || true; done
    rm -rf "$dir"
    ;;
table)
    ip netns exec "$R" nft list chain inet filter prerouting_miniupnpd
    ;;
restart)
    stop_daemon
    start_daemon
    ;;
esac
