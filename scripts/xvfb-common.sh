# Sourced by the desktop scripts: a private X display with a window manager, Palaver copies
# started in folders of their own, and a teardown that stops exactly the processes started
# here (by PID), never anything else the user runs.
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bin=$(realpath "${PALAVER_BIN:-$top/build/bin/palaver}")
work=$(mktemp -d)
started=()

stop_started() {
    for pid in "${started[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${started[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap stop_started EXIT

# start_display WIDTHxHEIGHT: Xvfb on the first free display, then openbox on it.
start_display() {
    local fifo="$work/displayfd"
    mkfifo "$fifo"
    Xvfb -displayfd 3 -screen 0 "$1x24" -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
    started+=($!)
    local number
    read -r number <"$fifo"
    export DISPLAY=":$number"
    openbox >/dev/null 2>&1 &
    started+=($!)
    # The window manager is up once it has claimed the screen.
    for _ in $(seq 1 100); do
        xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id" && return 0
        sleep 0.05
    done
    echo "openbox did not start" >&2
    return 1
}

# start_palaver FOLDER TITLE: starts Palaver there (its settings file lives there) and sets
# $window to its switchboard's window id once the window is mapped. Its key, keys and history
# live in the folder too unless the script chose places of its own: nothing of the user's.
# Not to be run in a subshell: the PID must reach the teardown.
start_palaver() {
    (cd "$1" && HOME="$1" XDG_DATA_HOME="${XDG_DATA_HOME:-$1/.local/share}" \
        XDG_CONFIG_HOME="${XDG_CONFIG_HOME:-$1/.config}" exec "$bin" >"$1/palaver.log" 2>&1) &
    started+=($!)
    window=$(timeout 20 xdotool search --sync --onlyvisible --name "$2" | head -1)
    [ -n "$window" ]
}

# The absolute position of a window's frame, as "X Y".
frame_position() {
    local frame
    frame=$(xwininfo -id "$1" -children | awk '/Parent window id/ {print $4}')
    xwininfo -id "$frame" | awk '/Absolute upper-left X/ {x=$4} /Absolute upper-left Y/ {y=$4} END {print x, y}'
}

# quit_palaver WINDOW: File > Exit in the switchboard WINDOW of the copy started last, and
# waits until that copy has ended.
quit_palaver() {
    local pid=${started[-1]}
    xdotool windowactivate --sync "$1"
    xdotool key --window "$1" alt+f
    sleep 0.3
    xdotool key x
    wait "$pid" 2>/dev/null || true
}

# click WINDOW X Y: a left click at X,Y inside WINDOW, then a moment for it to take effect.
click() { xdotool mousemove --window "$1" "$2" "$3" click 1; sleep 0.4; }
