#!/usr/bin/env bash
# The Debian package: built, unpacked into a temporary root (dpkg-deb -x) and its files
# checked; lintian, desktop-file-validate and appstreamcli run over it; the unpacked program
# started under a private Xvfb server with HOME and XDG_CONFIG_HOME in a temporary folder, to
# see that it keeps its settings there (written on the first run, read on the next, an
# administrator's file beside it as a new user's defaults), while a copy of the program in a
# folder of its own keeps its file beside it.
# Usage: tests/install/test_package.sh [build root, default build]
set -euo pipefail
cd "$(dirname "$0")/../.."
B=${1:-${BUILD_ROOT:-build}}

deb=$(BUILD_ROOT=$B bash scripts/package.sh | tail -n 1)
work=$(mktemp -d)
pids=()
cleanup() {
    local i
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do  # any program before its X server
        kill "${pids[i]}" 2>/dev/null || true
        wait "${pids[i]}" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
check() {  # check <what> <command...>: runs the command quietly, reports a failure
    local what=$1
    shift
    if ! out=$("$@" 2>&1); then
        fail "$what"
        echo "$out" >&2
    fi
}

# --- The package and its files -----------------------------------------------------------
root=$work/root
dpkg-deb -x "$deb" "$root"
id=example.halvorn.VantorSimulator
for file in usr/bin/vantor-simulator \
    "usr/share/applications/$id.desktop" \
    "usr/share/icons/hicolor/scalable/apps/$id.svg" \
    "usr/share/metainfo/$id.metainfo.xml" \
    usr/share/man/man1/vantor-simulator.1.gz \
    usr/share/vantor-simulator/installed \
    usr/share/doc/vantor-simulator/copyright \
    usr/share/doc/vantor-simulator/changelog.gz \
    usr/share/doc/vantor-simulator/SCENARIOS.md \
    usr/share/doc/vantor-simulator/CAPTURE.md \
    usr/share/doc/vantor-simulator/API.md \
    usr/share/vantor-simulator/scenario.schema.json \
    usr/share/vantor-simulator/expectations.schema.json \
    usr/share/vantor-simulator/wireshark/vantor.lua; do
    [[ -f "$root/$file" ]] || fail "$file is not in the package"
done
[[ -x "$root/usr/bin/vantor-simulator" ]] || fail "the program is not executable"
# The dissector where this machine's Wireshark looks for Lua plugins.
if command -v tshark >/dev/null; then
    plugins=$(tshark -G folders 2>/dev/null | sed -n 's/^Global Lua Plugins:[[:space:]]*//p')
    [[ -f "$root$plugins/vantor.lua" ]] || fail "vantor.lua is not in Wireshark's Lua plugin folder $plugins"
fi
[[ -z "$(find "$root" -name ZentrelConfig.ini)" ]] || fail "the package carries a settings file"
# Dependencies from the libraries the program links, not a hand-made list.
depends=$(dpkg-deb -f "$deb" Depends)
[[ "$depends" == *libqt6widgets6* && "$depends" == *libc6* ]] ||
    fail "Depends lacks the linked libraries: $depends"
grep -qx "Exec=vantor-simulator" "$root/usr/share/applications/$id.desktop" ||
    fail "the menu entry does not start vantor-simulator"
check "the manual page renders without warnings" \
    bash -c "[[ -z \$(man --warnings -l '$root/usr/share/man/man1/vantor-simulator.1.gz' 2>&1 >/dev/null) ]]"
check "the icon is an SVG picture" \
    bash -c "file -b '$root/usr/share/icons/hicolor/scalable/apps/$id.svg' | grep -q 'SVG'"

# --- Validators --------------------------------------------------------------------------
check "lintian" lintian --fail-on error "$deb"
check "desktop-file-validate" desktop-file-validate "$root/usr/share/applications/$id.desktop"
check "appstreamcli validate" appstreamcli validate --no-net "$root/usr/share/metainfo/$id.metainfo.xml"
check "appstreamcli validate-tree" appstreamcli validate-tree --no-net "$root"

# --- The program under Xvfb --------------------------------------------------------------
Xvfb -displayfd 5 -screen 0 1024x768x24 -nolisten tcp 5>"$work/display" 2>/dev/null &
pids+=($!)
for _ in $(seq 100); do [[ -s "$work/display" ]] && break; sleep 0.1; done
export DISPLAY=":$(cat "$work/display")"
TITLE="Halvorn Vantor Protocol Simulator"

listening() {  # listening <port>: a socket listens on that TCP port (IPv4 or IPv6)
    grep -qs "$(printf ':%04X ' "$1").* 0A " /proc/net/tcp /proc/net/tcp6
}
# run <program> <home> <xdg config home>: starts it, waits for its window, closes it with
# SIGTERM (as its close box does: the settings are saved) and waits for it to end.
# LISTEN_PORT, when set, must be listened on while it runs (the settings were read).
run() {
    local program=$1 pid window=""
    mkdir -p "$2"
    HOME=$2 XDG_CONFIG_HOME=$3 QT_QPA_PLATFORM=xcb "$program" >"$work/run.log" 2>&1 &
    pid=$!
    pids+=("$pid")
    for _ in $(seq 150); do
        window=$(xwininfo -name "$TITLE" 2>/dev/null | awk '/Window id:/ {print $4}') &&
            [[ -n "$window" ]] && break
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    if [[ -z "$window" ]]; then
        fail "$program: no window"
        cat "$work/run.log" >&2
    elif [[ -n "${LISTEN_PORT:-}" ]]; then
        # A loaded machine may take a while between the window and the link.
        for _ in $(seq 150); do listening "$LISTEN_PORT" && break; sleep 0.1; done
        listening "$LISTEN_PORT" || fail "$program: not listening on $LISTEN_PORT"
    fi
    kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    if kill -0 "$pid" 2>/dev/null; then fail "$program: still running after SIGTERM"; fi
    wait "$pid" || fail "$program: ended with status $?"
    unset 'pids[${#pids[@]}-1]'
}
# listen_config <file> <port>: the file changed so that the program listens on TCP <port>.
listen_config() {
    sed -i -e '/^\[Comm\]/,/^\[/ { s/^Type=.*/Type=2/; s/^LocalPort=.*/LocalPort='"$2"'/ }' "$1"
}
# Two ports nobody listens on yet, so a listener found later is the program's.
port=$((20000 + RANDOM % 20000))
while listening "$port" || listening $((port + 1)); do port=$((20000 + RANDOM % 20000)); done

installed=$root/usr/bin/vantor-simulator
user=$work/user
ini=$user/xdg/vantor-simulator/ZentrelConfig.ini

# First run: the settings file and its folder appear under XDG_CONFIG_HOME, nothing beside.
run "$installed" "$user/home" "$user/xdg"
[[ -f "$ini" ]] || fail "no settings written to $ini"
[[ ! -e "$root/usr/bin/ZentrelConfig.ini" ]] || fail "settings written beside the installed program"
[[ "$(stat -c %a "$user/xdg/vantor-simulator")" == 700 ]] || fail "the settings folder is not private"

# Next run: a value changed in that file is read (the program listens where it says) and kept.
if [[ -f "$ini" ]]; then
    listen_config "$ini" "$port"
    LISTEN_PORT=$port run "$installed" "$user/home" "$user/xdg"
    grep -qx "LocalPort=$port" "$ini" || fail "the changed value did not survive the run"
fi

# XDG_CONFIG_HOME empty: ~/.config. A file beside the installed program gives a new user's
# defaults and is left as it is.
printf '[Comm]\nType=2\nLocalPort=%d\n' $((port + 1)) >"$root/usr/bin/ZentrelConfig.ini"
cp "$root/usr/bin/ZentrelConfig.ini" "$work/defaults.ini"
LISTEN_PORT=$((port + 1)) run "$installed" "$work/other" ""
grep -qx "LocalPort=$((port + 1))" "$work/other/.config/vantor-simulator/ZentrelConfig.ini" ||
    fail "a new user's settings did not start from the file beside the program"
cmp -s "$root/usr/bin/ZentrelConfig.ini" "$work/defaults.ini" || fail "the defaults file was changed"

# A copy in a folder of its own (the build tree's program, or the packaged one without its
# installed layout) keeps its file beside it.
for program in "$B/release/vantor-simulator" "$installed"; do
    plain=$work/plain-$(basename "$(dirname "$program")")
    mkdir -p "$plain"
    cp "$program" "$plain/vantor-simulator"
    run "$plain/vantor-simulator" "$work/plain-home" "$work/plain-xdg"
    [[ -f "$plain/ZentrelConfig.ini" ]] || fail "$program copied alone: no settings beside it"
    [[ ! -e "$work/plain-xdg" ]] || fail "$program copied alone: wrote to XDG_CONFIG_HOME"
done

if ((failures)); then
    echo "$failures package check(s) failed" >&2
    exit 1
fi
echo "Package checks passed: $(basename "$deb")"
