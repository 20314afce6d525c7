#!/usr/bin/env bash
# Screenshots of the real window with the demo worklist, as a user sees it: under Xvfb with a
# window manager, maximized, at 1366 x 768, at 1920 x 1080, at 200 % scaling, and the settings
# dialog. Writes PNGs into the given folder (default docs/screenshots).
# Usage: scripts/screenshots.sh [out-dir]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-"$top/docs/screenshots"}
"$top/scripts/deps.sh" openbox xdotool x11-utils
build=${KELVARA_BUILD:-"$top/build"}
cmake -S "$top" -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target kelvara kelvara-exchange kelvara-wlserver >/dev/null
mkdir -p "$out"

work=$(mktemp -d)
cleanup() {
    [ -n "${server_pid:-}" ] && kill "$server_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

port=11200
while (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; do port=$((port + 1)); done
"$build/tools/kelvara-wlserver" --port "$port" --aet KELVARA_WL --demo 40 --quiet &
server_pid=$!
for _ in $(seq 100); do (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break; sleep 0.1; done

# The program in a folder of its own, as installed.
cp "$build/app/kelvara" "$build/app/kelvara-exchange" "$work/"

# shot <name> <width> <height> <scale> [dialog]
shot() {
    local name=$1 width=$2 height=$3 scale=$4 dialog=${5:-}
    local display=:$((90 + RANDOM % 100))
    Xvfb "$display" -screen 0 "${width}x${height}x24" -nolisten tcp >/dev/null 2>&1 &
    local xvfb=$!
    for _ in $(seq 50); do DISPLAY=$display xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
    DISPLAY=$display openbox >/dev/null 2>&1 &
    local wm=$!
    sleep 0.5
    # A fresh Settings.ini for each shot: the program saves its column widths when it ends.
    printf '[General]\nLocalAET=KELVARA\n[Worklist]\nIP=127.0.0.1\nAET=KELVARA_WL\nPort=%s\n' \
        "$port" >"$work/Settings.ini"
    DISPLAY=$display QT_SCALE_FACTOR=$scale XDG_RUNTIME_DIR="$work" LC_ALL=de_DE.UTF-8 \
        "$work/kelvara" &
    local app=$!
    local win=""
    for _ in $(seq 100); do
        win=$(DISPLAY=$display xdotool search --class Kelvara 2>/dev/null | tail -n 1 || true)
        [ -n "$win" ] && break
        sleep 0.1
    done
    sleep 1.5
    if [ -n "$dialog" ]; then
        # The menu entry sits at the left of the menu bar, under the title bar.
        local x y
        x=$(DISPLAY=$display xwininfo -id "$win" | awk '/Absolute upper-left X/ {print $4}')
        y=$(DISPLAY=$display xwininfo -id "$win" | awk '/Absolute upper-left Y/ {print $4}')
        DISPLAY=$display xdotool mousemove $((x + 30 * scale)) $((y + 8 * scale)) click 1
        sleep 1.5
    fi
    DISPLAY=$display import -window root "$out/$name.png"
    echo "$out/$name.png ($(DISPLAY=$display xprop -id "$win" WM_CLASS 2>/dev/null | cut -d= -f2))"
    kill "$app" 2>/dev/null || true
    wait "$app" 2>/dev/null || true
    kill "$wm" "$xvfb" 2>/dev/null || true
    wait "$wm" "$xvfb" 2>/dev/null || true
}

shot main-1366x768 1366 768 1
shot main-1920x1080 1920 1080 1
shot main-1920x1080-200pct 1920 1080 2
shot settings-dialog 1366 768 1 dialog
