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

# With a history of 100,000 lines against an empty one (BENCH_APP fills the file).
if [ -n "${BENCH_APP:-}" ]; then
    "$(realpath "$BENCH_APP")" fill-history "$work/full/Palaver/history.sqlite" 100000
    mkdir -p "$work/empty"
    full=()
    empty=()
    for _ in $(seq 1 15); do
        empty+=("$(XDG_DATA_HOME="$work/empty" time_to_map "$bin" "Palaver Switchboard - Bench")")
        full+=("$(XDG_DATA_HOME="$work/full" time_to_map "$bin" "Palaver Switchboard - Bench")")
    done
    m_full=$(median "${full[@]}")
    m_empty=$(median "${empty[@]}")
    awk -v f="$m_full" -v e="$m_empty" 'BEGIN {
        printf "start-up with 100000 lines of history %.1f ms   with none %.1f ms   ratio: %.2f (goal <= 1.05)\n", f / 1000, e / 1000, f / e }'
fi
