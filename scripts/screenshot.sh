#!/usr/bin/env bash
# Remakes docs/main-window.png: the simulator under a private Xvfb server, started beside a
# prepared configuration (TCP server, filled send rows), a few messages sent to it over TCP
# from 127.0.0.1, two send rows pressed (Alt+1, Alt+3) and answered, and a picture of its
# window. Then docs/traffic-view.png: the same window, larger, with the traffic view and the
# statistics shown.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh imagemagick x11-utils xdotool
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release -j "${JOBS:-2}" --target vantor-simulator >/dev/null

TITLE="Halvorn Vantor Protocol Simulator"
OUT=${1:-docs/main-window.png}
OUT_TRAFFIC=${2:-docs/traffic-view.png}
work=$(mktemp -d)
pids=()
cleanup() {
    local i
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do  # the program before its X server
        kill "${pids[i]}" 2>/dev/null || true
        wait "${pids[i]}" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

port=$((20000 + RANDOM % 20000))
cp build/release/vantor-simulator "$work/"
cat >"$work/ZentrelConfig.ini" <<INI
[Display]
Left=0
Top=0
Height=720
Width=1000
State=0
[Comm]
Type=2
LocalPort=$port
[Send]
Type0=A
Msg0=Hello from row 1
Count0=1
Delay0=0
Type1=T
Msg1=Time %T, day %D
Count1=10
Delay1=500
Type2=S
Msg2=Serial %S%F
Count2=3
Delay2=0
Type3=Q
Msg3=STATUS?\r
Count3=1
Delay3=0
[Reply]
Type0=A
Msg0=OK
Action0=0
Type1=B
Msg1=BUSY
Action1=1
INI

Xvfb -displayfd 5 -screen 0 1500x1100x24 -nolisten tcp 5>"$work/display" 2>/dev/null &
pids+=($!)
for _ in $(seq 100); do [[ -s "$work/display" ]] && break; sleep 0.1; done
export DISPLAY=":$(cat "$work/display")"

(cd "$work" && exec ./vantor-simulator) &
pids+=($!)
window=""
for _ in $(seq 200); do
    window=$(xwininfo -name "$TITLE" 2>/dev/null | awk '/Window id:/ {print $4}') && [[ -n "$window" ]] && break
    sleep 0.1
done
[[ -n "$window" ]] || { echo "the window did not appear" >&2; exit 1; }

# Connect once the program listens (a refused connection would end this script).
hexport=$(printf ':%04X ' "$port")
for _ in $(seq 100); do grep -q "$hexport.* 0A " /proc/net/tcp && break; sleep 0.1; done
exec 3<>"/dev/tcp/127.0.0.1/$port"

# frame TYPE TEXT [BCC]: one message frame; the block check is computed unless given.
frame() {
    local type=$1 text=$2 sum i
    sum=$(printf '%d' "'$type")
    for ((i = 0; i < ${#text}; i++)); do sum=$(((sum + $(printf '%d' "'${text:i:1}")) % 256)); done
    printf '\x01%s\x02%s\x03%s\r' "$type" "$text" "${3:-$(printf '%03d' "$sum")}" >&3
    sleep 0.2
}
frame A "Temperature 21.5 C"
frame A "Door 3 closed"
frame B "Printer ready, 1500 labels left"
frame A "Temperature 21.7 C"
frame C "Checksum test" 999
frame A "Label \"Fragile\" printed"
frame B "Battery 3.61 V"
frame A "Temperature 21.6 C"

# answer TEXT: reads the next frame the program sends and accepts it with TEXT.
answer() {
    local frame type sum i
    IFS= read -r -d $'\r' -t 5 -u 3 frame
    type=${frame:1:1}
    sum=$(printf '%d' "'$type")
    for ((i = 0; i < ${#1}; i++)); do sum=$(((sum + $(printf '%d' "'${1:i:1}")) % 256)); done
    printf '\x01%s\x06\x02%s\x03%03d\r' "$type" "$1" "$sum" >&3
}
# The program's answers to the eight messages.
for _ in $(seq 8); do IFS= read -r -d $'\r' -t 5 -u 3 _; done
# Without a window manager nobody gives the window the keyboard focus: take it.
xdotool windowfocus --sync "$window"
sleep 0.3
xdotool key alt+1
answer "OK, 1 label printed"
xdotool key alt+3
for n in 1 2 3; do answer "ACK $n"; done
sleep 0.5

import -window "$window" "$OUT"
echo "wrote $OUT"

# The traffic view (Ctrl+T) and the statistics (Ctrl+Shift+T) in a larger window, a few more
# messages in: one with stray bytes before it, one the program rejects.
xdotool windowsize --sync "$window" 1480 1080
xdotool key ctrl+t
xdotool key ctrl+shift+t
printf '\x11\x13' >&3
frame A "Temperature 21.8 C"
frame B "Battery 3.60 V"
frame A "Temperature 21.9 C"
for _ in $(seq 3); do IFS= read -r -d $'\r' -t 5 -u 3 _; done
sleep 1.5  # the statistics redraw once a second
import -window "$window" "$OUT_TRAFFIC"
echo "wrote $OUT_TRAFFIC"
