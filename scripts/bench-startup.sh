#!/usr/bin/env bash
# Start-up from launch to a mapped window under a real X server and window manager:
# Palaver's switchboard against an empty main window with a menu bar, 15 runs each,
# alternating. Needs the packages of: scripts/install-deps.sh desktop
set -euo pipefail
source "$(dirname "$0")/xvfb-common.sh"
anchor=$(realpath "${ANCHOR_BIN:-$top/build/bin/anchor_window}")
bin=$(realpath "${PALAVER_BIN:-$top/build/bin/palaver}")
printf 'Bench\r\n\r\n7000\r\n0\r\n 0 \r\n' >"$work/insettings.ini"
start_display 1024x768

# Milliseconds from launch until the window named $2 is mapped.
time_to_map() {
    local start end pid
    start=$(date +%s%N)
    (cd "$work" && exec "$1" >/dev/null 2>&1) &
    pid=$!
    # Polled every few milliseconds: xdotool's own --sync looks only twice a second.
    for _ in $(seq 1 4000); do
        xdotool search --onlyvisible --name "$2" >/dev/null 2>&1 && break
        sleep 0.002
    done
    end=$(date +%s%N)
    kill "$pid"
    wait "$pid" 2>/dev/null || true
    echo $(((end - start) / 1000))
}

ours=()
base=()
for _ in $(seq 1 15); do
    base+=("$(time_to_map "$anchor" "Anchor Window")")
    ours+=("$(time_to_map "$bin" "Palaver Switchboard - Bench")")
done
median() { printf '%s\n' "$@" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
m_ours=$(median "${ours[@]}")
m_base=$(median "${base[@]}")
awk -v o="$m_ours" -v b="$m_base" 'BEGIN {
    printf "start-up to a mapped window (X11, openbox): Palaver %.1f ms   empty main window %.1f ms   ratio: %.2f (goal <= 1.1)\n", o / 1000, b / 1000, o / b }'
