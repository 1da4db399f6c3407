#!/usr/bin/env bash
# Remakes the pictures in docs/: the simulator under a private Xvfb server with a window
# manager (openbox), started beside a prepared configuration (TCP server, filled send rows),
# a few messages sent to it over TCP from 127.0.0.1, two send rows pressed (Alt+1, Alt+3) and
# answered. Then, each with its window manager frame and caption:
#   main-window.png       the main window at its default 800 x 560
#   traffic-view.png      the window, larger, with the traffic view opened below (Ctrl+T)
#   statistics.png        larger still, with the traffic view and the statistics
#   dialog-*.png          every dialog: preferences (both link and reply pages, the traffic
#                         page, a row's faults), BCC calculator, flags, about, XOFF, raw bytes
# Usage: scripts/screenshot.sh [output folder, docs by default]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh imagemagick x11-utils xdotool openbox
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release -j "${JOBS:-2}" --target vantor-simulator >/dev/null

TITLE="Halvorn Vantor Protocol Simulator"
OUT=${1:-docs}
mkdir -p "$OUT"
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
Left=40
Top=30
Height=560
Width=800
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
DelayMin1=150
DelayMax1=300
INI

Xvfb -displayfd 5 -screen 0 1500x1100x24 -nolisten tcp 5>"$work/display" 2>/dev/null &
pids+=($!)
for _ in $(seq 100); do [[ -s "$work/display" ]] && break; sleep 0.1; done
export DISPLAY=":$(cat "$work/display")"
openbox >/dev/null 2>&1 &
pids+=($!)
sleep 1

(cd "$work" && exec ./vantor-simulator) &
pids+=($!)
# The window by its caption, shown (not a hidden window of the same name).
find_window() {
    local id
    for id in $(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null); do echo "$id"; return 0; done
    return 1
}
wait_window() {
    local id=""
    for _ in $(seq 100); do id=$(find_window "$1") && break; sleep 0.1; done
    [[ -n "$id" ]] || { echo "the window \"$1\" did not appear" >&2; exit 1; }
    echo "$id"
}
window=$(wait_window "$TITLE")
# A picture of a window with its frame and caption.
shot() {
    sleep 0.6
    import -frame -window "$1" "$OUT/$2"
    echo "wrote $OUT/$2"
}

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
xdotool windowactivate --sync "$window"
sleep 0.3
xdotool key alt+1
answer "OK, 1 label printed"
xdotool key alt+3
for n in 1 2 3; do answer "ACK $n"; done
sleep 0.5
shot "$window" main-window.png

# The dialogs, opened from the keyboard as a user would.
dialog() {  # dialog KEYS CAPTION FILE [KEYS AFTER OPENING]
    xdotool windowactivate --sync "$window"
    xdotool key $1
    local id
    id=$(wait_window "$2")
    if [[ -n "${4:-}" ]]; then xdotool key $4; fi
    shot "$id" "$3"
    echo "$id"
}
# click WINDOW X Y: a click at a point of the window's inside.
click() {
    xdotool mousemove --window "$1" "$2" "$3" click 1
    sleep 0.3
}
id=$(dialog "alt+s p" "Preferences" dialog-preferences.png | tail -1)
click "$id" 190 24  # the "Reply Actions" tab
click "$id" 640 107  # the second row's Action: its drop-down
shot "$id" dialog-reply-actions.png
xdotool key Escape  # closes the drop-down only
xdotool key alt+f
faults=$(wait_window "Faults of reply row 2")
shot "$faults" dialog-faults.png
xdotool key Escape
sleep 0.3
click "$id" 305 24  # the "Traffic & Logging" tab
shot "$id" dialog-traffic-logging.png
xdotool key Escape
id=$(dialog "alt+h b" "BCC Calculator" dialog-bcc-calculator.png "A Tab H I Return" | tail -1)
xdotool key alt+c
id=$(dialog "alt+h f" "Message Flags" dialog-flags.png "Down Down" | tail -1)
xdotool key Escape
id=$(dialog "alt+h a" "About" dialog-about.png | tail -1)
xdotool key Escape
id=$(dialog "alt+l x" "Hold the Peer with XOFF" dialog-xoff.png "Return" | tail -1)
xdotool key Escape
id=$(dialog "alt+l r" "Send Raw Bytes" dialog-raw-bytes.png "R A W backslash x 4 Return" | tail -1)
xdotool key Escape

# The traffic view below the rows: raw bytes, an XOFF hold and messages from the other side
# among the entries.
xdotool windowactivate --sync "$window"
xdotool windowsize --sync "$window" 1000 760
xdotool key ctrl+t
xdotool key alt+l r
wait_window "Send Raw Bytes" >/dev/null
xdotool type --delay 20 'RAW\x01Z\x02hi\x03'
xdotool key Return
sleep 0.3
xdotool key alt+l x
wait_window "Hold the Peer with XOFF" >/dev/null
xdotool type --delay 20 '300'
xdotool key Return
sleep 0.5
printf '\x11\x13' >&3
frame A "Temperature 21.8 C"
frame B "Battery 3.60 V"
for _ in $(seq 2); do IFS= read -r -d $'\r' -t 5 -u 3 _; done
sleep 0.5
shot "$window" traffic-view.png

# The statistics beside the traffic view in a larger window.
xdotool windowsize --sync "$window" 1400 950
xdotool key ctrl+shift+t
frame A "Temperature 21.9 C"
IFS= read -r -d $'\r' -t 5 -u 3 _
sleep 2  # the statistics redraw once a second
shot "$window" statistics.png
