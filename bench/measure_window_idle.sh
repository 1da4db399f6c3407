#!/usr/bin/env bash
# The window at rest: the built program under its own Xvfb server and a window manager, its
# link open as a TCP server with a peer connected and nothing sent, the traffic and statistics
# panels hidden and then shown. Prints the CPU the whole program used over each period.
#
#   bash bench/measure_window_idle.sh [PROGRAM] [SECONDS]     (default build/release, 60 s)
#
# Needs Xvfb, openbox and xdotool (bash scripts/deps.sh xvfb openbox xdotool).
set -euo pipefail
program=${1:-build/release/vantor-simulator}
seconds=${2:-60}
program=$(readlink -f "$program")
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
cp "$program" "$work/vantor-simulator"
printf '[Comm]\nType=2\nLocalPort=%s\n' "$port" >"$work/ZentrelConfig.ini"

display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
sleep 1
DISPLAY=$display openbox >/dev/null 2>&1 &
sleep 1
DISPLAY=$display "$work/vantor-simulator" >/dev/null 2>&1 &
pid=$!
sleep 3
# A peer holds the link up and sends nothing.
python3 -c "import socket,time; s=socket.create_connection(('127.0.0.1',$port)); time.sleep($seconds*2+30)" &
sleep 2

cpu() {  # user + system clock ticks of the program
    awk '{print $14 + $15}' "/proc/$pid/stat"
}
measure() {  # measure <label>
    local before after hz
    hz=$(getconf CLK_TCK)
    before=$(cpu)
    sleep "$seconds"
    after=$(cpu)
    awk -v a="$before" -v b="$after" -v s="$seconds" -v hz="$hz" -v label="$1" \
        'BEGIN { printf "%s: %.3f %% of a core over %d s (%d ticks)\n", label, (b - a) / hz / s * 100, s, b - a }'
}
measure "panels hidden"
window=$(DISPLAY=$display xdotool search --sync --onlyvisible --name "Vantor Protocol Simulator" | head -1)
DISPLAY=$display xdotool windowactivate --sync "$window" key ctrl+t key ctrl+shift+t
sleep 2
measure "traffic and statistics shown"
kill "$pid"
wait "$pid" 2>/dev/null || true
