# Sourced by the screenshot scripts: paths, a scratch folder, and a private Xvfb display
# that is torn down (with any Palaver started on it) when the script exits.
# Usage: start_display NUMBER WIDTHxHEIGHT
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bin="$top/build/bin/palaver"
work=$(mktemp -d)

start_display() {
    export DISPLAY=":$1"
    Xvfb "$DISPLAY" -screen 0 "$2x24" >/dev/null 2>&1 &
    xvfb=$!
    trap 'kill $xvfb 2>/dev/null; pkill -f "$bin" 2>/dev/null || true' EXIT
    sleep 1
}

# Starts Palaver in a folder (its settings file lives there) and gives it time to appear.
start_palaver() {
    (cd "$1" && "$bin" >/dev/null 2>&1 &)
    sleep 1.5
}
